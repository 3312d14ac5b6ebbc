"""The build's reading of the driver packages (installer/driver_package.py): which files the setup
package carries, and which folders stop the build."""
import os
import shutil
import sys
import tempfile
import unittest

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(SOURCE, "installer"))
import driver_package  # noqa: E402

TOOL = b'[Version]\r\nSignature="$Windows NT$"\r\n'


class DriverPackage(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)

    def Write(self, relative, data=b"x"):
        path = os.path.join(self.folder, *relative.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)

    def Listed(self):
        return [relative for relative, _ in driver_package.PackageFiles(self.folder)]

    def Refused(self):
        with self.assertRaises(driver_package.PackageError) as refusal:
            driver_package.PackageFiles(self.folder)
        return str(refusal.exception)

    def CopySamples(self):
        shutil.rmtree(self.folder)
        shutil.copytree(os.path.join(SOURCE, "tests", "data"), self.folder)

    def test_SamplesCarryEveryCatalogAndEachPlatformsCoInstaller(self):
        self.CopySamples()
        self.Write("notes.txt")   # named by no INF
        self.assertEqual(["flashwright.inf", "brellan.inf", "amd64\\BrellanCoInst.dll", "brellan.cat",
                          "brellan_amd64.cat", "brellan_x86.cat", "flashwright.cat", "x86\\BrellanCoInst.dll"],
                         self.Listed())

    def test_MissingFileStopsWithTheInfTheLineAndTheFile(self):
        for missing, line, named in (("brellan.cat", 11, "catalog brellan.cat"),
                                     ("brellan_x86.cat", 12, "catalog brellan_x86.cat"),
                                     ("amd64\\BrellanCoInst.dll", 53, "source file amd64\\BrellanCoInst.dll"),
                                     ("flashwright.inf", None, "the INF flashwright.inf")):
            with self.subTest(missing=missing):
                self.CopySamples()
                os.remove(os.path.join(self.folder, *missing.split("\\")))
                where = ("%s, line %d: " % ("brellan.inf", line)) if line else ""
                self.assertIn(where + named + " is missing from " + self.folder, self.Refused())

    # The device's INF, varied; the tool's stays minimal.
    def Device(self, text, encoding="latin-1", bom=b""):
        self.Write("flashwright.inf", TOOL)
        self.Write("brellan.inf", bom + text.replace("\n", "\r\n").encode(encoding))

    def test_InfSyntaxIsReadAsWindowsReadsIt(self):
        disks = "[SourceDisksNames]\n1=%%Disk%%,,,%s\n[SourceDisksFiles]\n"
        cases = [
            ("case, comment and quotes", '[VERSION]\ncatalogfile = "a;b.cat" ; a comment\n', [], ["a;b.cat"]),
            ("continued line", "[Version]\nCatalogFile=\\\n  c.cat\n", [], ["c.cat"]),
            ("a disk's path from [Strings], a file's subfolder",
             disks % "%Dir%" + "f.dll=1,sub\n[Strings]\nDir=\"\\pkg\"\nDisk=\"d\"\n", ["pkg\\sub\\f.dll"], ["pkg\\sub\\f.dll"]),
            ("disk 01 is disk 1, forward slashes", disks % "x/y" + "g.dll=01\n", ["x\\y\\g.dll"], ["x\\y\\g.dll"]),
            ("a platform the package does not install on",
             "[Version]\nCatalogFile.NTarm64=arm.cat\n[SourceDisksNames.arm64]\n1=d\n[SourceDisksFiles.arm64]\nh.dll=1\n", [], []),
            ("the platform's disk overrides the undecorated one",
             "[SourceDisksNames]\n1=d,,,none\n[SourceDisksNames.x86]\n1=d,,,x86\n[SourceDisksNames.amd64]\n1=d,,,\\x64\n"
             "[SourceDisksFiles]\nk.dll=1\n", ["x86\\k.dll", "x64\\k.dll"], ["x64\\k.dll", "x86\\k.dll"]),
        ]
        for name, text, files, expected in cases:
            for encoding, bom in (("latin-1", b""), ("utf-16-le", b"\xff\xfe"), ("utf-16-be", b"\xfe\xff")):
                with self.subTest(name, encoding=encoding):
                    self.setUp()
                    self.Device(text, encoding, bom)
                    for relative in files + ["a;b.cat", "c.cat"]:
                        self.Write(relative)
                    self.assertEqual(["flashwright.inf", "brellan.inf"] + expected, self.Listed())

    def test_PathsOutsideTheFolderAndUnreadableInfsStopTheBuild(self):
        cases = [
            ("..", "[Version]\nCatalogFile=..\\x.cat\n", "brellan.inf, line 2: ..\\x.cat leads outside"),
            ("a drive", "[Version]\nCatalogFile=C:\\x.cat\n", "brellan.inf, line 2: C:\\x.cat is an absolute path"),
            ("a share", "[SourceDisksNames]\n1=d,,,\\\\srv\\s\n[SourceDisksFiles]\nx.dll=1\n", "is an absolute path"),
            ("no such disk", "[SourceDisksNames]\n2=d\n[SourceDisksFiles]\nx.dll=1\n",
             "brellan.inf, line 4: x.dll names disk 1, which no [SourceDisksNames] section lists"),
            ("not a Windows name", "[Version]\nCatalogFile=a?.cat\n", "a?.cat is not a file name Windows can hold"),
            ("a symbolic link out", "[Version]\nCatalogFile=out.cat\n", "out.cat leads outside"),
            ("odd UTF-16", None, "cannot read"),
        ]
        for name, text, message in cases:
            with self.subTest(name):
                self.setUp()
                if text is None:
                    self.Write("flashwright.inf", TOOL)
                    self.Write("brellan.inf", b"\xff\xfe[\x00V")
                else:
                    self.Device(text)
                os.symlink("/etc/hostname", os.path.join(self.folder, "out.cat"))
                self.assertIn(message, self.Refused())


if __name__ == "__main__":
    unittest.main()
