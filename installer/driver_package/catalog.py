"""Windows catalogs (.cat), read and written. A catalog lists its members by hash; each member
carries attributes, and the catalog may carry attributes of its own. Real catalogs, Inf2Cat's and
Microsoft's hardware-signing service's alike, put File and OSAttr on each member and none on the
catalog: the writer does the same, the reader takes both.

Members come in two forms. The older (makecat, older Inf2Cat) tags each with its hash as UTF-16 hex
text and gives it member info and indirect data (the hash with its algorithm). The newer
(Microsoft's signing service, current Inf2Cat) tags it with the hash's raw bytes and gives it
member info 2, and a SHA-1 member may carry no indirect data at all, its tag being the hash. The
reader takes both, and skips an attribute it does not use."""
import dataclasses
import hashlib
import os
import re

from asn1crypto import core, x509

import catalog_schema as schema
import hashes
import inf as inf_rules
from findings import PackageError

# The subject interface packages Windows hashes a member with: PE images, and every other file whole.
PE_SUBJECT = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
FLAT_SUBJECT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
MEMBER_CERT_VERSION = 0x200
# An authenticated attribute whose name and value are text: what Inf2Cat writes.
NAME_VALUE_FLAGS = 0x10010001
OBSOLETE_LINK = "<<<Obsolete>>>"
# OSAttr names Windows NT versions as platform 2.
NT_PLATFORM = "2"
# A tag in the older form: the hash as hex text; in the newer, a hash's raw bytes, by their size.
HEX_TAG = re.compile(r"[0-9A-F]{40}|[0-9A-F]{64}")
RAW_TAG_ALGORITHMS = {20: "sha1", 32: "sha256"}
# The longest chain followed from a signer: a catalog's certificates are few.
MAX_CHAIN = 8


@dataclasses.dataclass
class CatalogMember:
    tag: str
    kind: str = None          # "pe" or "flat", from its indirect data
    algorithm: str = None
    digest: bytes = None
    subject: str = None       # the subject interface package's GUID
    attributes: dict = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Signer:
    """A catalog's signer: its certificate's subject and issuer (common names), the digest, the
    timestamp (None without one), the certificate's extended key usages (dotted), when it was
    issued, and the chain of issuers the catalog's certificates lead to from it."""
    subject: str
    issuer: str
    digest: str
    timestamp: object
    usages: tuple = ()
    not_before: object = None
    issuers: tuple = ()


@dataclasses.dataclass
class Catalog:
    name: str
    members: list
    attributes: dict
    signers: list
    data: bytes = b""

    def algorithms(self):
        return sorted({m.algorithm for m in self.members if m.algorithm})

    def member_for(self, content):
        """The member that lists the file whose bytes are `content`, or None."""
        for algorithm in self.algorithms():
            _, digest = hashes.file_hash(content, algorithm)
            for member in self.members:
                if member.algorithm == algorithm and member.digest == digest:
                    return member
        return None

    def os_attr(self, member):
        """(OSAttr, where it was read) for a member: its own, else the catalog's; ("", None)
        when neither carries one."""
        if member is not None and "OSAttr" in member.attributes:
            return member.attributes["OSAttr"], "member"
        if "OSAttr" in self.attributes:
            return self.attributes["OSAttr"], "catalog"
        return "", None


def signer_of(read):
    """The catalog's signer, or None when it is unsigned."""
    return read.signers[0] if read.signers else None


def nt_versions(os_attr):
    """The Windows NT versions an OSAttr names, as (major, minor): "2:6.1,2:10.0" gives
    {(6, 1), (10, 0)}; "2:5.00" is 5.0, and a build after the version is read past. Entries of
    other platforms, or that are no version, count for nothing."""
    covered = set()
    for entry in os_attr.split(","):
        platform, _, version = entry.strip().partition(":")
        numbers = version.strip().split(".")
        if platform.strip() == NT_PLATFORM and len(numbers) >= 2 and all(n.isdigit() for n in numbers):
            covered.add((int(numbers[0]), int(numbers[1])))
    return covered


def covered_windows(os_attr, windows=inf_rules.RELEASE_ORDER):
    """The releases of `windows` ("7", "8", ...) an OSAttr covers. Windows holds Microsoft's
    signature valid from the first version it names up: a release is covered when some version
    named is at or below it ("2:6.0" covers 7 to 11; "2:6.4", early Inf2Cat's Windows 10, covers
    10 and 11; "2:10.0" covers neither 7 nor 8.1)."""
    versions = nt_versions(os_attr)
    return [w for w in windows if any(v <= inf_rules.WINDOWS_RELEASES[w][:2] for v in versions)]


