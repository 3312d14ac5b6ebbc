#!/usr/bin/env python3
"""Reads, checks and makes the catalogs of the product's driver packages, as Windows' copy service
reads them before it stages a package.

    catalogs.py check INF_DIR [--platforms x86,amd64] [--ca CA.pem] [--warn versions,signature]
                [--report OUT.txt]
    catalogs.py make INF_DIR [--platforms x86,amd64] [--windows 7,8,8.1,10,11] [--time ISO]
    catalogs.py show CATALOG

check: for each INF and each platform, every file Windows copies or checks (the INF itself and
each source file) must have its hash in the catalog that platform uses; the catalog must cover
the Windows versions the package declares (its OSAttr) and be signed; with --ca its signature and
timestamp must verify against that bundle. A failure stops with a message naming the INF, the
file, the catalog and what Windows would do. --warn downgrades the version or the signature
checks to warnings, said on every run; membership is never optional.

make: writes each catalog the INFs name, listing every file of the package for the given Windows
versions (SHA-1 members when any of them is older than 10, which reads no other; SHA-256 ones
otherwise), unsigned: a catalog for a package without kernel code, for the release to sign.
"""
import datetime
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

try:
    from asn1crypto import algos, cms, core, tsp, x509  # noqa: F401 (tsp registers the timestamp's content)
except ImportError:
    # Debian's python3-asn1crypto serves Debian's python3; another python3 first on PATH hands over.
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    sys.exit("catalogs: python3-asn1crypto is missing: run scripts/install-deps.sh")

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import driver_package  # noqa: E402
from driver_package import PackageError  # noqa: E402

CTL_CONTENT = "1.3.6.1.4.1.311.10.1"
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
CATALOG_MEMBER = "1.3.6.1.4.1.311.12.1.2"
NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
FLAT_FILE_DATA = "1.3.6.1.4.1.311.2.1.25"
# The subject interface packages Windows hashes a member with: PE images, and every other file whole.
PE_SUBJECT = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
FLAT_SUBJECT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
MEMBER_CERT_VERSION = 0x200
# Authenticated attribute, name and value in ASCII: what Inf2Cat writes.
NAME_VALUE_FLAGS = 0x10010001
OBSOLETE_LINK = "<<<Obsolete>>>"
# The Windows versions the package declares (its manifests: Windows 7 to 11), as OSAttr names
# them: platform 2 (NT), then the version; Windows 11 shares 10.0 with Windows 10.
WINDOWS_VERSIONS = {"7": "6.1", "8": "6.2", "8.1": "6.3", "10": "10.0", "11": "10.0"}
DECLARED_WINDOWS = ("7", "8", "8.1", "10", "11")
# The checks a vendor may make warnings of (membership is never one of them).
DOWNGRADABLE = ("versions", "signature")
CA_VARIABLE = "BRELLAN_CATALOG_CA"
WARN_VARIABLE = "BRELLAN_CATALOG_WARN"


class NameValue(core.Sequence):
    _fields = [("tag", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class MemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}), ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString, {"optional": True}), ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcTypeAndValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectData(core.Sequence):
    _fields = [("data", SpcTypeAndValue), ("message_digest", DigestInfo)]


