"""Writes a vendor's driver-package folder shaped like a large real one: the samples, and the
device's INF naming 200 more files at deep paths with 60-character names, spread over four disks.
With --refusing the tool's INF has no Signature line, so the copy service refuses it. Its catalogs
are made again, unsigned, for what it carries.
    deep_package.py SAMPLES OUT [--refusing]"""
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "installer"))
import catalogs  # noqa: E402

FILES = 200
DISKS = 4

samples, out = sys.argv[1:3]
shutil.rmtree(out, ignore_errors=True)
shutil.copytree(samples, out)
names = ["[SourceDisksNames]"]
files = ["[SourceDisksFiles]"]
for disk in range(DISKS):
    folder = "firmware\\bank%d\\calibration tables\\revision 2026" % disk
    names.append('%d="Brellan firmware bank %d",,,\\%s' % (disk + 2, disk, folder))
    for n in range(FILES // DISKS):
        name = ("bank%d table %03d " % (disk, n)).ljust(56, "x") + ".bin"
        files.append("%s=%d" % (name, disk + 2))
        path = os.path.join(out, *folder.split("\\"), name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as data:
            data.write(("%s of the Brellan firmware\r\n" % name).encode() * 4)
with open(os.path.join(out, "brellan.inf"), "ab") as inf:
    inf.write(("\r\n" + "\r\n".join(names + [""] + files) + "\r\n").encode())
if "--refusing" in sys.argv:
    with open(os.path.join(out, "flashwright.inf"), "wb") as inf:
        inf.write(b"[Version]\r\nClass=USBDevice\r\nCatalogFile=flashwright.cat\r\n; no Signature: the copy service refuses it\r\n")
catalogs.MakePackageCatalogs(out, catalogs.driver_package.PLATFORMS, catalogs.DECLARED_WINDOWS,
                             catalogs.datetime.datetime(2026, 12, 8, tzinfo=catalogs.datetime.timezone.utc))