# Reading.

def _items(value):
    """The elements of an OPTIONAL SEQUENCE OF or SET OF: none when it is absent."""
    return [] if isinstance(value, core.Void) else list(value)


def _text(octets):
    return octets.decode("utf-16-le").rstrip("\0")


def _tag(octets):
    """A member's tag as text: the older form's UTF-16 text as it stands (its hex upper-cased), the
    newer form's raw hash bytes as hex."""
    if len(octets) % 2 == 0 and octets.endswith(b"\0\0"):
        try:
            text = _text(octets)
        except UnicodeDecodeError:
            text = None
        if text is not None:
            return text.upper() if HEX_TAG.fullmatch(text.upper()) else text
    return octets.hex().upper()


def _name_values(values):
    parsed = {}
    for value in values:
        pair = schema.NameValue.load(value)
        parsed[pair["tag"].native] = _text(pair["value"].native)
    return parsed


def _member(subject):
    octets = subject["identifier"].native
    member = CatalogMember(_tag(octets))
    for attribute in _items(subject["attributes"]):
        kind = attribute["type"].dotted
        if kind not in (schema.INDIRECT_DATA, schema.MEMBER_INFO, schema.NAME_VALUE):
            continue   # member info 2 and the like: nothing the check uses
        values = [v.dump() for v in attribute["values"]]
        if kind == schema.INDIRECT_DATA:
            indirect = schema.SpcIndirectData.load(values[0])
            member.kind = "pe" if indirect["data"]["type"].dotted == schema.PE_IMAGE_DATA else "flat"
            member.algorithm = indirect["message_digest"]["digest_algorithm"]["algorithm"].native
            member.digest = indirect["message_digest"]["digest"].native
        elif kind == schema.MEMBER_INFO:
            member.subject = schema.MemberInfo.load(values[0])["subject_guid"].native
        elif kind == schema.NAME_VALUE:
            member.attributes.update(_name_values(values))
    if member.digest is None and HEX_TAG.fullmatch(member.tag):
        # No indirect data: the tag is the hash, SHA-1 or SHA-256 by its size.
        member.digest = bytes.fromhex(member.tag)
        member.algorithm = RAW_TAG_ALGORITHMS[len(member.digest)]
    return member


def read_catalog(path, shown=None):
    """The Catalog at `path`; PackageError naming it (as `shown`) when it is no catalog."""
    name = shown or os.path.basename(path)
    try:
        with open(path, "rb") as source:
            data = source.read()
        info = schema.CatalogFile.load(data)
        if info["content_type"].native != "signed_data":
            raise ValueError("not PKCS #7 signed data")
        signed = info["content"]
        encapsulated = signed["encap_content_info"]
        if encapsulated["content_type"].dotted != schema.CTL_CONTENT:
            raise ValueError("its content is %s, not a certificate trust list" % encapsulated["content_type"].dotted)
        ctl = encapsulated["content"]
        members = [_member(subject) for subject in _items(ctl["subjects"])]
        attributes = {}
        for extension in _items(ctl["extensions"]):
            if extension["id"].dotted == schema.NAME_VALUE:
                attributes.update(_name_values([extension["value"].native]))
        signers = [_signer(signed, signer) for signer in signed["signer_infos"]]
    except (ValueError, TypeError, KeyError, IndexError, AttributeError, OSError, UnicodeError) as error:
        raise PackageError("%s is not a catalog Windows can read (%s)" % (name, error))
    return Catalog(name, members, attributes, signers, data)


def _common_name(name):
    return name.native.get("common_name", name.human_friendly)


def _issuers(certificate, certificates):
    """The common names of the issuers from `certificate` up, as far as the catalog's certificates
    lead: the last is the root it chains to (or the issuer of the last certificate it holds)."""
    names, current = [], certificate
    for _ in range(MAX_CHAIN):
        names.append(_common_name(current.issuer))
        if current.self_signed != "no":
            break
        parents = [c for c in certificates if c.subject == current.issuer and c is not current]
        if not parents:
            break
        current = parents[0]
    return tuple(dict.fromkeys(names))


