"""The build's model of the driver packages (installer/driver_package): which files the setup
package carries, and which folders stop the build; and their catalogs: which of them Windows would
refuse, read back by osslsigncode and openssl as well as by our reader."""
import hashlib
import os
import re
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
import signatures  # noqa: E402
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
        for missing, line, named in (("brellan.cat", 12, "catalog brellan.cat"),
                                     ("brellan_x86.cat", 13, "catalog brellan_x86.cat"),
                                     ("amd64\\BrellanCoInst.dll", 68, "source file amd64\\BrellanCoInst.dll"),
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
        # The room the package checks for: each file in whole 4 KiB clusters, the list too.
        nsh = os.path.join(self.folder, "files.nsh")
        writer.write_nsh(listed, nsh, ("x86",), work)
        with open(nsh, encoding="utf-8") as text:
            defined = re.search(r"!define DRIVER_PACKAGE_KB (\d+)", text.read())
        clusters = lambda path: -(-os.path.getsize(path) // 4096)
        self.assertEqual(4 * (sum(clusters(source) for _, source in listed) + clusters(work)), int(defined.group(1)))
        self.assertGreaterEqual(int(defined.group(1)), 4 * 202)
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


CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
# The chains real catalogs are signed with, as throwaway keys: (signer's chain, first the signer,
# from the root down; the EKUs of the signer; when the signer was issued).
NOW = datetime.datetime.now(datetime.timezone.utc)
SIGNERS = {
    "ca": (["ca CA", "ca signer"], [CODE_SIGNING], NOW),
    "other": (["other CA", "other signer"], [CODE_SIGNING], NOW),
    # Microsoft's hardware dashboard (attestation adds its usage to the hardware lab's).
    "microsoft": (["Microsoft Root Certificate Authority 2010", "Microsoft Windows Third Party Component CA 2014",
                   "Microsoft Windows Hardware Compatibility Publisher"],
                  [signatures.HARDWARE_DRIVER_USAGE, signatures.HARDWARE_DRIVER_USAGE + ".1", CODE_SIGNING], NOW),
    # Older WHQL, its catalog carrying the signer's certificate alone.
    "whql-bare": (["Microsoft Root Authority", "Microsoft Windows Hardware Compatibility PCA",
                   "Microsoft Windows Hardware Compatibility Publisher"],
                  [signatures.HARDWARE_DRIVER_USAGE, CODE_SIGNING], NOW),
    # A vendor's kernel-mode signature from before 29 July 2015: its root cross-signed by Microsoft.
    "crossed": (["Microsoft Code Verification Root", "Quillmere Root CA 2009", "Quillmere Drivers 2014"],
                [CODE_SIGNING], datetime.datetime(2014, 3, 1, tzinfo=datetime.timezone.utc)),
    # The same vendor's certificate of 2016: after the cut-off.
    "late": (["Microsoft Code Verification Root", "Quillmere Root CA 2009", "Quillmere Drivers 2016"],
             [CODE_SIGNING], datetime.datetime(2016, 3, 1, tzinfo=datetime.timezone.utc)),
}


def make_signers(folder):
    """For each of SIGNERS: NAME.pem (its root), NAME-signer.pem (the signer, then the certificates
    above it but the root), NAME-signer.key. A NAME ending in -bare carries the signer alone, and
    its NAME.pem the certificates above it, as a machine's stores hold them."""
    from cryptography import x509 as cx
    from cryptography.hazmat.primitives import hashes as ch, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import NameOID
    for name, (chain, usages, issued) in SIGNERS.items():
        keys = [rsa.generate_private_key(public_exponent=65537, key_size=2048) for _ in chain]
        certificates = []
        for at, common_name in enumerate(chain):
            issuer = at - 1 if at else 0
            builder = (cx.CertificateBuilder()
                       .subject_name(cx.Name([cx.NameAttribute(NameOID.COMMON_NAME, common_name)]))
                       .issuer_name(cx.Name([cx.NameAttribute(NameOID.COMMON_NAME, chain[issuer])]))
                       .public_key(keys[at].public_key()).serial_number(cx.random_serial_number())
                       .not_valid_before(min(issued, NOW) - datetime.timedelta(days=1))
                       .not_valid_after(NOW + datetime.timedelta(days=2)))
            if at < len(chain) - 1:
                builder = builder.add_extension(cx.BasicConstraints(ca=True, path_length=None), critical=True)
            else:
                builder = builder.add_extension(cx.ExtendedKeyUsage([cx.ObjectIdentifier(u) for u in usages]), False)
            certificates.append(builder.sign(keys[issuer], ch.SHA256()))
        pem = [c.public_bytes(serialization.Encoding.PEM) for c in certificates]
        with open(os.path.join(folder, name + ".pem"), "wb") as out:
            out.write(b"".join(pem[:-1]) if name.endswith("-bare") else pem[0])
        with open(os.path.join(folder, name + "-signer.pem"), "wb") as out:
            out.write(pem[-1] if name.endswith("-bare") else b"".join(reversed(pem[1:])))
        with open(os.path.join(folder, name + "-signer.key"), "wb") as out:
            out.write(keys[-1].private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                             serialization.NoEncryption()))


class start_tsa:
    """A throwaway RFC 3161 timestamp authority on 127.0.0.1 (scripts/tsa-responder.py) with its
    own root, KEYS/tsa-root.pem; `url` to send requests to, `kill` to stop it."""

    def __init__(self, keys):
        from cryptography import x509 as cx
        from cryptography.hazmat.primitives import hashes as ch, serialization
        from cryptography.hazmat.primitives.asymmetric import rsa
        from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
        made = []
        for at, name in enumerate(("timestamp root", "timestamp authority")):
            key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
            builder = (cx.CertificateBuilder()
                       .subject_name(cx.Name([cx.NameAttribute(NameOID.COMMON_NAME, name)]))
                       .issuer_name(cx.Name([cx.NameAttribute(NameOID.COMMON_NAME, "timestamp root")]))
                       .public_key(key.public_key()).serial_number(cx.random_serial_number())
                       .not_valid_before(NOW - datetime.timedelta(days=1)).not_valid_after(NOW + datetime.timedelta(days=3650)))
            if at == 0:
                builder = builder.add_extension(cx.BasicConstraints(ca=True, path_length=None), critical=True)
            else:
                builder = builder.add_extension(cx.ExtendedKeyUsage([ExtendedKeyUsageOID.TIME_STAMPING]), critical=True)
            made.append((key, builder.sign(made[0][0] if made else key, ch.SHA256())))
        for (key, certificate), name in zip(made, ("tsa-root", "tsa")):
            with open(os.path.join(keys, name + ".pem"), "wb") as out:
                out.write(certificate.public_bytes(serialization.Encoding.PEM))
            with open(os.path.join(keys, name + ".key"), "wb") as out:
                out.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                            serialization.NoEncryption()))
        with open(os.path.join(keys, "tsa-serial"), "w") as serial:
            serial.write("01\n")
        with open(os.path.join(keys, "tsa.cnf"), "w") as config:
            config.write("[ tsa ]\ndefault_tsa = t\n[ t ]\nserial = {0}/tsa-serial\nsigner_cert = {0}/tsa.pem\n"
                         "certs = {0}/tsa-root.pem\nsigner_key = {0}/tsa.key\nsigner_digest = sha256\n"
                         "default_policy = 1.2.3.4.1\ndigests = sha1, sha256\naccuracy = secs:1\n"
                         "ess_cert_id_chain = no\ness_cert_id_alg = sha256\n".format(keys))
        self.process = subprocess.Popen(["/usr/bin/python3", os.path.join(SOURCE, "scripts", "tsa-responder.py"),
                                         os.path.join(keys, "tsa.cnf")], stdout=subprocess.PIPE, text=True)
        self.url = "http://127.0.0.1:%s/" % self.process.stdout.readline().strip()

    def kill(self):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


