"""The setup package's face, as Windows reads it from the file: its manifest declares it DPI-aware
(per monitor where Windows can, else at the system's scaling), so that Windows draws it sharp
rather than stretching it; it carries the product's own icon, every image of
installer/art/setup.ico, in place of NSIS's; its version information names the product.

Usage: check_package_face.py SOURCE_DIR SETUP_EXE; prints "ok"/"FAIL" lines, exits 1 on a failure.
"""
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

failed = False


def check(what, ok):
    global failed
    print(("ok   " if ok else "FAIL ") + what)
    failed = failed or not ok


def icon_images(ico):
    count = struct.unpack_from("<H", ico, 4)[0]
    images = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", ico, 6 + 16 * i + 8)
        images.append(ico[offset:offset + size])
    return images


def main(source, exe):
    with tempfile.TemporaryDirectory() as scratch:
        subprocess.run(["7z", "x", "-tPE", f"-o{scratch}", str(exe)], check=True, stdout=subprocess.DEVNULL)
        rsrc = Path(scratch) / ".rsrc"
        manifests = list(rsrc.glob("*/MANIFEST/*"))
        manifest = manifests[0].read_text(encoding="utf-8", errors="replace") if manifests else ""
        check("the manifest declares it DPI-aware", re.search(r"<dpiAware( [^>]*)?>true</dpiAware>", manifest))
        check("per monitor (v2) where Windows can, else at the system's scaling",
              re.search(r"<dpiAwareness( [^>]*)?>PerMonitorV2,System</dpiAwareness>", manifest))
        check("and asks for administrator rights", 'level="requireAdministrator"' in manifest)
        carried = b"".join(path.read_bytes() for path in rsrc.glob("*/ICON/*"))
        ours = icon_images((source / "installer" / "art" / "setup.ico").read_bytes())
        check(f"it carries every one of the {len(ours)} images of the product's icon",
              bool(ours) and all(image in carried for image in ours))
        version = b"".join(path.read_bytes() for path in Path(scratch).glob("**/version.txt"))
        check("its version information names the product",
              b"Brellan Flashwright" in version or "Brellan Flashwright".encode("utf-16-le") in version)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1]), Path(sys.argv[2])))