def _signer(signed, signer):
    sid = signer["sid"]
    subject = issuer = "(certificate not in the catalog)"
    usages, not_before, issuers = (), None, ()
    certificates = [c.chosen for c in _items(signed["certificates"]) if c.name == "certificate"]
    for chosen in certificates:
        if (sid.name == "issuer_and_serial_number" and chosen.issuer == sid.chosen["issuer"]
                and chosen.serial_number == sid.chosen["serial_number"].native):
            subject, issuer = _common_name(chosen.subject), _common_name(chosen.issuer)
            usages = tuple(u.dotted for u in chosen.extended_key_usage_value or ())
            not_before, issuers = chosen.not_valid_before, _issuers(chosen, certificates)
    timestamp = None
    for attribute in _items(signer["unsigned_attrs"]):
        if attribute["type"].native == "microsoft_time_stamp_token":
            token = attribute["values"][0]["content"]["encap_content_info"]["content"].parsed
            timestamp = token["gen_time"].native
        elif attribute["type"].native == "counter_signature":
            for counter in attribute["values"]:
                for signed_attribute in counter["signed_attrs"]:
                    if signed_attribute["type"].native == "signing_time":
                        timestamp = signed_attribute["values"][0].native
    return Signer(subject, issuer, signer["digest_algorithm"]["algorithm"].native, timestamp, usages, not_before,
                  issuers)


# Writing.

def _name_value(tag, value):
    return schema.NameValue({"tag": tag, "flags": NAME_VALUE_FLAGS, "value": (value + "\0").encode("utf-16-le")})


def _subject(name, content, algorithm, os_attr):
    kind, digest = hashes.file_hash(content, algorithm)
    link = schema.SpcLink(name="file", value=schema.SpcString(name="unicode", value=OBSOLETE_LINK))
    if kind == "pe":
        data = schema.SpcTypeAndValue({"type": schema.PE_IMAGE_DATA,
                                       "value": schema.SpcPeImageData({"flags": (), "file": link})})
    else:
        data = schema.SpcTypeAndValue({"type": schema.FLAT_FILE_DATA, "value": link})
    indirect = schema.SpcIndirectData({"data": data, "message_digest": {"digest_algorithm": {"algorithm": algorithm},
                                                                          "digest": digest}})
    info = schema.MemberInfo({"subject_guid": PE_SUBJECT if kind == "pe" else FLAT_SUBJECT,
                              "cert_version": MEMBER_CERT_VERSION})
    tag = digest.hex().upper()
    attributes = [{"type": schema.MEMBER_INFO, "values": [info]}, {"type": schema.INDIRECT_DATA, "values": [indirect]},
                  {"type": schema.NAME_VALUE, "values": [_name_value("File", name)]},
                  {"type": schema.NAME_VALUE, "values": [_name_value("OSAttr", os_attr)]}]
    return tag, schema.TrustedSubject({"identifier": (tag + "\0").encode("utf-16-le"), "attributes": attributes})


def os_attr_for(windows):
    """The OSAttr of the Windows releases named ("7", "10", ...): "2:6.1,2:10.0"."""
    unknown = [w for w in windows if w not in inf_rules.WINDOWS_RELEASES]
    if unknown or not windows:
        raise PackageError("unknown Windows versions %s: name some of %s" % (",".join(unknown) or "(none)",
                                                                              ",".join(inf_rules.WINDOWS_RELEASES)))
    versions = sorted({inf_rules.WINDOWS_RELEASES[w][:2] for w in windows})
    return ",".join("%s:%d.%d" % (NT_PLATFORM, major, minor) for major, minor in versions)


def make_catalog(files, windows, when):
    """The DER of an unsigned catalog listing `files` [(name, content)] for the `windows` releases,
    File and OSAttr on each member as Inf2Cat writes them."""
    os_attr = os_attr_for(windows)
    # Windows before 10 reads only SHA-1 members; 10 and later read SHA-256.
    algorithm = "sha1" if any(inf_rules.WINDOWS_RELEASES[w][0] < 10 for w in windows) else "sha256"
    members = {}
    for name, content in files:
        tag, subject = _subject(name, content, algorithm, os_attr)
        members[tag] = subject
    identifier = hashlib.sha256("".join(sorted(members)).encode("ascii")).digest()[:16]
    ctl = schema.CertificateTrustList({
        "subject_usage": [schema.CATALOG_LIST],
        "list_identifier": identifier,
        "this_update": x509.Time(name="utc_time", value=when),
        "subject_algorithm": {"algorithm": schema.CATALOG_MEMBER, "parameters": core.Null()},
        "subjects": [members[tag] for tag in sorted(members)],
    })
    signed = schema.CatalogSignedData({"version": "v1", "digest_algorithms": [],
                                       "encap_content_info": {"content_type": schema.CTL_CONTENT, "content": ctl},
                                       "signer_infos": []})
    return schema.CatalogFile({"content_type": "signed_data", "content": signed}).dump()