def sign(keys, signer, path):
    """Signs the catalog at `path` in place with the throwaway `signer`'s key and chain."""
    run("osslsigncode", "sign", "-h", "sha256", "-certs", os.path.join(keys, signer + "-signer.pem"),
        "-key", os.path.join(keys, signer + "-signer.key"), "-in", path, "-out", path + ".signed")
    os.replace(path + ".signed", path)


def countersign(path, key, certificate, when):
    """Adds to the catalog at `path` the older Authenticode timestamp (a PKCS #9 countersignature,
    as signtool /t adds it), built here from its definition: a SignerInfo over the signature's
    value, giving the time `when`, made with `key`; `certificate` joins the catalog's."""
    from asn1crypto import cms as acms, x509 as ax
    from cryptography.hazmat.primitives import hashes as ch, serialization
    from cryptography.hazmat.primitives.asymmetric import padding
    with open(path, "rb") as data:
        info = acms.ContentInfo.load(data.read())
    signed = info["content"]
    signer = signed["signer_infos"][0]
    der = ax.Certificate.load(certificate.public_bytes(serialization.Encoding.DER))
    # In DER's order of a SET OF: content type, signing time, message digest.
    attributes = acms.CMSAttributes([
        acms.CMSAttribute({"type": "content_type", "values": ["data"]}),
        acms.CMSAttribute({"type": "signing_time", "values": [acms.Time({"utc_time": when})]}),
        acms.CMSAttribute({"type": "message_digest", "values": [hashlib.sha256(signer["signature"].native).digest()]}),
    ])
    counter = acms.SignerInfo({
        "version": "v1",
        "sid": acms.SignerIdentifier({"issuer_and_serial_number": acms.IssuerAndSerialNumber(
            {"issuer": der.issuer, "serial_number": der.serial_number})}),
        "digest_algorithm": {"algorithm": "sha256"},
        "signed_attrs": attributes,
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"},
        "signature": key.sign(attributes.dump(), padding.PKCS1v15(), ch.SHA256()),
    })
    signer["unsigned_attrs"] = acms.CMSAttributes([acms.CMSAttribute({"type": "counter_signature", "values": [counter]})])
    signed["signer_infos"] = acms.SignerInfos([signer])
    signed["certificates"] = acms.CertificateSet(list(signed["certificates"]) + [acms.CertificateChoices({"certificate": der})])
    info["content"] = signed
    with open(path, "wb") as out:
        out.write(info.dump(force=True))


def pem_certificates(path):
    return signatures.read_bundle(path, "a test's certificates")


def test_trust(ca=None, machine=None):
    """The throwaway chains' keys in the places Windows keeps the real ones: the Microsoft-named
    roots as Microsoft's, the older WHQL chain's issuing CA as an intermediate Windows holds, the
    cross-signing roots' keys as Microsoft Code Verification Root's; the bundle as other roots."""
    whql = pem_certificates(os.path.join(KEYS, "whql-bare.pem"))
    return signatures.with_bundle(signatures.Trust(
        microsoft=pem_certificates(os.path.join(KEYS, "microsoft.pem")) + whql[:1],
        code_verification=[pem_certificates(os.path.join(KEYS, name + ".pem"))[0].public_key() for name in ("crossed", "late")],
        others=[], intermediates=whql[1:]), ca)


def setUpModule():
    global KEYS, REAL_TRUST
    KEYS = tempfile.mkdtemp()
    make_signers(KEYS)
    # The checks judge by the throwaway keys; the tests of the carried keys call the real loader.
    REAL_TRUST = signatures.load_trust
    signatures.load_trust = test_trust
    # What a vendor whose packages Microsoft and the vendor both signed sets BRELLAN_CATALOG_CA to.
    with open(os.path.join(KEYS, "roots.pem"), "wb") as roots:
        for name in ("ca", "microsoft", "whql-bare"):
            with open(os.path.join(KEYS, name + ".pem"), "rb") as root:
                roots.write(root.read())


def tearDownModule():
    signatures.load_trust = REAL_TRUST
    shutil.rmtree(KEYS)


# A firmware file on a disk of its own, as a device package carries one for every platform.
FIRMWARE = (b'\r\n[SourceDisksNames]\r\n2="Brellan firmware",,,\\firmware\r\n[SourceDisksFiles]\r\nbrellan_fw.bin=2\r\n'
            b'[Brellan_Install]\r\nCopyFiles=Brellan_Firmware\r\n[Brellan_Firmware]\r\nbrellan_fw.bin\r\n')