class AnyValues(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", AnyValues)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [("identifier", core.OctetString), ("attributes", Attributes, {"optional": True})]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class Usages(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class AlgorithmId(core.Sequence):
    _fields = [("algorithm", core.ObjectIdentifier), ("parameters", core.Any, {"optional": True})]


class Extension(core.Sequence):
    _fields = [("id", core.ObjectIdentifier), ("critical", core.Boolean, {"default": False}), ("value", core.OctetString)]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class CertificateTrustList(core.Sequence):
    _fields = [
        ("version", core.Integer, {"default": 0}),
        ("subject_usage", Usages),
        ("list_identifier", core.OctetString, {"optional": True}),
        ("sequence_number", core.Integer, {"optional": True}),
        ("this_update", x509.Time),
        ("next_update", x509.Time, {"optional": True}),
        ("subject_algorithm", AlgorithmId),
        ("subjects", TrustedSubjects, {"optional": True}),
        ("extensions", Extensions, {"explicit": 0, "optional": True}),
    ]


# A catalog is PKCS #7 signed data whose content, a certificate trust list, sits in the [0] of its
# content info itself (not in an OCTET STRING, as CMS would put it).
class CtlContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", CertificateTrustList, {"explicit": 0})]


class CatalogSignedData(core.Sequence):
    _fields = [
        ("version", cms.CMSVersion),
        ("digest_algorithms", cms.DigestAlgorithms),
        ("encap_content_info", CtlContentInfo),
        ("certificates", cms.CertificateSet, {"implicit": 0, "optional": True}),
        ("crls", cms.RevocationInfoChoices, {"implicit": 1, "optional": True}),
        ("signer_infos", cms.SignerInfos),
    ]


class CatalogFile(core.Sequence):
    _fields = [("content_type", cms.ContentType), ("content", CatalogSignedData, {"explicit": 0})]


# Hashing, as Windows' subject interface packages hash a file.

def PeLayout(data):
    """(checksum offset, certificate directory offset, certificate table (start, size)) of a PE
    image, or None for any other file."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    header, = struct.unpack_from("<I", data, 0x3C)
    optional = header + 24
    if optional + 2 > len(data) or data[header:header + 4] != b"PE\0\0":
        return None
    magic, = struct.unpack_from("<H", data, optional)
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -optional - 1)
    if directories < 0 or directories + 5 * 8 > len(data):
        return None
    security = directories + 4 * 8
    start, size = struct.unpack_from("<II", data, security)
    if size and (start < security + 8 or start + size > len(data)):
        return None
    return optional + 64, security, (start, size) if size else None


def FileHash(data, algorithm):
    """("pe" or "flat", digest): a PE image's Authenticode hash (without its checksum, its
    certificate directory entry and the certificate table), any other file's hash whole."""
    layout = PeLayout(data)
    digest = hashlib.new(algorithm)
    if layout is None:
        digest.update(data)
        return "flat", digest.digest()
    checksum, security, table = layout
    end = len(data)
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:security])
    if table and table[0] + table[1] == end:
        end = table[0]
    digest.update(data[security + 8:end])
    return "pe", digest.digest()


# Reading.

def Items(value):
    """The elements of an OPTIONAL SEQUENCE OF or SET OF: none when it is absent."""
    return [] if isinstance(value, core.Void) else list(value)


def Text(octets):
    return octets.decode("utf-16-le").rstrip("\0")


def NameValues(values):
    parsed = {}
    for value in values:
        pair = NameValue.load(value)
        parsed[pair["tag"].native] = Text(pair["value"].native)
    return parsed


def ReadCatalog(path):
    """{members: [{tag, algorithm, digest, kind, File, OSAttr}], attributes: {name: value},
    signers: [{subject, issuer, digest, timestamp}]}; PackageError when it is no catalog."""
    name = os.path.basename(path)
    try:
        with open(path, "rb") as source:
            info = CatalogFile.load(source.read())
        if info["content_type"].native != "signed_data":
            raise ValueError("not PKCS #7 signed data")
        signed = info["content"]
        encapsulated = signed["encap_content_info"]
        if encapsulated["content_type"].dotted != CTL_CONTENT:
            raise ValueError("its content is %s, not a certificate trust list" % encapsulated["content_type"].dotted)
        ctl = encapsulated["content"]
        members = []
        for subject in Items(ctl["subjects"]):
            member = {"tag": Text(subject["identifier"].native), "kind": None, "algorithm": None, "digest": None}
            for attribute in Items(subject["attributes"]):
                kind, values = attribute["type"].dotted, [v.dump() for v in attribute["values"]]
                if kind == INDIRECT_DATA:
                    indirect = SpcIndirectData.load(values[0])
                    member["kind"] = "pe" if indirect["data"]["type"].dotted == PE_IMAGE_DATA else "flat"
                    member["algorithm"] = indirect["message_digest"]["digest_algorithm"]["algorithm"].native
                    member["digest"] = indirect["message_digest"]["digest"].native
                elif kind == NAME_VALUE:
                    member.update(NameValues(values))
            members.append(member)
        attributes = {}
        for extension in Items(ctl["extensions"]):
            if extension["id"].dotted == NAME_VALUE:
                attributes.update(NameValues([extension["value"].native]))
        signers = [Signer(signed, signer) for signer in signed["signer_infos"]]
    except (ValueError, TypeError, KeyError, IndexError, AttributeError, OSError, UnicodeError) as error:
        raise PackageError("%s is not a catalog Windows can read (%s)" % (name, error))
    return {"members": members, "attributes": attributes, "signers": signers}


