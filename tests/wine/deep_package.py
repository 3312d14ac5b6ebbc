"""Writes a vendor's driver-package folder shaped like a large real one: the samples, and the
device's INF naming 200 more files at deep paths with 60-character names, spread over four disks.
With --refusing the tool's INF has no Signature line, so the copy service refuses it. Its catalogs
are made again, unsigned, for what it carries.
    deep_package.py SAMPLES OUT [--refusing]"""
import datetime
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "installer", "driver_package"))
import inf  # noqa: E402
import writer  # noqa: E402

FILES = 200
DISKS = 4

samples, out = sys.argv[1:3]
shutil.rmtree(out, ignore_errors=True)
shutil.copytree(samples, out)
names = ["[SourceDisksNames]"]
files = ["[SourceDisksFiles]"]
# The device's install section copies them all, as a package's firmware install does.
copied = ["[Brellan_Install]", "CopyFiles=Brellan_Firmware", "[DestinationDirs]", "Brellan_Firmware=11",
          "[Brellan_Firmware]"]
for disk in range(DISKS):
    folder = "firmware\\bank%d\\calibration tables\\revision 2026" % disk
    names.append('%d="Brellan firmware bank %d",,,\\%s' % (disk + 2, disk, folder))
    for n in range(FILES // DISKS):
        name = ("bank%d table %03d " % (disk, n)).ljust(56, "x") + ".bin"
        files.append("%s=%d" % (name, disk + 2))
        copied.append(name)
        path = os.path.join(out, *folder.split("\\"), name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as data:
            data.write(("%s of the Brellan firmware\r\n" % name).encode() * 4)
with open(os.path.join(out, "brellan.inf"), "ab") as device:
    device.write(("\r\n" + "\r\n".join(names + [""] + files + [""] + copied) + "\r\n").encode())
if "--refusing" in sys.argv:
    with open(os.path.join(out, "flashwright.inf"), "wb") as tool:
        tool.write(b"[Version]\r\nClass=USBDevice\r\nCatalogFile=flashwright.cat\r\n; no Signature: the copy service refuses it\r\n")
writer.make_package_catalogs(out, inf.PLATFORMS, inf.RELEASE_ORDER,
                             datetime.datetime(2026, 12, 8, tzinfo=datetime.timezone.utc))