class Catalogs(unittest.TestCase):
    """The samples with a firmware file, their catalogs made here and signed by a test CA."""

    @classmethod
    def setUpClass(cls):
        cls.keys = KEYS

    def setUp(self):
        self.folder = os.path.join(tempfile.mkdtemp(), "packages")
        self.addCleanup(shutil.rmtree, os.path.dirname(self.folder))
        shutil.copytree(os.path.join(SOURCE, "tests", "data"), self.folder)
        with open(self.path("brellan.inf"), "ab") as inf:
            inf.write(FIRMWARE)
        os.makedirs(self.path("firmware"))
        with open(self.path("firmware\\brellan_fw.bin"), "wb") as firmware:
            firmware.write(bytes(range(256)) * 64)
        self.ca = os.path.join(self.keys, "roots.pem")

    def path(self, relative):
        return os.path.join(self.folder, *relative.split("\\"))

    def make(self, windows=inf_rules.RELEASE_ORDER, signer="ca"):
        made = writer.make_package_catalogs(self.folder, inf_rules.PLATFORMS, windows, WHEN, replace_signed=True)[0]
        for catalog_name in made if signer else []:
            sign(self.keys, signer, self.path(catalog_name))
        return made

    def check(self, warn=(), windows=inf_rules.DECLARED_WINDOWS):
        return checks.check_packages(self.folder, inf_rules.PLATFORMS, self.ca, warn, windows)

    def refusal(self, warn=(), windows=inf_rules.DECLARED_WINDOWS):
        with self.assertRaises(PackageError) as refusal:
            self.check(warn, windows)
        return str(refusal.exception)

    def test_SignedPackagePassesAndTheReportListsWhatWasChecked(self):
        self.assertEqual(["brellan.cat", "brellan_amd64.cat", "brellan_x86.cat", "flashwright.cat"], self.make())
        rows, notes = self.check()
        # Signed by the vendor: Windows reads no OSAttr, and each machine must trust the publisher.
        self.assertEqual({("warning", "%s is not timestamped" % cat) for cat in ("flashwright.cat", "brellan_x86.cat",
                                                                                 "brellan_amd64.cat")}
                         | {("warning", "%s is signed by ca signer, not Microsoft" % cat)
                            for cat in ("flashwright.cat", "brellan_x86.cat", "brellan_amd64.cat")}
                         | {("note", "WdfCoInstaller01011.dll is listed in [SourceDisksFiles] but no install section for"
                                     " x86, amd64 copies it")},
                         {(n.severity, n.problem) for n in notes})
        self.assertIn("with /S nobody answers, and Windows refuses the package (exit code 4). Fix: before deploying, add"
                      " the publisher's certificate to Trusted Publishers on every machine",
                      str([n for n in notes if "not Microsoft" in n.problem][0]))
        self.assertEqual([("flashwright.inf", "x86", "flashwright.cat"), ("flashwright.inf", "amd64", "flashwright.cat"),
                          ("brellan.inf", "x86", "brellan_x86.cat"), ("brellan.inf", "amd64", "brellan_amd64.cat")],
                         [(row["inf"], row["platform"], row["catalog"]) for row in rows])
        self.assertCountEqual(["brellan.inf (whole file)", "firmware\\brellan_fw.bin (whole file)",
                               "amd64\\BrellanCoInst.dll (PE image)"], rows[3]["files"])
        report = checks.report(rows, notes, self.folder)
        self.assertRegex(report, r"brellan.inf +amd64 +brellan_amd64.cat +ca signer \(sha256\) +none +vendor: trust it on"
                                 r" each machine +any \(OSAttr not read\) +- +sha1 +3")
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
                    changed.seek(at, os.SEEK_SET if at >= 0 else os.SEEK_END)
                    changed.write(value)
            return change_it

        eight_one = inf_rules.declared_windows("8.1")
        cases = [
            # (name, change, the catalogs' Windows, their signer, the lowest Windows declared, the refusal)
            ("INF edited", append("brellan.inf"), inf_rules.RELEASE_ORDER, "ca", inf_rules.DECLARED_WINDOWS,
             "brellan.inf (x86): brellan.inf is not in brellan_x86.cat: Windows refuses to stage this package (the file"
             " changed after signing"),
            ("PE code changed", poke("amd64\\BrellanCoInst.dll", 0x400), inf_rules.RELEASE_ORDER, "ca",
             inf_rules.DECLARED_WINDOWS, "brellan.inf (amd64): amd64\\BrellanCoInst.dll is not in brellan_amd64.cat"),
            ("firmware rebuilt", poke("firmware\\brellan_fw.bin", 100), inf_rules.RELEASE_ORDER, "microsoft",
             inf_rules.DECLARED_WINDOWS, "brellan.inf (x86): firmware\\brellan_fw.bin is not in brellan_x86.cat"),
            ("Microsoft's signature for 10 and later, 8.1 declared", None, ("10", "11"), "microsoft", eight_one,
             "flashwright.inf (x86): flashwright.cat is signed by Microsoft for Windows 2:10.0 (the OSAttr of"
             " flashwright.inf's member), not for Windows 8.1, which the package declares: Windows there refuses to stage"
             " this package: Microsoft's signature holds from the first version its OSAttr names up. Fix: submit the"
             " package to Microsoft's hardware dashboard for Windows 8.1 too and use the catalog it returns, or, if the"
             " product does not support Windows 8.1, set BRELLAN_LOWEST_WINDOWS=10"),
            ("unsigned", None, inf_rules.RELEASE_ORDER, None, inf_rules.DECLARED_WINDOWS,
             "flashwright.inf (x86): flashwright.cat is not signed: Windows refuses"),
            ("one byte of the signature value changed", poke("flashwright.cat", -16, b"\x55"), inf_rules.RELEASE_ORDER,
             "ca", inf_rules.DECLARED_WINDOWS, "flashwright.inf (x86): the signature of flashwright.cat does not verify:"
             " the signature value of flashwright.cat does not verify with its signer's key: it was changed or forged:"
             " Windows treats the package as unsigned"),
        ]
        for name, change, made, signer, declared, message in cases:
            with self.subTest(name):
                self.setUp()
                self.make(made, signer)
                if change:
                    change()
                with self.assertRaises(PackageError) as refused:
                    self.check(windows=declared)
                self.assertIn(message, str(refused.exception))
                # Membership stays a refusal whatever is downgraded; versions and signature warn.
                if refused.exception.finding.check == "membership":
                    self.assertIn(message, self.refusal(checks.DOWNGRADABLE, declared))
                else:
                    rows, notes = self.check(checks.DOWNGRADABLE, declared)
                    self.assertEqual(4, len(rows))
                    self.assertTrue(any(message in str(note) and "a warning only: BRELLAN_CATALOG_WARN" in str(note) for note in notes))
        # Every refusal of every INF and platform in one run: the edited INF on both platforms, the
        # rebuilt firmware on both, and the tool's unsigned catalog.
        self.setUp()
        self.make(inf_rules.RELEASE_ORDER, None)
        with open(self.path("flashwright.cat"), "rb") as unsigned:
            tool_catalog = unsigned.read()
        self.make(inf_rules.RELEASE_ORDER, "microsoft")
        with open(self.path("flashwright.cat"), "wb") as unsigned:
            unsigned.write(tool_catalog)
        append("brellan.inf")()
        poke("firmware\\brellan_fw.bin", 100)()
        with self.assertRaises(PackageError) as refusal:
            self.check()
        self.assertEqual([("flashwright.inf", platform, "flashwright.cat is not signed") for platform in ("x86", "amd64")]
                         + [("brellan.inf", platform, "%s is not in brellan_%s.cat" % (name, platform))
                            for platform in ("x86", "amd64") for name in ("brellan.inf", "firmware\\brellan_fw.bin")],
                         [(f.file, f.platform, f.problem) for f in refusal.exception.findings])

    def test_PeChecksumAndSignatureAreOutsideTheHashAndEveryInfNeedsACatalog(self):
        self.make()
        # Authenticode leaves out the PE checksum: a file whose checksum was fixed up stays listed.
        with open(self.path("x86\\BrellanCoInst.dll"), "r+b") as image:
            header, = struct.unpack("<I", image.read(0x40)[0x3C:])
            image.seek(header + 24 + 64)
            image.write(b"\x12\x34\x56\x78")
        self.assertEqual(4, len(self.check()[0]))
        # A catalog made for Windows 10 and 11 alone lists SHA-256 hashes; under Microsoft's
        # signature it covers only them.
        self.make(("10", "11"), "microsoft")
        rows, notes = self.check(("versions",), inf_rules.declared_windows("7"))
        self.assertEqual({"sha256"}, {row["hashes"] for row in rows})
        self.assertIn("not for Windows 7, 8, 8.1, which", str(notes[0]))
        self.assertEqual({("Microsoft", "10, 11", "member")}, {(r["signed_by"], r["windows"], r["osattr"]) for r in rows})
        with open(self.path("flashwright.inf"), "wb") as inf:
            inf.write(TOOL)
        self.assertIn("flashwright.inf (x86): names no catalog for x86 (CatalogFile): Windows refuses to stage an unsigned",
                      self.refusal(checks.DOWNGRADABLE))
        self.assertIn("BRELLAN_CATALOG_WARN names membership", self.refusal(("membership",)))
        with open(self.path("flashwright.cat"), "wb") as damaged:
            damaged.write(b"PLACEHOLDER")
        with self.assertRaisesRegex(PackageError, "flashwright.cat is not a catalog Windows can read"):
            catalog.read_catalog(self.path("flashwright.cat"))


    def test_FirstMakeOddSizePeAndMemberAttributesAsOtherReadersSeeThem(self):
        # A package without its catalogs, and with a co-installer whose size is no multiple of 8.
        for catalog_name in ("brellan.cat", "brellan_x86.cat", "brellan_amd64.cat", "flashwright.cat"):
            os.remove(self.path(catalog_name))
        with open(self.path("x86\\BrellanCoInst.dll"), "ab") as image:
            image.write(b"odd")
        self.assertEqual(["brellan.cat", "brellan_amd64.cat", "brellan_x86.cat", "flashwright.cat"], self.make())
        found = subprocess.run(["osslsigncode", "verify", "-catalog", self.path("brellan_x86.cat"), "-in",
                                self.path("x86\\BrellanCoInst.dll"), "-CAfile", self.ca],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
        self.assertIn("Calculated message digest", found)
        self.assertIn("Signature verification: ok", found)
        # openssl reads each member's File and OSAttr, and no attribute of the catalog's own.
        parsed = subprocess.run(["openssl", "asn1parse", "-inform", "DER", "-in", self.path("brellan_x86.cat")],
                                stdout=subprocess.PIPE, text=True, check=True).stdout.splitlines()
        with open(self.path("brellan_x86.cat"), "rb") as der:
            data = der.read()
        values = {}
        for at, line in enumerate(parsed):
            if "BMPSTRING" in line and "INTEGER           :10010001" in parsed[at + 1]:
                # openssl prints where a BMPString lies (offset, header and content length), not its text.
                offset, header, size = (int(n) for n in re.match(r" *(\d+):d=\d+ +hl=(\d+) l= *(\d+)", line).groups())
                name = data[offset + header:offset + header + size].decode("utf-16-be")
                dump = parsed[at + 2].rsplit(":", 1)[1]
                values.setdefault(name, []).append(bytes.fromhex(dump).decode("utf-16-le").rstrip("\0"))
        self.assertEqual(sorted(["brellan.inf", "BrellanCoInst.dll", "brellan_fw.bin"]), sorted(values["File"]))
        self.assertEqual([FULL] * 3, values["OSAttr"])
        self.assertEqual({}, catalog.read_catalog(self.path("brellan_x86.cat")).attributes)
        # Made again over signed catalogs: refused, naming the flag that allows it.
        with self.assertRaises(PackageError) as refusal:
            writer.make_package_catalogs(self.folder, inf_rules.PLATFORMS, inf_rules.DECLARED_WINDOWS, WHEN)
        self.assertEqual("brellan.cat is signed by ca signer", refusal.exception.finding.problem)
        self.assertIn("run make with --replace-signed", str(refusal.exception))

    def test_NshAlwaysComesWithItsWorkList(self):
        self.make(signer=None)
        nsh = os.path.join(self.folder, "driver-files.nsh")
        command = [sys.executable, os.path.join(SOURCE, "installer", "driver_package"), "files", self.folder, "--nsh", nsh]
        # The samples' catalogs are unsigned: no package is built around them unless that is said.
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(1, result.returncode, result.stderr)
        self.assertIn("flashwright.cat is not signed", result.stderr)
        self.assertFalse(os.path.exists(nsh))
        result = subprocess.run(command + ["--warn=signature"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(0, result.returncode, result.stderr)
        work = os.path.join(self.folder, "driver-files.work")
        with open(nsh, encoding="utf-8") as text:
            self.assertEqual(2, text.read().count('"/oname=BrellanFlashwrightSetup.files" "%s"' % work))
        with open(work, encoding="utf-16-le") as text:
            self.assertIn("place\tfirmware\\brellan_fw.bin\n", text.read())


# Catalogs built here from DER by hand, from the format's definition, as real ones are shaped: not
# by the build's writer, so that its reader is proven on what Windows' tools write.
def tlv(tag, content):
    size = len(content)
    length = bytes([size]) if size < 0x80 else bytes([0x80 | ((size.bit_length() + 7) // 8)]) + size.to_bytes(
        (size.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + content


def seq(*items):
    return tlv(0x30, b"".join(items))


def set_of(*items):
    return tlv(0x31, b"".join(sorted(items)))


def oid(dotted):
    numbers = [int(n) for n in dotted.split(".")]
    body = bytes([40 * numbers[0] + numbers[1]])
    for n in numbers[2:]:
        chunk = [n & 0x7F]
        while n > 0x7F:
            n >>= 7
            chunk.insert(0, 0x80 | (n & 0x7F))
        body += bytes(chunk)
    return tlv(0x06, body)


def integer(n):
    return tlv(0x02, n.to_bytes((n.bit_length() + 8) // 8, "big"))


def bmp(text):
    return tlv(0x1E, text.encode("utf-16-be"))


def name_value(name, value):
    return seq(bmp(name), integer(0x10010001), tlv(0x04, (value + "\0").encode("utf-16-le")))


DIGEST_OIDS = {"sha1": "1.3.14.3.2.26", "sha256": "2.16.840.1.101.3.4.2.1"}


def hand_member(content, algorithm, os_attr=None, name="f"):
    """A member as Inf2Cat writes one: its tag, the member info, the indirect data and, unless
    `os_attr` is None, the File and OSAttr name/value attributes."""
    kind, digest = catalog.hashes.file_hash(content, algorithm)
    link = tlv(0xA2, tlv(0x80, "<<<Obsolete>>>".encode("utf-16-be")))
    data = seq(oid("1.3.6.1.4.1.311.2.1.15"), seq(tlv(0x03, b"\0"), tlv(0xA0, link))) if kind == "pe" else \
        seq(oid("1.3.6.1.4.1.311.2.1.25"), link)
    indirect = seq(data, seq(seq(oid(DIGEST_OIDS[algorithm]), b"\x05\x00"), tlv(0x04, digest)))
    guid = catalog.PE_SUBJECT if kind == "pe" else catalog.FLAT_SUBJECT
    attributes = [seq(oid("1.3.6.1.4.1.311.12.2.2"), set_of(seq(bmp(guid), integer(0x200)))),
                  seq(oid("1.3.6.1.4.1.311.2.1.4"), set_of(indirect))]
    if os_attr is not None:
        attributes += [seq(oid("1.3.6.1.4.1.311.12.2.1"), set_of(name_value("File", name))),
                       seq(oid("1.3.6.1.4.1.311.12.2.1"), set_of(name_value("OSAttr", os_attr)))]
    return seq(tlv(0x04, (digest.hex().upper() + "\0").encode("utf-16-le")), set_of(*attributes))


def newer_member(content, algorithm, os_attr=None, name="f", indirect=True):
    """A member as Microsoft's signing service and current Inf2Cat write one: the hash's raw bytes
    as its tag, member info 2 (its values implicitly tagged, [0] and [2]), the indirect data
    unless not `indirect`, and File and OSAttr unless `os_attr` is None."""
    kind, digest = catalog.hashes.file_hash(content, algorithm)
    guid = bytes.fromhex((catalog.PE_SUBJECT if kind == "pe" else catalog.FLAT_SUBJECT).strip("{}").replace("-", ""))
    attributes = [seq(oid("1.3.6.1.4.1.311.12.2.3"), set_of(tlv(0xA0, tlv(0x80, guid)), tlv(0x82, b"\x02\x00")))]
    if indirect:
        link = tlv(0xA2, tlv(0x80, "<<<Obsolete>>>".encode("utf-16-be")))
        data = seq(oid("1.3.6.1.4.1.311.2.1.15"), seq(tlv(0x03, b"\0"), tlv(0xA0, link))) if kind == "pe" else \
            seq(oid("1.3.6.1.4.1.311.2.1.25"), link)
        attributes.append(seq(oid("1.3.6.1.4.1.311.2.1.4"),
                              set_of(seq(data, seq(seq(oid(DIGEST_OIDS[algorithm]), b"\x05\x00"), tlv(0x04, digest))))))
    if os_attr is not None:
        attributes += [seq(oid("1.3.6.1.4.1.311.12.2.1"), set_of(name_value("File", name))),
                       seq(oid("1.3.6.1.4.1.311.12.2.1"), set_of(name_value("OSAttr", os_attr)))]
    return seq(tlv(0x04, digest), set_of(*attributes))


def bare_member(content, algorithm, os_attr=None, name="f"):
    """A newer-form SHA-1 member without indirect data: its tag is the hash."""
    return newer_member(content, algorithm, os_attr, name, indirect=False)


def hand_catalog(members, os_attr=None):
    """An unsigned catalog of `members`, with a catalog-level OSAttr unless it is None."""
    ctl = [seq(oid("1.3.6.1.4.1.311.12.1.1")), tlv(0x04, b"brellan-test"), tlv(0x17, b"261208000000Z"),
           seq(oid("1.3.6.1.4.1.311.12.1.2"), b"\x05\x00"), seq(*members)]
    if os_attr is not None:
        ctl.append(tlv(0xA0, seq(seq(oid("1.3.6.1.4.1.311.12.2.1"), tlv(0x04, name_value("OSAttr", os_attr))))))
    signed = seq(integer(1), set_of(), seq(oid("1.3.6.1.4.1.311.10.1"), tlv(0xA0, seq(*ctl))), set_of())
    return seq(oid("1.2.840.113549.1.7.2"), tlv(0xA0, signed))


FULL = "2:6.1,2:6.2,2:6.3,2:10.0"


class RealShapes(unittest.TestCase):
    """Catalogs and INFs shaped as vendors' real, Microsoft-signed packages are."""

    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)

    def write(self, relative, data):
        path = os.path.join(self.folder, *relative.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
        return data

    def test_CatalogsOfEveryRealShapeAreReadAsWindowsReadsThem(self):
        tool = TOOL + b"CatalogFile=flashwright.cat\r\n"
        device = b'[Version]\r\nSignature="$Windows NT$"\r\nCatalogFile=brellan.cat\r\n'
        older = "2:5.00,2:5.1,2:5.2,2:6.0,2:6.1,2:6.2,2:6.3"
        cases = [
            # (name, member form, algorithm, the members' OSAttr, the catalog's, signer, lowest Windows,
            #  (Windows covered, OSAttr of) or the refusal)
            ("members only, as every real catalog", hand_member, "sha1", FULL, None, "microsoft", "7",
             ("7, 8, 8.1, 10, 11", "member")),
            ("SHA-256 members", hand_member, "sha256", FULL, None, "microsoft", "10", ("10, 11", "member")),
            ("the catalog's alone", hand_member, "sha1", None, FULL, "microsoft", "10", ("10, 11", "catalog")),
            ("both: the member's holds", hand_member, "sha1", "2:6.3", "2:10.0", "microsoft", "8.1",
             ("8.1, 10, 11", "member")),
            ("Windows 2000 to 8.1 serve 10 and 11", hand_member, "sha1", older + ", 2:6.3", None, "microsoft", "7",
             ("7, 8, 8.1, 10, 11", "member")),
            ("Vista alone serves 7 to 11", hand_member, "sha1", "2:6.0", None, "microsoft", "7",
             ("7, 8, 8.1, 10, 11", "member")),
            ("early Inf2Cat's 2:6.4 is Windows 10", hand_member, "sha256", "2:6.4", None, "microsoft", "10",
             ("10, 11", "member")),
            ("a build after the version", hand_member, "sha256", "2:10.0.22000", None, "microsoft", "10", ("10, 11", "member")),
            ("the newer form: raw tags, member info 2", newer_member, "sha256", "2:10.0", None, "microsoft", "10",
             ("10, 11", "member")),
            ("the newer form: SHA-1 members without indirect data", bare_member, "sha1", "2:10.0", None, "microsoft",
             "10", ("10, 11", "member")),
            ("older WHQL, the signer's certificate alone", hand_member, "sha1", "2:5.1,2:5.2,2:6.0", None, "whql-bare",
             "7", ("7, 8, 8.1, 10, 11", "member")),
            ("a vendor's signature: no OSAttr read", newer_member, "sha256", None, None, "ca", "7",
             ("any (OSAttr not read)", "-")),
            ("a vendor's, OSAttr for Vista alone", hand_member, "sha1", "2:6.0", None, "ca", "10",
             ("any (OSAttr not read)", "-")),
            ("2:6.4 does not serve 8.1", hand_member, "sha256", "2:6.4", None, "microsoft", "8.1",
             "flashwright.cat is signed by Microsoft for Windows 2:6.4 (the OSAttr of flashwright.inf's member), not"
             " for Windows 8.1, which"),
            ("attestation's 2:10.0, 8.1 declared", bare_member, "sha1", "2:10.0", None, "microsoft", "8.1",
             "not for Windows 8.1, which the package declares"),
            ("the member's names 8 alone, the catalog's 7", hand_member, "sha1", "2:6.2", FULL, "microsoft", "7",
             "(the OSAttr of flashwright.inf's member), not for Windows 7, which"),
            ("no OSAttr at all", newer_member, "sha1", None, None, "microsoft", "10",
             "signed by Microsoft for Windows (none) (no OSAttr), not for Windows 10, 11"),
        ]
        for name, member, algorithm, member_attr, catalog_attr, signer, lowest, expected in cases:
            with self.subTest(name):
                for inf_name, text, cat in (("flashwright.inf", tool, "flashwright.cat"), ("brellan.inf", device, "brellan.cat")):
                    self.write(inf_name, text)
                    other = member(b"another file of the package", algorithm, member_attr)
                    self.write(cat, hand_catalog([other, member(text, algorithm, member_attr, inf_name)], catalog_attr))
                    sign(KEYS, signer, os.path.join(self.folder, cat))
                windows = inf_rules.declared_windows(lowest)
                if isinstance(expected, tuple):
                    rows, notes = checks.check_packages(self.folder, ("x86",), os.path.join(KEYS, "roots.pem"), (), windows)
                    self.assertEqual([expected] * 2, [(row["windows"], row["osattr"]) for row in rows])
                    self.assertEqual({algorithm}, {row["hashes"] for row in rows})
                    self.assertEqual(signer == "ca", any("not Microsoft" in n.problem for n in notes))
                else:
                    with self.assertRaises(PackageError) as refusal:
                        checks.check_packages(self.folder, ("x86",), os.path.join(KEYS, "roots.pem"), (), windows)
                    self.assertIn(expected, str(refusal.exception))
                    self.assertEqual(("versions", "flashwright.inf", "x86"), (refusal.exception.finding.check,
                                     refusal.exception.finding.file, refusal.exception.finding.platform))
        # osslsigncode reads the newer form on its own, and verifies its signature.
        found = subprocess.run(["osslsigncode", "verify", "-in", os.path.join(self.folder, "brellan.cat"), "-CAfile",
                                os.path.join(KEYS, "roots.pem")], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True).stdout
        self.assertIn("Signature verification: ok", found)
        # A catalog that lists another file and not the INF is refused whatever it covers.
        self.write("flashwright.cat", hand_catalog([hand_member(b"not the INF", "sha1", FULL)]))
        with self.assertRaises(PackageError) as refusal:
            checks.check_packages(self.folder, ("x86",), warn=checks.DOWNGRADABLE)
        self.assertEqual(("membership", "flashwright.inf is not in flashwright.cat"),
                         (refusal.exception.finding.check, refusal.exception.finding.problem))

    def device_package(self, inf_text, files):
        self.write("flashwright.inf", TOOL + b"CatalogFile=flashwright.cat\r\n")
        self.write("brellan.inf", b'[Version]\r\nSignature="$Windows NT$"\r\nCatalogFile=brellan.cat\r\n'
                   + inf_text.replace("\n", "\r\n").encode())
        for relative in files:
            self.write(relative, relative.encode())

    def test_ModelsAndCopiedFilesAreThoseWindowsChoosesOnEachPlatform(self):
        # As a real USB serial package: undecorated models for x86, NTamd64 for x64, and
        # co-installers in [SourceDisksFiles] that only its ARM sections copy.
        real = ("[Manufacturer]\n%Mfg%=FtdiHw,NTamd64,NTarm,NTarm64\n[FtdiHw]\nd=Port,USB\\VID_0403&PID_6001\n"
                "[FtdiHw.NTamd64]\nd=Port,USB\\VID_0403&PID_6001\n[FtdiHw.NTarm64]\nd=PortArm,USB\\VID_0403&PID_6001\n"
                "[FtdiHw.NTarm]\nd=PortArm,USB\\VID_0403&PID_6001\n"
                "[Port.NTx86]\nCopyFiles=Port.Copy.x86\n[Port.NTamd64]\nCopyFiles=Port.Copy.amd64\n"
                "[Port.NTamd64.CoInstallers]\nCopyFiles=@serenum.sys\n[PortArm]\nCopyFiles=Arm.Copy\n"
                "[PortArm.CoInstallers]\nCopyFiles=WdfCoInstaller01011.dll\n"
                "[Port.Copy.x86]\nftser2k.sys\n[Port.Copy.amd64]\nftser2k.sys,ftser2k64.sys\n[Arm.Copy]\nWdfCoinstaller01015.dll\n"
                "[SourceDisksNames]\n1=%Disk%,,,\n[SourceDisksNames.amd64]\n1=%Disk%,,,\\amd64\n"
                "[SourceDisksFiles]\nftser2k.sys=1,i386\nWdfCoinstaller01011.dll=1\nWdfCoinstaller01015.dll=1\nserenum.sys=1\n"
                "[SourceDisksFiles.amd64]\nftser2k64.sys=1\nserenum.sys=1\n[Strings]\nMfg=FTDI\nDisk=d\n")
        self.device_package(real, ["i386\\ftser2k.sys", "amd64\\ftser2k64.sys", "amd64\\serenum.sys"])
        catalogs_made, _ = writer.make_package_catalogs(self.folder, inf_rules.PLATFORMS, inf_rules.DECLARED_WINDOWS, WHEN)
        self.assertEqual(["brellan.cat", "flashwright.cat"], catalogs_made)
        listed, notes = package.package_files(self.folder)
        self.assertEqual(["flashwright.inf", "brellan.inf", "amd64\\ftser2k64.sys", "amd64\\serenum.sys", "brellan.cat",
                          "flashwright.cat", "i386\\ftser2k.sys"], [relative for relative, _ in listed])
        self.assertEqual({("WdfCoinstaller01011.dll", "note"), ("WdfCoinstaller01015.dll", "note")},
                         {(n.problem.split()[0], n.severity) for n in notes if n.check == "files"})
        rows, _ = checks.check_packages(self.folder, inf_rules.PLATFORMS, warn=("signature",))
        self.assertEqual(["brellan.inf (whole file)", "i386\\ftser2k.sys (whole file)"], rows[2]["files"])
        self.assertEqual(["brellan.inf (whole file)", "amd64\\ftser2k64.sys (whole file)",
                          "amd64\\serenum.sys (whole file)"], rows[3]["files"])

        cases = [
            ("amd64 with no decoration for it", "[Manufacturer]\nQ=Models\n[Models]\nd=i,X\n", (), "amd64",
             "brellan.inf, line 5 (amd64): [Manufacturer] names no models section for amd64 (NTamd64)"),
            ("the best version decoration, per Windows release",
             "[Manufacturer]\nQ=M,NTamd64,NTamd64.10.0...22000,NTamd64.6.2,NTamd64.10.0.3\n[M.NTamd64]\nd=Old,X\n"
             "[M.NTamd64.10.0...22000]\nd=Eleven,X\n[M.NTamd64.6.2]\nd=Eight,X\n[M.NTamd64.10.0.3]\nd=Server,X\n"
             "[Old]\nCopyFiles=@old.sys\n[Eleven]\nCopyFiles=@eleven.sys\n[Eight]\nCopyFiles=@eight.sys\n"
             "[Server]\nCopyFiles=@server.sys\n[SourceDisksNames]\n1=d\n"
             "[SourceDisksFiles]\nold.sys=1\neleven.sys=1\neight.sys=1\nserver.sys=1\n",
             ("old.sys", "eleven.sys", "eight.sys"), "amd64", ["eight.sys", "eleven.sys", "old.sys"]),
            ("a copied file no [SourceDisksFiles] lists", "[DefaultInstall]\nCopyFiles=@lost.sys\n", (), "x86",
             ("lost.sys, which [defaultinstall] copies, is in no [SourceDisksFiles] section", "warning")),
            ("an Include= of an INF nobody has", "[DefaultInstall]\nInclude=winusb.inf,vendorusb.inf\nNeeds=WINUSB.NT\n", (),
             "x86", ("Include=vendorusb.inf names an INF that is neither in the driver package nor one of Windows' own",
                     "warning")),
            ("CopyINF of an INF beside it", "[DefaultInstall]\nCopyINF=extension.inf\n", ("extension.inf",), "x86",
             ["extension.inf"]),
        ]
        for name, text, files, platform, expected in cases:
            with self.subTest(name):
                self.setUp()
                self.device_package(text, files)
                self.write("brellan.cat", b"")
                self.write("flashwright.cat", b"")
                if isinstance(expected, str):
                    with self.assertRaises(PackageError) as refusal:
                        package.package_files(self.folder, (platform,))
                    self.assertIn(expected, str(refusal.exception))
                    continue
                listed, notes = package.package_files(self.folder, (platform,), inf_rules.declared_windows("7"))
                if isinstance(expected, tuple):
                    self.assertIn(expected, [(n.problem, n.severity) for n in notes])
                else:
                    self.assertEqual(expected, [r for r, _ in listed[2:] if not r.endswith(".cat")])
                    self.assertEqual([], [n for n in notes if n.severity == "warning"])

    def test_KernelDriversOn64BitWindowsNeedMicrosoftsSignature(self):
        kernel = ("[Manufacturer]\n%Mfg%=Models,NTamd64\n[Models]\nd=Inst,USB\\VID_8817&PID_3402\n"
                  "[Models.NTamd64]\nd=Inst,USB\\VID_8817&PID_3402\n[Inst]\nCopyFiles=Drivers\n"
                  "[Inst.Services]\nAddService=brellanusb,0x00000002,Service\n"
                  "[Service]\nServiceType=%SERVICE_KERNEL_DRIVER%\nStartType=3\nErrorControl=1\n"
                  "ServiceBinary=%12%\\brellanusb.sys\n[Drivers]\nbrellanusb.sys\n[DestinationDirs]\nDrivers=12\n"
                  "[SourceDisksNames]\n1=%Disk%\n[SourceDisksFiles]\nbrellanusb.sys=1\n"
                  "[Strings]\nMfg=Q\nDisk=d\nSERVICE_KERNEL_DRIVER=1\n")
        winusb = kernel.replace("CopyFiles=Drivers", "Include=winusb.inf").replace("brellanusb.sys", "WinUSB.sys")
        cases = [
            # (name, INF, signer, warn, platforms, the refusal, or the note's words)
            ("a vendor's signature over a kernel service", kernel, "ca", (), ("x86", "amd64"),
             "brellan.inf, line 18 (amd64): brellanusb.sys is installed as a kernel service, and neither its own"
             " signature nor brellan.cat (signed by ca signer) is Microsoft's: 64-bit Windows 10 (1607) and later with"
             " Secure Boot load a new kernel driver only under Microsoft's signature"),
            ("32-bit Windows loads it", kernel, "ca", (), ("x86",), None),
            ("Microsoft's signature", kernel, "microsoft", (), ("x86", "amd64"), None),
            ("older WHQL's", kernel, "whql-bare", (), ("amd64",), None),
            ("a certificate of 2014, cross-signed", kernel, "crossed", (), ("amd64",), "cross-signed before 29 July 2015"),
            ("a certificate of 2016, cross-signed", kernel, "late", (), ("amd64",),
             "brellanusb.sys is installed as a kernel service, and neither its own signature nor brellan.cat (signed by"
             " Quillmere Drivers 2016) is Microsoft's"),
            ("test signing, said", kernel, "ca", ("kernel",), ("amd64",), "a warning only: BRELLAN_CATALOG_WARN=kernel"),
            ("Windows' own kernel service", winusb, "ca", (), ("amd64",), None),
        ]
        for name, text, signer, warn, platforms, expected in cases:
            with self.subTest(name):
                self.setUp()
                self.device_package(text, ["brellanusb.sys"])
                for inf_name, cat, files in (("flashwright.inf", "flashwright.cat", ()),
                                             ("brellan.inf", "brellan.cat", ("brellanusb.sys",))):
                    members = [newer_member(self.read(f), "sha256", "2:10.0", f) for f in (inf_name,) + files]
                    self.write(cat, hand_catalog(members))
                    sign(KEYS, signer, os.path.join(self.folder, cat))
                if expected is None or "cross-signed before" in expected or "a warning only" in expected:
                    rows, notes = checks.check_packages(self.folder, platforms, warn=("signature",) + warn)
                    self.assertEqual(expected is not None, any(expected in str(n) for n in notes if n.check == "kernel"))
                else:
                    with self.assertRaises(PackageError) as refusal:
                        checks.check_packages(self.folder, platforms, warn=("signature",) + warn)
                    self.assertIn(expected, str(refusal.exception))
                    self.assertEqual([("kernel", "amd64")], [(f.check, f.platform) for f in refusal.exception.findings])
        self.assertIn("Fix: submit the package to Microsoft's hardware dashboard (attestation or hardware lab signing) and"
                      " ship the catalog it returns; for test machines with test signing on, BRELLAN_CATALOG_WARN=kernel"
                      " makes this a warning", str(refusal.exception))

    def read(self, relative):
        with open(os.path.join(self.folder, *relative.split("\\")), "rb") as data:
            return data.read()

    def kernel_package(self, signer, embedded=None, start="3"):
        """The device INF installing brellanusb.sys (a real PE image) as a kernel service, its
        catalogs signed by `signer`, the image itself signed by `embedded` when named."""
        inf = ("[Manufacturer]\n%Mfg%=Models,NTamd64\n[Models.NTamd64]\nd=Inst,USB\\VID_8817&PID_3402\n"
               "[Inst]\nCopyFiles=Drivers\n[Inst.Services]\nAddService=brellanusb,0x00000002,Service\n"
               "[Service]\nServiceType=1\nStartType=" + start + "\nErrorControl=1\nServiceBinary=%12%\\brellanusb.sys\n"
               "[Drivers]\nbrellanusb.sys\n[DestinationDirs]\nDrivers=12\n[SourceDisksNames]\n1=%Disk%\n"
               "[SourceDisksFiles]\nbrellanusb.sys=1\n[Strings]\nMfg=Q\nDisk=d\n")
        self.device_package(inf, [])
        with open(os.path.join(SOURCE, "tests", "data", "amd64", "BrellanCoInst.dll"), "rb") as image:
            self.write("brellanusb.sys", image.read())
        if embedded:
            sign(KEYS, embedded, os.path.join(self.folder, "brellanusb.sys"))
        for inf_name, cat, files in (("flashwright.inf", "flashwright.cat", ()),
                                     ("brellan.inf", "brellan.cat", ("brellanusb.sys",))):
            self.write(cat, hand_catalog([newer_member(self.read(f), "sha256", "2:10.0", f) for f in (inf_name,) + files]))
            if signer:
                sign(KEYS, signer, os.path.join(self.folder, cat))

    def test_KernelCodeIsJudgedByTheSignatureWindowsKernelReads(self):
        from cryptography.hazmat.primitives import serialization
        cases = [
            # (name, the catalogs' signer, the image's own, StartType, declared Windows, the note or refusal)
            ("its own signature cross-signed in 2014, a vendor's catalog", "ca", "crossed", "3", "10",
             ("warning", "brellanusb.sys, a kernel driver, is loaded under its own signature, a vendor's cross-signed"
                         " before 29 July 2015: 64-bit Windows 10 loads it; Windows 11 24H2 and later load such a driver"
                         " only if Microsoft's allow list names it")),
            ("its catalog cross-signed in 2014, no signature of its own", "crossed", None, "3", "11",
             ("warning", "is loaded under its catalog's, a vendor's cross-signed before 29 July 2015")),
            ("its own signature from 2016", "ca", "late", "3", "10",
             "neither its own signature (by Quillmere Drivers 2016) nor brellan.cat (signed by ca signer) is Microsoft's"),
            ("its own signature Microsoft's, a vendor's catalog", "ca", "microsoft", "3", "10", None),
            ("boot-start under Microsoft's catalog alone", "microsoft", None, "0", "10",
             "brellanusb.sys is a boot-start driver (StartType=0) without an embedded signature Windows loads"),
            ("boot-start, its own signature Microsoft's", "microsoft", "microsoft", "0", "10", None),
        ]
        for name, signer, embedded, start, lowest, expected in cases:
            with self.subTest(name):
                self.setUp()
                self.kernel_package(signer, embedded, start)
                check = lambda: checks.check_packages(self.folder, ("amd64",), os.path.join(KEYS, "roots.pem"),
                                                      ("signature",), inf_rules.declared_windows(lowest))
                if isinstance(expected, str):
                    with self.assertRaises(PackageError) as refusal:
                        check()
                    self.assertIn(expected, str(refusal.exception))
                    self.assertEqual(["kernel"], [f.check for f in refusal.exception.findings])
                    continue
                rows, notes = check()
                kernel = [(n.severity, str(n)) for n in notes if n.check == "kernel"]
                if expected is None:
                    self.assertEqual([], kernel)
                    self.assertIn("Microsoft's", rows[-1]["kernel"][0])
                else:
                    self.assertEqual(1, len(kernel), kernel)
                    self.assertEqual(expected[0], kernel[0][0])
                    self.assertIn(expected[1], kernel[0][1])
                    self.assertNotIn("still loads", kernel[0][1])
        # osslsigncode, on its own, finds the image's embedded signature and its cross chain whole.
        found = subprocess.run(["osslsigncode", "verify", "-in", os.path.join(self.folder, "brellanusb.sys"),
                                "-CAfile", os.path.join(KEYS, "microsoft.pem")], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True).stdout
        self.assertIn("Signature verification: ok", found)
        # An older WHQL catalog carries its signer's certificate alone: where the build does not
        # hold the issuing CA, the chain stops there, and Microsoft's signature is not taken on
        # its name; that CA's certificate in the vendor's bundle lets the chain be followed.
        self.setUp()
        self.kernel_package("whql-bare")
        bare = test_trust()
        bare.intermediates = []
        with self.assertRaises(PackageError) as refusal:
            checks.check_packages(self.folder, ("amd64",), warn=("signature",), trust=bare)
        self.assertEqual(["kernel"], [f.check for f in refusal.exception.findings])
        rows, notes = checks.check_packages(self.folder, ("amd64",), warn=("signature", "kernel"), trust=bare)
        self.assertIn("brellan.cat is signed by Microsoft Windows Hardware Compatibility Publisher, whose chain stops at"
                      " Microsoft Windows Hardware Compatibility PCA: the catalog does not carry that CA's certificate",
                      "\n".join(str(n) for n in notes))
        self.assertEqual("verified, its chain stopping at Microsoft Windows Hardware Compatibility PCA", rows[0]["signature"])
        pca = os.path.join(KEYS, "pca.pem")
        with open(pca, "wb") as out:
            out.write(pem_certificates(os.path.join(KEYS, "whql-bare.pem"))[1].public_bytes(serialization.Encoding.PEM))
        bare = test_trust()
        bare.intermediates = []
        rows, _ = checks.check_packages(self.folder, ("amd64",), trust=signatures.with_bundle(bare, pca), warn=("signature",))
        self.assertEqual(["Microsoft"] * 2, [row["signed_by"] for row in rows])

    def test_ASignatureIsJudgedAtTheTimeItWasMade(self):
        later = NOW + datetime.timedelta(days=3)     # the throwaway signers' certificates have expired
        self.kernel_package("ca")
        for warn in ((), ("kernel",)):
            with self.assertRaises(PackageError) as refusal:
                checks.check_packages(self.folder, ("amd64",), os.path.join(KEYS, "roots.pem"), warn, now=later)
            self.assertIn("flashwright.inf (amd64): the signature of flashwright.cat does not verify: its signer certificate"
                          " expired on %s and it has no timestamp that verifies" % (NOW + datetime.timedelta(days=2))
                          .strftime("%Y-%m-%d"), str(refusal.exception))
            self.assertIn("Fix: sign it again, with a timestamp", str(refusal.exception))
        # The same signatures timestamped by a timestamp authority that chains to the bundle.
        tsa = start_tsa(KEYS)
        self.addCleanup(tsa.kill)
        for cat in ("flashwright.cat", "brellan.cat"):
            path = os.path.join(self.folder, cat)
            run("osslsigncode", "sign", "-h", "sha256", "-certs", os.path.join(KEYS, "ca-signer.pem"),
                "-key", os.path.join(KEYS, "ca-signer.key"), "-ts", tsa.url, "-in", path, "-out", path + ".signed")
            os.replace(path + ".signed", path)
        with open(os.path.join(KEYS, "roots-tsa.pem"), "wb") as roots:
            for name in ("roots.pem", "tsa-root.pem"):
                with open(os.path.join(KEYS, name), "rb") as root:
                    roots.write(root.read())
        rows, notes = checks.check_packages(self.folder, ("amd64",), os.path.join(KEYS, "roots-tsa.pem"), ("kernel",),
                                            now=later)
        self.assertRegex(rows[0]["timestamp"], r"^20\d\d-\d\d-\d\d \d\d:\d\d:\d\d UTC$")
        self.assertEqual("verified to a trusted root (ca CA)", rows[0]["signature"])
        self.assertFalse([n for n in notes if "timestamp" in n.problem], notes)
        # osslsigncode agrees that the signature and its timestamp verify.
        found = subprocess.run(["osslsigncode", "verify", "-in", os.path.join(self.folder, "flashwright.cat"), "-CAfile",
                                os.path.join(KEYS, "roots.pem"), "-TSA-CAfile", os.path.join(KEYS, "tsa-root.pem")],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
        self.assertIn("Signature verification: ok", found)
        self.assertNotIn("Timestamp Server Signature verification: failed", found)
        # A timestamp whose authority's root nobody trusts does not keep the signature valid.
        with self.assertRaises(PackageError) as refusal:
            checks.check_packages(self.folder, ("amd64",), os.path.join(KEYS, "roots.pem"), ("kernel",), now=later)
        self.assertIn("expired on", str(refusal.exception))

    def test_ATimestampKeepsASignatureOnlyWhenItsSignerIsATimestampAuthority(self):
        from cryptography import x509 as cx
        from cryptography.hazmat.primitives import hashes as ch, serialization
        from cryptography.hazmat.primitives.asymmetric import rsa
        from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
        later = NOW + datetime.timedelta(days=3)     # the catalogs' signer certificate has expired
        root_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)

        def certificate(name, key, issuer, usages, ends):
            builder = (cx.CertificateBuilder().subject_name(cx.Name([cx.NameAttribute(NameOID.COMMON_NAME, name)]))
                       .issuer_name(cx.Name([cx.NameAttribute(NameOID.COMMON_NAME, "stamping root")]))
                       .public_key(key.public_key()).serial_number(cx.random_serial_number())
                       .not_valid_before(NOW - datetime.timedelta(days=10)).not_valid_after(ends))
            builder = (builder.add_extension(cx.ExtendedKeyUsage(usages), critical=True) if usages else
                       builder.add_extension(cx.BasicConstraints(ca=True, path_length=None), critical=True))
            return builder.sign(issuer, ch.SHA256())

        root = certificate("stamping root", root_key, root_key, None, NOW + datetime.timedelta(days=3650))
        bundle = os.path.join(KEYS, "roots-stamping.pem")
        with open(bundle, "wb") as out, open(os.path.join(KEYS, "roots.pem"), "rb") as roots:
            out.write(roots.read() + root.public_bytes(serialization.Encoding.PEM))
        cases = [
            # (the countersigner's usages, when its certificate ends, whether it keeps the signature)
            ([ExtendedKeyUsageOID.TIME_STAMPING], NOW + datetime.timedelta(days=3650), None),
            ([ExtendedKeyUsageOID.CODE_SIGNING], NOW + datetime.timedelta(days=3650), "is not for time stamping"),
            ([ExtendedKeyUsageOID.TIME_STAMPING], NOW - datetime.timedelta(days=1), "was not valid on"),
        ]
        for usages, ends, why in cases:
            with self.subTest(usages=usages, ends=ends):
                self.kernel_package("ca")
                key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
                stamper = certificate("stamping authority", key, root_key, usages, ends)
                for cat in ("flashwright.cat", "brellan.cat"):
                    countersign(os.path.join(self.folder, cat), key, stamper, NOW.replace(microsecond=0))
                if why is None:
                    rows, notes = checks.check_packages(self.folder, ("amd64",), bundle, ("kernel",), now=later)
                    self.assertEqual(NOW.strftime("%Y-%m-%d %H:%M:%S UTC"), rows[0]["timestamp"])
                    self.assertFalse([n for n in notes if "timestamp" in n.problem], notes)
                    # osslsigncode reads the same countersignature as one that verifies.
                    found = subprocess.run(["osslsigncode", "verify", "-in", os.path.join(self.folder, "brellan.cat"),
                                            "-CAfile", os.path.join(KEYS, "roots.pem"), "-TSA-CAfile", bundle],
                                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
                    self.assertIn("Signature verification: ok", found)
                    self.assertNotIn("Timestamp Server Signature verification: failed", found)
                    continue
                with self.assertRaises(PackageError) as refusal:
                    checks.check_packages(self.folder, ("amd64",), bundle, ("kernel",), now=later)
                self.assertIn("expired on", str(refusal.exception))
                # Before the signer's certificate expires, a timestamp that does not verify is a warning.
                _, notes = checks.check_packages(self.folder, ("amd64",), bundle, ("kernel",))
                self.assertTrue([n for n in notes if "the timestamp of brellan.cat does not verify" in n.problem
                                 and why in n.problem], notes)
                self.setUp()

    def test_MicrosoftIsKnownByTheCarriedKeysNeverByName(self):
        from cryptography.hazmat.primitives import serialization
        microsoft, verification = signatures.carried_roots()
        self.assertEqual(["Microsoft Root Authority", "Microsoft Root Certificate Authority",
                          "Microsoft Root Certificate Authority 2010", "Microsoft Root Certificate Authority 2011"],
                         [signatures._common_name(root.subject) for root in microsoft])
        self.assertEqual(1, len(verification))
        real = REAL_TRUST()
        # Public Microsoft certificates: two cross-certificates of kernel-mode code signing and a
        # hardware-signing CA, each under the key it names.
        public = pem_certificates(os.path.join(SOURCE, "tests", "unit", "certificates", "microsoft-public.pem"))
        self.assertEqual([("unknown", "VeriSign Class 3 Public Primary Certification Authority - G5", True, None),
                          ("unknown", "DigiCert High Assurance EV Root CA", True, None)]
                         + [("microsoft", "Microsoft Root Certificate Authority 2010", False, None)],
                         [signatures.chain_verdict(c, [], real) for c in public])
        roots_2010 = os.path.join(signatures.ROOTS, "microsoft-root-certificate-authority-2010.pem")
        intermediate = os.path.join(KEYS, "component-ca.pem")
        with open(intermediate, "wb") as out:
            out.write(public[2].public_bytes(serialization.Encoding.PEM))
        opinion = subprocess.run(["openssl", "verify", "-no_check_time", "-CAfile", roots_2010, intermediate],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
        self.assertIn(": OK", opinion)
        # A root file that no longer matches its listed thumbprints stops the build.
        copy = os.path.join(self.folder, "roots")
        shutil.copytree(signatures.ROOTS, copy)
        with open(os.path.join(copy, "roots.txt")) as listing:
            text = listing.read()
        with open(os.path.join(copy, "roots.txt"), "w") as listing:
            listing.write(text.replace("3B1EFD3A66EA28B16697394703A72CA340A05BD5", "3B1EFD3A66EA28B16697394703A72CA340A05BD6"))
        with self.assertRaises(PackageError) as refusal:
            signatures.carried_roots(os.path.join(copy, "roots.txt"))
        self.assertIn("microsoft-root-certificate-authority-2010.pem does not have the thumbprints", str(refusal.exception))
        # A chain made here under Microsoft's names, around a kernel service: not Microsoft's.
        signatures.load_trust = REAL_TRUST
        self.addCleanup(setattr, signatures, "load_trust", test_trust)
        self.kernel_package("microsoft")
        with self.assertRaises(PackageError) as refusal:
            checks.check_packages(self.folder, ("amd64",), warn=("signature",))
        self.assertEqual([("kernel", "amd64")], [(f.check, f.platform) for f in refusal.exception.findings])
        rows, notes = checks.check_packages(self.folder, ("amd64",), warn=("signature", "kernel"))
        self.assertEqual("vendor: trust it on each machine", rows[0]["signed_by"])
        self.assertTrue(any("ends at Microsoft Root Certificate Authority 2010, a root this build does not know (its name"
                            " is Microsoft's; its key is not)" in n.problem for n in notes), notes)

    def test_UtfSixteenWithoutByteOrderMarkIsRefusedWithTheFix(self):
        self.write("flashwright.inf", TOOL)
        self.write("brellan.inf", '[Version]\r\nSignature="$Windows NT$"\r\n'.encode("utf-16-le"))
        with self.assertRaises(PackageError) as refusal:
            package.package_files(self.folder)
        self.assertEqual(("brellan.inf", "it is UTF-16 text without a byte-order mark"),
                         (refusal.exception.finding.file, refusal.exception.finding.problem))
        self.assertIn("save brellan.inf as UTF-16 with a byte-order mark", str(refusal.exception))


if __name__ == "__main__":
    unittest.main()