def Signer(signed, signer):
    sid = signer["sid"]
    subject = issuer = "(certificate not in the catalog)"
    for certificate in Items(signed["certificates"]):
        chosen = certificate.chosen
        if certificate.name == "certificate" and (sid.name == "issuer_and_serial_number" and chosen.issuer == sid.chosen["issuer"]
                and chosen.serial_number == sid.chosen["serial_number"].native):
            subject = chosen.subject.native.get("common_name", chosen.subject.human_friendly)
            issuer = chosen.issuer.native.get("common_name", chosen.issuer.human_friendly)
    timestamp = None
    for attribute in Items(signer["unsigned_attrs"]):
        if attribute["type"].native == "microsoft_time_stamp_token":
            token = attribute["values"][0]["content"]["encap_content_info"]["content"].parsed
            timestamp = token["gen_time"].native
        elif attribute["type"].native == "counter_signature":
            for counter in attribute["values"]:
                for signed_attribute in counter["signed_attrs"]:
                    if signed_attribute["type"].native == "signing_time":
                        timestamp = signed_attribute["values"][0].native
    return {"subject": subject, "issuer": issuer, "digest": signer["digest_algorithm"]["algorithm"].native,
            "timestamp": timestamp}


def CoveredVersions(attributes):
    """The NT versions a catalog's OSAttr names ("2:6.1,2:10.0" gives {"6.1", "10.0"})."""
    covered = set()
    for entry in attributes.get("OSAttr", "").split(","):
        platform, _, version = entry.strip().partition(":")
        if platform == "2" and version:
            covered.add(version)
    return covered


# Which catalog and which files Windows checks for an INF on a platform.

def CatalogName(sections, platform, where_inf):
    """(name, where) of the catalog Windows reads for `platform`: CatalogFile.NT<arch>, else
    CatalogFile.NT, else CatalogFile; None when the INF names none."""
    strings = driver_package.Strings(sections)
    found = {}
    for number, key, fields in sections.get("version", []):
        if key is not None and fields:
            found[key.strip().lower()] = (number, fields[0])
    for key in ("catalogfile.nt" + platform, "catalogfile.nt", "catalogfile"):
        if key in found:
            where = "%s, line %d" % (where_inf, found[key][0])
            return driver_package.Unquote(found[key][1], strings, where), where
    return None


def CheckedFiles(folder, inf_name, sections, platform):
    """([(relative path, source path)] Windows hashes on `platform`: the INF, then each source
    file; [cabinets], whose files Windows alone checks, once it has opened them)."""
    files, cabinets = [(inf_name, os.path.join(folder, inf_name))], []
    for relative, source, what in driver_package.NamedFiles(folder, inf_name, sections, [platform]):
        if what == "source file":
            files.append((relative, source))
        elif what == "cabinet":
            cabinets.append(relative)
    return files, sorted(set(cabinets))


def PlatformCatalogs(folder, platforms):
    """(INF name, its sections, platform, catalog's relative path) for both INFs on each platform;
    PackageError when an INF names no catalog for one."""
    for inf_name in driver_package.InfNames():
        sections = driver_package.ParseInf(driver_package.Resolve(folder, [inf_name], "the driver packages", "the INF"))
        for platform in platforms:
            named = CatalogName(sections, platform, inf_name)
            if named is None:
                raise PackageError("%s names no catalog for %s (CatalogFile): Windows refuses to stage an unsigned"
                                   " package" % (inf_name, platform))
            yield inf_name, sections, platform, "\\".join(driver_package.RelativeParts(named[0], named[1]))


# Checking.

