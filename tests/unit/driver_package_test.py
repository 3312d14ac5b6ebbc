"""The build's model of the driver packages (installer/driver_package): which files the setup
package carries, and which folders stop the build; and their catalogs: which of them Windows would
refuse, read back by osslsigncode and openssl as well as by our reader."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import datetime

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(SOURCE, "installer", "driver_package"))
import catalog  # noqa: E402
import checks  # noqa: E402
import inf as inf_rules  # noqa: E402
import package  # noqa: E402
import writer  # noqa: E402
from findings import PackageError  # noqa: E402

WHEN = datetime.datetime(2026, 12, 8, tzinfo=datetime.timezone.utc)
TOOL = b'[Version]\r\nSignature="$Windows NT$"\r\n'
# A device INF for 64-bit Windows only, as a vendor without a 32-bit driver writes it.
AMD64_ONLY = ("[Version]\nCatalogFile.NTx86=x86.cat\nCatalogFile.NTamd64=amd64.cat\n"
              "[Manufacturer]\n%Mfg%=Models,NTamd64\n[Models.NTamd64]\nd=i,USB\\VID_8817&PID_3402\n"
              "[SourceDisksNames.amd64]\n1=%Disk%,,,\\amd64\n[SourceDisksFiles]\nbrellan.sys=1\n"
              "[Strings]\nMfg=Q\nDisk=d\n[i]\nCopyFiles=Copied\n[Copied]\nbrellan.sys\n")


def copies(*names):
    """Install sections that copy `names`: [DefaultInstall] in an INF without [Manufacturer], and
    [i], which the tests' models sections install with."""
    return "[DefaultInstall]\nCopyFiles=Copied\n[i]\nCopyFiles=Copied\n[Copied]\n" + "".join(n + "\n" for n in names)


def cabinet(*names):
    """A cabinet's header and file entries (no data: the build reads only the names)."""
    entries = b"".join(struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 0x20) + name.encode() + b"\0" for name in names)
    first = 36 + 8
    return (b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, first + len(entries), 0, first, 0, 3, 1, 1, len(names), 0, 0, 0)
            + struct.pack("<IHH", 0, 0, 0) + entries)