def VerifySignature(path, ca):
    """None when the catalog's signature and timestamp verify against the bundle, else why not."""
    try:
        result = subprocess.run(["osslsigncode", "verify", "-in", path, "-CAfile", ca, "-TSA-CAfile", ca],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    except OSError as error:
        raise PackageError("cannot run osslsigncode to check %s (%s): run scripts/install-deps.sh"
                           % (os.path.basename(path), error.strerror))
    if result.returncode == 0:
        return None
    reasons = [line.strip() for line in result.stdout.splitlines()
               if "error" in line.lower() or "failed" in line.lower() or "verification" in line.lower()]
    return "; ".join(reasons[:3]) or "osslsigncode could not verify it"


def CheckCatalog(folder, inf_name, platform, catalog, checked_files, ca, warn, notes):
    """One report row for the INF on `platform`; stops at the first thing Windows refuses."""
    files, cabinets = checked_files
    for cabinet in cabinets:
        notes.append("note: %s: the files in %s are not checked here: Windows checks them against %s once it"
                     " opens the cabinet" % (inf_name, cabinet, catalog))
    read = ReadCatalog(os.path.join(folder, catalog))
    algorithms = sorted({m["algorithm"] for m in read["members"] if m["algorithm"]})
    listed = {(m["algorithm"], m["digest"]) for m in read["members"]}
    checked = []
    for relative, source in files:
        with open(source, "rb") as data:
            content = data.read()
        hashes = {algorithm: FileHash(content, algorithm) for algorithm in algorithms}
        if not any((algorithm, digest) in listed for algorithm, (_, digest) in hashes.items()):
            raise PackageError("%s: %s is not in %s: Windows refuses to stage this package (the file changed after"
                               " signing, or the catalog was made without it)" % (inf_name, relative, catalog))
        kind = next(iter(hashes.values()))[0]
        checked.append("%s (%s)" % (relative, "PE image" if kind == "pe" else "whole file"))

    def Refuse(check, message):
        if check in warn:
            notes.append("warning: %s (a warning only: %s=%s)" % (message, WARN_VARIABLE, ",".join(sorted(warn))))
        else:
            raise PackageError("%s (%s=%s makes this a warning)" % (message, WARN_VARIABLE, check))

    covered = CoveredVersions(read["attributes"])
    missing = [w for w in DECLARED_WINDOWS if WINDOWS_VERSIONS[w] not in covered]
    if missing:
        Refuse("versions", "%s: %s covers Windows %s (OSAttr), not Windows %s, which the package declares: Windows"
               " there refuses to stage this package" % (inf_name, catalog, read["attributes"].get("OSAttr", "(none)"),
                                                          ", ".join(missing)))
    signer = read["signers"][0] if read["signers"] else None
    if signer is None:
        Refuse("signature", "%s: %s is not signed: Windows refuses to stage this package" % (inf_name, catalog))
    elif ca:
        why = VerifySignature(os.path.join(folder, catalog), ca)
        if why:
            Refuse("signature", "%s: the signature of %s does not verify against %s (%s): %s: Windows refuses to stage"
                   " this package on a machine that trusts only those roots" % (inf_name, catalog, CA_VARIABLE, ca, why))
    if signer is not None and signer["timestamp"] is None:
        notes.append("warning: %s is not timestamped: Windows refuses it once its signer's certificate expires"
                     % catalog)
    if signer is not None and not ca and "signature" not in warn:
        notes.append("note: %s is signed by %s; its chain was not checked (set %s to the roots it must chain to)"
                     % (catalog, signer["subject"], CA_VARIABLE))
    versions = [w for w in DECLARED_WINDOWS if WINDOWS_VERSIONS[w] in covered]
    return {"inf": inf_name, "platform": platform, "catalog": catalog,
            "signer": "%s (%s)" % (signer["subject"], signer["digest"]) if signer else "NOT SIGNED",
            "timestamp": signer["timestamp"].strftime("%Y-%m-%d %H:%M:%S UTC") if signer and signer["timestamp"] else "none",
            "windows": ", ".join(versions) or "none", "hashes": "/".join(algorithms) or "none", "files": checked}


def CheckPackages(folder, platforms, ca=None, warn=()):
    """(report rows, notes) for both INFs on every platform; PackageError at the first refusal."""
    folder = os.path.abspath(folder)
    unknown = set(warn) - set(DOWNGRADABLE)
    if unknown:
        raise PackageError("%s names %s; it may name only %s" % (WARN_VARIABLE, ",".join(sorted(unknown)),
                                                                 " and ".join(DOWNGRADABLE)))
    if ca and not os.path.isfile(ca):
        raise PackageError("%s: cannot read %s" % (CA_VARIABLE, ca))
    rows, notes = [], []
    for inf_name, sections, platform, catalog in PlatformCatalogs(folder, platforms):
        files = CheckedFiles(folder, inf_name, sections, platform)
        rows.append(CheckCatalog(folder, inf_name, platform, catalog, files, ca, set(warn), notes))
    return rows, notes


def Report(rows, notes, folder):
    """The table of what was checked, what it warned of, then each catalog's files."""
    columns = ("inf", "platform", "catalog", "signer", "timestamp", "windows", "hashes")
    table = [("INF", "platform", "catalog", "signer", "timestamp", "Windows covered", "hashes", "files checked")]
    table += [tuple(row[c] for c in columns) + (str(len(row["files"])),) for row in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(table[0]))]
    lines = ["Catalogs of the driver packages in %s:" % folder]
    lines += ["  " + "  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in table]
    lines += list(dict.fromkeys(notes))
    for row in rows:
        lines.append("%s (%s), %s:" % (row["inf"], row["platform"], row["catalog"]))
        lines += ["  " + checked for checked in row["files"]]
    return "\n".join(lines) + "\n"


# Making.

def NameValueAttribute(tag, value):
    encoded = NameValue({"tag": tag, "flags": NAME_VALUE_FLAGS, "value": (value + "\0").encode("utf-16-le")})
    return encoded


def MemberFor(name, content, algorithm, os_attr):
    kind, digest = FileHash(content, algorithm)
    link = SpcLink(name="file", value=SpcString(name="unicode", value=OBSOLETE_LINK))
    if kind == "pe":
        data = SpcTypeAndValue({"type": PE_IMAGE_DATA, "value": SpcPeImageData({"flags": (), "file": link})})
    else:
        data = SpcTypeAndValue({"type": FLAT_FILE_DATA, "value": link})
    indirect = SpcIndirectData({"data": data, "message_digest": {"digest_algorithm": {"algorithm": algorithm},
                                                                   "digest": digest}})
    info = MemberInfo({"subject_guid": PE_SUBJECT if kind == "pe" else FLAT_SUBJECT,
                       "cert_version": MEMBER_CERT_VERSION})
    tag = digest.hex().upper()
    attributes = [{"type": MEMBER_INFO, "values": [info]}, {"type": INDIRECT_DATA, "values": [indirect]},
                  {"type": NAME_VALUE, "values": [NameValueAttribute("File", name)]},
                  {"type": NAME_VALUE, "values": [NameValueAttribute("OSAttr", os_attr)]}]
    return tag, TrustedSubject({"identifier": (tag + "\0").encode("utf-16-le"), "attributes": attributes})


def MakeCatalog(files, windows, when):
    """The DER of an unsigned catalog listing `files` [(name, content)] for `windows` versions."""
    unknown = [w for w in windows if w not in WINDOWS_VERSIONS]
    if unknown or not windows:
        raise PackageError("unknown Windows versions %s: name some of %s" % (",".join(unknown) or "(none)",
                                                                              ",".join(WINDOWS_VERSIONS)))
    os_attr = ",".join(sorted({"2:" + WINDOWS_VERSIONS[w] for w in windows}, key=lambda v: [int(p) for p in v[2:].split(".")]))
    # Windows before 10 reads only SHA-1 members; 10 and later read SHA-256.
    algorithm = "sha1" if any(WINDOWS_VERSIONS[w] != "10.0" for w in windows) else "sha256"
    members = {}
    for name, content in files:
        tag, subject = MemberFor(name, content, algorithm, os_attr)
        members[tag] = subject
    identifier = hashlib.sha256("".join(sorted(members)).encode("ascii")).digest()[:16]
    ctl = CertificateTrustList({
        "subject_usage": [CATALOG_LIST],
        "list_identifier": identifier,
        "this_update": x509.Time(name="utc_time", value=when),
        "subject_algorithm": {"algorithm": CATALOG_MEMBER, "parameters": core.Null()},
        "subjects": [members[tag] for tag in sorted(members)],
        "extensions": [{"id": NAME_VALUE, "value": NameValueAttribute("OSAttr", os_attr).dump()}],
    })
    signed = CatalogSignedData({"version": "v1", "digest_algorithms": [],
                                "encap_content_info": {"content_type": CTL_CONTENT, "content": ctl},
                                "signer_infos": []})
    return CatalogFile({"content_type": "signed_data", "content": signed}).dump()


def MakePackageCatalogs(folder, platforms, windows, when):
    """Writes every catalog the two INFs name, each listing the files of every platform that reads
    it; returns their relative names."""
    folder = os.path.abspath(folder)
    catalogs = {}
    for inf_name, sections, platform, catalog in PlatformCatalogs(folder, platforms):
        listed = catalogs.setdefault(catalog, {})
        for relative, source in CheckedFiles(folder, inf_name, sections, platform)[0]:
            listed[relative.lower()] = (relative.rpartition("\\")[2], source)
    for inf_name in driver_package.InfNames():
        sections = driver_package.ParseInf(os.path.join(folder, inf_name))
        # The undecorated catalog is the one every other reader falls back on: list the INF in it too.
        for number, key, fields in sections.get("version", []):
            if key is not None and key.strip().lower() == "catalogfile":
                name = "\\".join(driver_package.RelativeParts(driver_package.Unquote(fields[0]), inf_name))
                catalogs.setdefault(name, {}).setdefault(inf_name.lower(), (inf_name, os.path.join(folder, inf_name)))
    for catalog, listed in sorted(catalogs.items()):
        contents = []
        for name, source in listed.values():
            with open(source, "rb") as data:
                contents.append((name, data.read()))
        with open(os.path.join(folder, *catalog.split("\\")), "wb") as out:
            out.write(MakeCatalog(contents, windows, when))
    return sorted(catalogs)


def SplitList(text):
    return [part.strip() for part in (text or "").replace(";", ",").split(",") if part.strip()]


def main(argv):
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("action", choices=("check", "make", "show"))
    parser.add_argument("path")
    parser.add_argument("--platforms", default=",".join(driver_package.PLATFORMS))
    parser.add_argument("--ca", default="")
    parser.add_argument("--warn", default="")
    parser.add_argument("--report")
    parser.add_argument("--windows", default=",".join(DECLARED_WINDOWS))
    parser.add_argument("--time", help="the catalog's date, ISO 8601 (default: SOURCE_DATE_EPOCH, else now)")
    args = parser.parse_args(argv)
    try:
        if args.action == "show":
            read = ReadCatalog(args.path)
            for member in read["members"]:
                print("%s\t%s\t%s\t%s" % (member.get("File", "?"), member["kind"], member["algorithm"], member["tag"]))
            print("OSAttr\t%s" % read["attributes"].get("OSAttr", ""))
            for signer in read["signers"]:
                print("signer\t%s\t%s\t%s" % (signer["subject"], signer["digest"], signer["timestamp"]))
            return 0
        platforms = driver_package.ParsePlatforms(args.platforms)
        if args.action == "make":
            if args.time:
                when = datetime.datetime.fromisoformat(args.time.replace("Z", "+00:00"))
            else:
                when = datetime.datetime.fromtimestamp(int(os.environ.get("SOURCE_DATE_EPOCH", "0")) or
                                                       datetime.datetime.now().timestamp(), datetime.timezone.utc)
            for catalog in MakePackageCatalogs(args.path, platforms, SplitList(args.windows), when):
                print("made %s (unsigned)" % catalog)
            return 0
        rows, notes = CheckPackages(args.path, platforms, args.ca or None, SplitList(args.warn))
    except PackageError as error:
        print("driver packages in %s: %s" % (args.path, error), file=sys.stderr)
        return 1
    report = Report(rows, notes, os.path.abspath(args.path))
    if args.report:
        with tempfile.NamedTemporaryFile("w", dir=os.path.dirname(os.path.abspath(args.report)), delete=False) as out:
            out.write(report)
        os.replace(out.name, args.report)
    sys.stdout.write(report)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