class DriverPackage(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)

    def write(self, relative, data=b"x"):
        path = os.path.join(self.folder, *relative.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)

    def listed(self, platforms=inf_rules.PLATFORMS):
        return [relative for relative, _ in package.package_files(self.folder, platforms)[0]]

    def refused(self, platforms=inf_rules.PLATFORMS):
        with self.assertRaises(PackageError) as refusal:
            package.package_files(self.folder, platforms)[0]
        return str(refusal.exception)

    def copy_samples(self):
        shutil.rmtree(self.folder)
        shutil.copytree(os.path.join(SOURCE, "tests", "data"), self.folder)

    def test_SamplesCarryEveryCatalogAndEachPlatformsCoInstaller(self):
        self.copy_samples()
        self.write("notes.txt")   # named by no INF
        self.assertEqual(["flashwright.inf", "brellan.inf", "amd64\\BrellanCoInst.dll", "brellan.cat",
                          "brellan_amd64.cat", "brellan_x86.cat", "flashwright.cat", "x86\\BrellanCoInst.dll"],
                         self.listed())

    def test_MissingFileStopsWithTheInfTheLineAndTheFile(self):
        for missing, line, named in (("brellan.cat", 11, "catalog brellan.cat"),
                                     ("brellan_x86.cat", 12, "catalog brellan_x86.cat"),
                                     ("amd64\\BrellanCoInst.dll", 53, "source file amd64\\BrellanCoInst.dll"),
                                     ("flashwright.inf", None, "the INF flashwright.inf")):
            with self.subTest(missing=missing):
                self.copy_samples()
                os.remove(os.path.join(self.folder, *missing.split("\\")))
                where = ("brellan.inf, line %d%s: " % (line, " (amd64)" if "\\" in missing else "")) if line else ""
                self.assertIn(where + named + " is missing from " + self.folder, self.refused())

    # The device's INF, varied; the tool's stays minimal.
    def device(self, text, encoding="latin-1", bom=b""):
        self.write("flashwright.inf", TOOL)
        self.write("brellan.inf", bom + text.replace("\n", "\r\n").encode(encoding))

    def test_InfSyntaxIsReadAsWindowsReadsIt(self):
        disks = "[SourceDisksNames]\n1=%%Disk%%,,,%s\n[SourceDisksFiles]\n"
        cases = [
            ("case, comment and quotes", '[VERSION]\ncatalogfile = "a;b.cat" ; a comment\n', [], ["a;b.cat"]),
            ("continued line", "[Version]\nCatalogFile=\\\n  c.cat\n", [], ["c.cat"]),
            ("a disk's path from [Strings], a file's subfolder",
             disks % "%Dir%" + "f.dll=1,sub\n[Strings]\nDir=\"\\pkg\"\nDisk=\"d\"\n" + copies("f.dll"), ["pkg\\sub\\f.dll"],
             ["pkg\\sub\\f.dll"]),
            ("disk 01 is disk 1, forward slashes", disks % "x/y" + "g.dll=01\n" + copies("g.dll"), ["x\\y\\g.dll"],
             ["x\\y\\g.dll"]),
            ("a platform the package does not install on",
             "[Version]\nCatalogFile.NTarm64=arm.cat\n[SourceDisksNames.arm64]\n1=d\n[SourceDisksFiles.arm64]\nh.dll=1\n"
             + copies("h.dll"), [], []),
            ("the platform's disk overrides the undecorated one",
             "[SourceDisksNames]\n1=d,,,none\n[SourceDisksNames.x86]\n1=d,,,x86\n[SourceDisksNames.amd64]\n1=d,,,\\x64\n"
             "[SourceDisksFiles]\nk.dll=1\n" + copies("k.dll"), ["x86\\k.dll", "x64\\k.dll"], ["x64\\k.dll", "x86\\k.dll"]),
        ]
        for name, text, files, expected in cases:
            for encoding, bom in (("latin-1", b""), ("utf-16-le", b"\xff\xfe"), ("utf-16-be", b"\xfe\xff")):
                with self.subTest(name, encoding=encoding):
                    self.setUp()
                    self.device(text, encoding, bom)
                    for relative in files + ["a;b.cat", "c.cat"]:
                        self.write(relative)
                    self.assertEqual(["flashwright.inf", "brellan.inf"] + expected, self.listed())

    def test_PathsOutsideTheFolderAndUnreadableInfsStopTheBuild(self):
        cases = [
            ("..", "[Version]\nCatalogFile=..\\x.cat\n", "brellan.inf, line 2: ..\\x.cat leads outside"),
            ("a drive", "[Version]\nCatalogFile=C:\\x.cat\n", "brellan.inf, line 2: C:\\x.cat is an absolute path"),
            ("a share", "[SourceDisksNames]\n1=d,,,\\\\srv\\s\n[SourceDisksFiles]\nx.dll=1\n" + copies("x.dll"), "is an absolute path"),
            ("no such disk", "[SourceDisksNames]\n2=d\n[SourceDisksFiles]\nx.dll=1\n" + copies("x.dll"),
             "brellan.inf, line 4 (x86): x.dll names disk 1, which neither [SourceDisksNames] nor [SourceDisksNames.x86] lists"),
            ("not a Windows name", "[Version]\nCatalogFile=a?.cat\n", "a?.cat is not a file name Windows can hold"),
            ("a symbolic link out", "[Version]\nCatalogFile=out.cat\n", "out.cat leads outside"),
            ("odd UTF-16", None, "cannot read"),
        ]
        for name, text, message in cases:
            with self.subTest(name):
                self.setUp()
                if text is None:
                    self.write("flashwright.inf", TOOL)
                    self.write("brellan.inf", b"\xff\xfe[\x00V")
                else:
                    self.device(text)
                os.symlink("/etc/hostname", os.path.join(self.folder, "out.cat"))
                self.assertIn(message, self.refused())

    def test_PlatformsCabinetsAndStringsAreCheckedForEachPlatformCarried(self):
        firmware = ("[SourceDisksNames]\n1=d,fw.cab,,\\firmware\n2=d,,,\\firmware\n"
                    "[SourceDisksFiles]\n%FwFile%=1\nloose.bin=2\n[Strings]\nFwFile=brellan_fw.bin\n"
                    + copies("%FwFile%", "loose.bin"))
        cases = [
            ("amd64 only, carried for amd64", AMD64_ONLY, ("amd64",), {"amd64.cat": b"c", "amd64\\brellan.sys": b"s"},
             ["amd64.cat", "amd64\\brellan.sys"]),
            ("amd64 only, carried for x86 too", AMD64_ONLY, ("x86", "amd64"), {},
             "brellan.inf, line 5 (x86): [Manufacturer] names no models section for x86 (NTx86): Windows installs"
             " nothing from this INF there; add one, or leave x86 out of BRELLAN_PLATFORMS"),
            ("a file's disk listed only for the other platform",
             AMD64_ONLY.replace(",NTamd64", ",NTamd64,NTx86") + "[Models.NTx86]\nd=i,USB\\VID_8817&PID_3402\n",
             ("x86", "amd64"), {}, "brellan.inf, line 11 (x86): brellan.sys names disk 1, which neither"
             " [SourceDisksNames] nor [SourceDisksNames.x86] lists"),
            ("a cabinet disk: the cabinet, not the loose file", firmware, ("x86",),
             {"firmware\\fw.cab": cabinet("other.bin", "BRELLAN_FW.BIN"), "firmware\\loose.bin": b"l"},
             ["firmware\\fw.cab", "firmware\\loose.bin"]),
            ("a cabinet named as tag-file, with flags 0x10", firmware.replace("1=d,fw.cab,,\\firmware", "1=d,fw.tag,,\\firmware,0x10,fw.cab"),
             ("x86",), {"firmware\\fw.cab": cabinet("brellan_fw.bin"), "firmware\\loose.bin": b"l"},
             ["firmware\\fw.cab", "firmware\\loose.bin"]),
            ("a cabinet missing", firmware, ("x86",), {"firmware\\brellan_fw.bin": b"f", "firmware\\loose.bin": b"l"},
             "brellan.inf, line 2 (x86): cabinet firmware\\fw.cab is missing from"),
            ("a cabinet without the file", firmware, ("x86",), {"firmware\\fw.cab": cabinet("other.bin")},
             "brellan.inf, line 5 (x86): brellan_fw.bin is not in the cabinet firmware\\fw.cab"),
            ("no cabinet at all", firmware, ("x86",), {"firmware\\fw.cab": b"PK\3\4 a zip"},
             "brellan.inf, line 2 (x86): fw.cab is not a cabinet"),
            ("an undefined string", firmware.replace("FwFile=", "Other="), ("x86",), {},
             "brellan.inf, line 14: %FwFile% is not defined in [Strings]"),
            ("an undefined catalog string", "[Version]\nCatalogFile=%Cat%\n", ("x86",), {},
             "brellan.inf, line 2: %Cat% is not defined in [Strings]"),
            ("models without a decoration serve x86 alone", "[Manufacturer]\nQ=Models\n[Models]\nd=i,USB\\VID_8817&PID_3402\n",
             ("x86",), {}, []),
            ("and not amd64", "[Manufacturer]\nQ=Models,NT.6.1\n", ("amd64",), {},
             "brellan.inf, line 2 (amd64): [Manufacturer] names no models section for amd64 (NTamd64)"),
            ("a decoration with a version serves its platform", "[Manufacturer]\nQ=Models,NTamd64.10.0...22000\n[Models.NTamd64.10.0...22000]\nd=i,X\n",
             ("amd64",), {}, []),
        ]
        for name, text, platforms, files, expected in cases:
            with self.subTest(name):
                self.setUp()
                self.device(text)
                for relative, data in files.items():
                    self.write(relative, data)
                if isinstance(expected, list):
                    self.assertEqual(["flashwright.inf", "brellan.inf"] + expected, self.listed(platforms))
                else:
                    self.assertIn(expected, self.refused(platforms))

    def test_WorkListCarriesEveryFileAndLimitsStopTheBuildByName(self):
        files = "[SourceDisksNames]\n1=d,,,\\%s\n[SourceDisksFiles]\n%s\n[DefaultInstall]\nCopyFiles=Copied\n[Copied]\n%s\n"
        deep = "firmware\\bank 0\\calibration tables\\revision 2026"
        names = ["table %03d".ljust(56, "x") % n + ".bin" for n in range(200)]
        self.device(files % (deep, "\n".join("%s=1" % name for name in names), "\n".join(names)))
        for name in names:
            self.write(deep + "\\" + name)
        listed = package.package_files(self.folder, ("x86",))[0]
        work = os.path.join(self.folder, "work")
        writer.write_work_list(listed, work)
        with open(work, encoding="utf-16-le", newline="") as text:
            lines = text.read().split("\n")
        self.assertEqual(["inf\tflashwright.inf", "inf\tbrellan.inf"], lines[:2])
        self.assertEqual(204, len([line for line in lines if line.startswith("place\t")]))
        self.assertEqual(["place\tBrellanFlashwrightSetup.exe", "place\tBrellanFlashwrightSetup.files", ""], lines[-3:])
        cases = [
            ("a path that fits the install folder, not the rollback folder", "y" * 137 + ".bin",
             "is too long: as C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Rollback (set aside 99)\\kept\\"),
            ("more files than SetupRollback keeps", None, "the package places at most 4096 (kMaxPlacedFiles)"),
        ]
        for name, extra, message in cases:
            with self.subTest(name):
                many = names + ([extra] if extra else ["%d.bin" % n for n in range(4000)])
                self.device(files % (deep, "\n".join("%s=1" % name for name in many), "\n".join(many)))
                for name in many:
                    self.write(deep + "\\" + name)
                self.assertIn(message, self.refused(("x86",)))
        with self.assertRaises(PackageError) as refusal:
            writer.nsis_string("x" * 1000)
        self.assertIn("NSIS_MAX_STRLEN=1024", str(refusal.exception))


def run(*command, **options):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **options)


# A firmware file on a disk of its own, as a device package carries one for every platform.
FIRMWARE = (b'\r\n[SourceDisksNames]\r\n2="Brellan firmware",,,\\firmware\r\n[SourceDisksFiles]\r\nbrellan_fw.bin=2\r\n'
            b'[Brellan_Install]\r\nCopyFiles=Brellan_Firmware\r\n[Brellan_Firmware]\r\nbrellan_fw.bin\r\n')


class Catalogs(unittest.TestCase):
    """The samples with a firmware file, their catalogs made here and signed by a test CA."""

    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp()
        for ca in ("ca", "other"):
            run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=%s CA" % ca,
                "-keyout", ca + ".key", "-out", ca + ".pem", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign", cwd=cls.keys)
            with open(os.path.join(cls.keys, ca + ".ext"), "w") as ext:
                ext.write("extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n")
            run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=%s signer" % ca, "-keyout",
                ca + "-signer.key", "-out", ca + ".csr", cwd=cls.keys)
            run("openssl", "x509", "-req", "-days", "2", "-in", ca + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                "-CAcreateserial", "-extfile", ca + ".ext", "-out", ca + "-signer.pem", cwd=cls.keys)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys)

    def setUp(self):
        self.folder = os.path.join(tempfile.mkdtemp(), "packages")
        self.addCleanup(shutil.rmtree, os.path.dirname(self.folder))
        shutil.copytree(os.path.join(SOURCE, "tests", "data"), self.folder)
        with open(self.path("brellan.inf"), "ab") as inf:
            inf.write(FIRMWARE)
        os.makedirs(self.path("firmware"))
        with open(self.path("firmware\\brellan_fw.bin"), "wb") as firmware:
            firmware.write(bytes(range(256)) * 64)
        self.ca = os.path.join(self.keys, "ca.pem")

    def path(self, relative):
        return os.path.join(self.folder, *relative.split("\\"))

    def make(self, windows=inf_rules.DECLARED_WINDOWS, signer="ca"):
        made = writer.make_package_catalogs(self.folder, inf_rules.PLATFORMS, windows, WHEN, replace_signed=True)[0]
        for catalog in made if signer else []:
            run("osslsigncode", "sign", "-h", "sha256", "-certs", os.path.join(self.keys, signer + "-signer.pem"),
                "-key", os.path.join(self.keys, signer + "-signer.key"), "-in", self.path(catalog),
                "-out", self.path(catalog) + ".signed")
            os.replace(self.path(catalog) + ".signed", self.path(catalog))
        return made

    def check(self, warn=()):
        return checks.check_packages(self.folder, inf_rules.PLATFORMS, self.ca, warn)

    def refusal(self, warn=()):
        with self.assertRaises(PackageError) as refusal:
            self.check(warn)
        return str(refusal.exception)

    def test_SignedPackagePassesAndTheReportListsWhatWasChecked(self):
        self.assertEqual(["brellan.cat", "brellan_amd64.cat", "brellan_x86.cat", "flashwright.cat"], self.make())
        rows, notes = self.check()
        self.assertEqual({("warning", "%s is not timestamped" % cat) for cat in ("flashwright.cat", "brellan_x86.cat",
                                                                                 "brellan_amd64.cat")},
                         {(n.severity, n.problem) for n in notes})
        self.assertEqual([("flashwright.inf", "x86", "flashwright.cat"), ("flashwright.inf", "amd64", "flashwright.cat"),
                          ("brellan.inf", "x86", "brellan_x86.cat"), ("brellan.inf", "amd64", "brellan_amd64.cat")],
                         [(row["inf"], row["platform"], row["catalog"]) for row in rows])
        self.assertCountEqual(["brellan.inf (whole file)", "firmware\\brellan_fw.bin (whole file)",
                               "amd64\\BrellanCoInst.dll (PE image)"], rows[3]["files"])
        report = checks.report(rows, notes, self.folder)
        self.assertRegex(report, r"brellan.inf +amd64 +brellan_amd64.cat +ca signer \(sha256\) +none +7, 8, 8.1, 10, 11 +member +sha1 +3")
        # osslsigncode, reading the catalog on its own, finds each co-installer's Authenticode hash.
        for platform in inf_rules.PLATFORMS:
            found = subprocess.run(["osslsigncode", "verify", "-catalog", self.path("brellan_%s.cat" % platform), "-in",
                                    self.path(platform + "\\BrellanCoInst.dll"), "-CAfile", self.ca],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
            digests = [line.split(":")[1].strip() for line in found.splitlines()
                       if line.startswith(("Current message digest", "Calculated message digest"))]
            self.assertIn("Succeeded", found)
            self.assertEqual(2, len(digests), found)
            self.assertEqual(digests[0], digests[1])

    def test_WhatWindowsRefusesStopsTheBuildByName(self):
        def append(relative, data=b"; edited after signing\r\n"):
            return lambda: open(self.path(relative), "ab").write(data)

        def poke(relative, at, value=b"\x90"):
            def change_it():
                with open(self.path(relative), "r+b") as changed:
                    changed.seek(at)
                    changed.write(value)
            return change_it

        cases = [
            ("INF edited", append("brellan.inf"), None, "brellan.inf (x86): brellan.inf is not in brellan_x86.cat: Windows"
             " refuses to stage this package (the file changed after signing"),
            ("PE code changed", poke("amd64\\BrellanCoInst.dll", 0x400), None,
             "brellan.inf (amd64): amd64\\BrellanCoInst.dll is not in brellan_amd64.cat"),
            ("firmware rebuilt", poke("firmware\\brellan_fw.bin", 100), None,
             "brellan.inf (x86): firmware\\brellan_fw.bin is not in brellan_x86.cat"),
            ("Windows 10 and 11 left out", None, ("7", "8", "8.1"), "flashwright.inf (x86): flashwright.cat covers Windows"
             " 2:6.1,2:6.2,2:6.3 (the OSAttr of flashwright.inf's member), not Windows 10, 11, which the package declares"),
            ("unsigned", None, "unsigned", "flashwright.inf (x86): flashwright.cat is not signed: Windows refuses"),
            ("another CA", None, "other", "flashwright.inf (x86): the signature of flashwright.cat does not verify against"
             " BRELLAN_CATALOG_CA"),
        ]
        for name, change, made, message in cases:
            with self.subTest(name):
                self.setUp()
                windows = made if isinstance(made, tuple) else inf_rules.DECLARED_WINDOWS
                self.make(windows, {"unsigned": None, "other": "other"}.get(made, "ca"))
                if change:
                    change()
                self.assertIn(message, self.refusal())
                # Membership stays a refusal whatever is downgraded; versions and signature warn.
                if change:
                    self.assertIn(message, self.refusal(checks.DOWNGRADABLE))
                else:
                    rows, notes = self.check(checks.DOWNGRADABLE)
                    self.assertEqual(4, len(rows))
                    self.assertTrue(any(message in str(note) and "a warning only: BRELLAN_CATALOG_WARN" in str(note) for note in notes))

    def test_PeChecksumAndSignatureAreOutsideTheHashAndEveryInfNeedsACatalog(self):
        self.make()
        # Authenticode leaves out the PE checksum: a file whose checksum was fixed up stays listed.
        with open(self.path("x86\\BrellanCoInst.dll"), "r+b") as image:
            header, = struct.unpack("<I", image.read(0x40)[0x3C:])
            image.seek(header + 24 + 64)
            image.write(b"\x12\x34\x56\x78")
        self.assertEqual(4, len(self.check()[0]))
        # A catalog made for Windows 10 and 11 alone lists SHA-256 hashes, and covers only them.
        self.make(("10", "11"))
        rows, notes = self.check(("versions",))
        self.assertEqual({"sha256"}, {row["hashes"] for row in rows})
        self.assertIn("not Windows 7, 8, 8.1", str(notes[0]))
        with open(self.path("flashwright.inf"), "wb") as inf:
            inf.write(TOOL)
        self.assertIn("flashwright.inf (x86): names no catalog for x86 (CatalogFile): Windows refuses to stage an unsigned",
                      self.refusal(checks.DOWNGRADABLE))
        self.assertIn("BRELLAN_CATALOG_WARN names membership", self.refusal(("membership",)))
        with open(self.path("flashwright.cat"), "wb") as damaged:
            damaged.write(b"PLACEHOLDER")
        with self.assertRaisesRegex(PackageError, "flashwright.cat is not a catalog Windows can read"):
            catalog.read_catalog(self.path("flashwright.cat"))


if __name__ == "__main__":
    unittest.main()
