"""Signatures verified as Windows verifies them: a catalog's, and the one a PE image carries in its
certificate table. For each: the content's digest against the signed message digest, the signer's
signature over its signed attributes, each certificate of its chain signed by the next, the signer
certificate usable for code signing, and the time it is judged at (its timestamp's, when that
verifies too and falls inside the signer certificate's validity; else now).

Which keys end a chain: Microsoft's roots, carried in roots/ and known by their thumbprints, never
by their names; the key of Microsoft Code Verification Root, which issued the cross-certificates of
kernel-mode code signing; and the roots this machine trusts with the vendor's own (a root Windows
may trust too). A chain that ends anywhere else ends at a root the build does not know.

python3-cryptography verifies each signature: no single tool here takes a catalog's member table,
a PE image's Authenticode hash and a chain to a key rather than a certificate (osslsigncode and
openssl are the second opinions in the tests)."""
import dataclasses
import datetime
import hashlib
import os

from asn1crypto import algos, cms, core, tsp  # noqa: F401 (tsp: timestamp tokens' content parses)
from cryptography import exceptions, x509
from cryptography.hazmat.primitives import hashes as primitives, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from findings import PackageError

ROOTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "roots")
ROOTS_LIST = os.path.join(ROOTS, "roots.txt")
# The roots this machine trusts: Debian's ca-certificates, which the install script installs.
MACHINE_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
CODE_SIGNING_USAGE = "1.3.6.1.5.5.7.3.3"
HARDWARE_DRIVER_USAGE = "1.3.6.1.4.1.311.10.3.5"
# Usages a signer certificate of a catalog or driver may carry instead of code signing: Windows
# System Component Verification, and any usage.
OTHER_CODE_USAGES = ("1.3.6.1.4.1.311.10.3.6", "2.5.29.37.0")
# Usages a timestamp's signer certificate carries: time stamping (RFC 3161), Microsoft's own
# time stamping usage of older countersignatures, and any usage.
TIME_STAMPING_USAGES = ("1.3.6.1.5.5.7.3.8", "1.3.6.1.4.1.311.10.3.2", "2.5.29.37.0")
TIMESTAMP_TOKEN = "1.3.6.1.4.1.311.3.3.1"     # an RFC 3161 token, as signtool /tr adds it
COUNTER_SIGNATURE = "1.2.840.113549.1.9.6"    # the older Authenticode timestamp, signtool /t
# The longest chain followed from a signer: real ones have three to five certificates.
MAX_CHAIN = 8
# A PE image's certificate table entry holding PKCS #7 signed data (WIN_CERT_TYPE_PKCS_SIGNED_DATA).
PKCS_SIGNED_DATA = 0x0002
WIN_CERTIFICATE_HEADER = 8
HASHES = {"sha1": primitives.SHA1, "sha256": primitives.SHA256, "sha384": primitives.SHA384,
          "sha512": primitives.SHA512, "md5": primitives.MD5}


@dataclasses.dataclass
class Trust:
    """The keys that end a chain: Microsoft's roots (certificates), the Code Verification Root's
    key, and the other roots Windows may trust (the machine's and the vendor's); and certificates
    Windows holds in its intermediate store, which a signature may leave out."""
    microsoft: list
    code_verification: list
    others: list
    ca: str = ""
    intermediates: list = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Signature:
    """What one signature is to Windows. `why` is None when it verified; `anchor` says where its
    chain ends: "microsoft", "trusted", "unknown" or "missing" (see chain_verdict); `cross_signed`
    whether it also runs through a
    cross-certificate of Microsoft Code Verification Root."""
    why: object = None
    subject: str = "(no signer certificate)"
    issuer: str = ""
    digest: str = ""
    anchor: str = "unknown"
    root: str = ""
    cross_signed: bool = False
    usages: tuple = ()
    not_before: object = None
    not_after: object = None
    timestamp: object = None
    timestamp_why: object = None
    judged_at: object = None
    expired: bool = False

    def verified(self):
        return self.why is None

    def microsoft(self):
        return self.verified() and self.anchor == "microsoft"

    def cross_signed_before(self, day):
        return self.verified() and self.cross_signed and self.not_before is not None and self.not_before < day


def _thumbprints(der):
    return hashlib.sha1(der).hexdigest().upper(), hashlib.sha256(der).hexdigest().upper()


def carried_roots(listing=ROOTS_LIST):
    """(Microsoft's root certificates, the Code Verification Root's keys) carried in roots/, each
    checked against the thumbprints its line names; PackageError naming a file that differs."""
    microsoft, verification = [], []
    with open(listing, encoding="utf-8") as lines:
        for line in lines:
            if not line.strip() or line.startswith("#"):
                continue
            name, kind, sha1, sha256 = line.rstrip("\n").split("\t")[:4]
            with open(os.path.join(os.path.dirname(listing), name), "rb") as pem:
                data = pem.read()
            if kind == "microsoft":
                item = x509.load_pem_x509_certificate(data)
                der = item.public_bytes(serialization.Encoding.DER)
            else:
                item = serialization.load_pem_public_key(data)
                der = item.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
            if _thumbprints(der) != (sha1, sha256):
                raise PackageError("%s does not have the thumbprints %s lists for it: restore it from the repository"
                                   % (name, os.path.basename(listing)))
            (microsoft if kind == "microsoft" else verification).append(item)
    return microsoft, verification


def read_bundle(path, what):
    """The certificates of a PEM bundle; PackageError naming `what` when it cannot be read."""
    try:
        with open(path, "rb") as bundle:
            text = bundle.read()
        marker = b"-----BEGIN CERTIFICATE-----"
        return [x509.load_pem_x509_certificate(marker + part) for part in text.split(marker)[1:]]
    except (OSError, ValueError) as error:
        raise PackageError("%s: cannot read %s (%s)" % (what, path, getattr(error, "strerror", None) or error))


def load_trust(ca=None, machine=MACHINE_ROOTS):
    """The Trust the build judges by: the carried Microsoft keys, the machine's roots and `ca`."""
    microsoft, verification = carried_roots()
    others = read_bundle(machine, "this machine's roots") if os.path.isfile(machine) else []
    return with_bundle(Trust(microsoft, verification, others), ca)


def with_bundle(trust, ca):
    """`trust` with the vendor's bundle `ca` added: a root there ends a chain; an issuing CA (one
    Windows holds in its own store, which a catalog may leave out) lets the chain be followed."""
    if ca:
        for certificate in read_bundle(ca, "BRELLAN_CATALOG_CA"):
            (trust.others if certificate.issuer == certificate.subject else trust.intermediates).append(certificate)
        trust.ca = ca
    return trust


# Reading DER.

def _element(data, at):
    """(tag, where its value starts, where it ends) of the DER element at `at`."""
    if at + 2 > len(data):
        raise ValueError("truncated DER")
    tag, size = data[at], data[at + 1]
    start = at + 2
    if size & 0x80:
        count = size & 0x7F
        if count == 0 or count > 4 or start + count > len(data):
            raise ValueError("a DER length Windows does not read")
        size = int.from_bytes(data[start:start + count], "big")
        start += count
    if start + size > len(data):
        raise ValueError("truncated DER")
    return tag, start, start + size


def _content_octets(data):
    """The bytes a PKCS #7 signature's message digest covers: the value of its content, inside
    ContentInfo, SignedData, encapContentInfo and the content's [0]."""
    _, at, _ = _element(data, 0)                 # ContentInfo
    _, _, end = _element(data, at)               # contentType
    _, at, _ = _element(data, end)               # [0]
    _, at, _ = _element(data, at)                # SignedData
    for _ in range(2):                           # version, digestAlgorithms
        _, _, at = _element(data, at)
    _, at, _ = _element(data, at)                # encapContentInfo
    _, _, end = _element(data, at)               # eContentType
    _, at, _ = _element(data, end)               # [0]
    _, start, end = _element(data, at)           # the content
    return data[start:end]


def _utc(moment):
    """python3-cryptography's naive UTC times, made aware."""
    return moment.replace(tzinfo=datetime.timezone.utc)


def _common_name(name):
    values = name.get_attributes_for_oid(x509.NameOID.COMMON_NAME)
    return values[0].value if values else name.rfc4514_string()


def _signed_by(certificate, key):
    """Whether `key` made `certificate`'s signature."""
    try:
        algorithm = certificate.signature_hash_algorithm
    except exceptions.UnsupportedAlgorithm:
        return False
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(certificate.signature, certificate.tbs_certificate_bytes, padding.PKCS1v15(), algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(certificate.signature, certificate.tbs_certificate_bytes, ec.ECDSA(algorithm))
        else:
            return False
    except (exceptions.InvalidSignature, ValueError, TypeError):
        return False
    return True


def _same_key(one, other):
    form = (serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    return one.public_bytes(*form) == other.public_bytes(*form)


def _paths(certificate, pool, trust, seen=()):
    """Each way up from `certificate`: (the kind of key it ends at, that key's name, whether it
    runs through a cross-certificate of Microsoft Code Verification Root, the certificate whose
    signature did not verify or None), following issuers by name and keeping only links whose
    signature verifies."""
    if len(seen) >= MAX_CHAIN:
        return
    for root in trust.microsoft:
        if certificate.issuer == root.subject and _signed_by(certificate, root.public_key()):
            yield "microsoft", _common_name(root.subject), False, None
    for key in trust.code_verification:
        if _signed_by(certificate, key):
            # A cross-certificate: its subject is the vendor's root that Microsoft vouched for.
            yield "cross", _common_name(certificate.subject), True, None
    for root in trust.others:
        if certificate.issuer == root.subject and _signed_by(certificate, root.public_key()):
            yield "trusted", _common_name(root.subject), False, None
    if certificate.issuer == certificate.subject and _signed_by(certificate, certificate.public_key()):
        if any(_same_key(certificate.public_key(), root.public_key()) for root in trust.microsoft):
            yield "microsoft", _common_name(certificate.subject), False, None
        yield "unknown", _common_name(certificate.subject), False, None
        return
    parents = [c for c in pool if c.subject == certificate.issuer and c not in seen and c != certificate]
    followed = False
    for parent in parents:
        if _signed_by(certificate, parent.public_key()):
            followed = True
            for kind, name, crossed, broken in _paths(parent, pool, trust, seen + (certificate,)):
                yield kind, name, crossed or kind == "cross", broken
    if not followed:
        if parents:     # the signature's own certificates do not hold together
            yield "unknown", _common_name(certificate.issuer), False, certificate
        elif any(_common_name(root.subject) == _common_name(certificate.issuer) for root in trust.microsoft + trust.others):
            # A trusted root goes by that name and did not sign it: a root the build does not know.
            yield "unknown", _common_name(certificate.issuer), False, None
        else:           # no certificate of that name at all: the chain stops short
            yield "missing", _common_name(certificate.issuer), False, None


ANCHOR_ORDER = ("microsoft", "trusted", "cross", "unknown", "missing")


def chain_verdict(certificate, pool, trust):
    """(where the chain ends: "microsoft", "trusted", "unknown", or "missing" where it stops at an
    issuer whose certificate neither the signature nor the trust holds; the root's, or that
    issuer's, name; whether some path runs through a cross-certificate; why a certificate of it
    does not verify, or None)."""
    found = list(_paths(certificate, list(pool) + list(trust.intermediates), trust))
    crossed = any(crossed for _, _, crossed, _ in found)
    for kind in ANCHOR_ORDER:
        for found_kind, name, _, broken in found:
            if found_kind == kind and broken is None:
                return ("unknown" if kind == "cross" else kind), name, crossed, None
    kind, name, _, broken = found[0]
    return kind, name, crossed, "%s is not signed by the %s its chain names" % (
        _common_name(broken.subject), _common_name(broken.issuer))


def _verify_signer_info(signer, content, certificates, what):
    """(the signer's certificate, why its signature does not verify or None) for a SignerInfo over
    `content` (the bytes its message digest covers)."""
    sid = signer["sid"]
    chosen = None
    for certificate in certificates:
        if sid.name == "issuer_and_serial_number":
            wanted = sid.chosen
            if (certificate.serial_number == wanted["serial_number"].native
                    and certificate.issuer.public_bytes() == wanted["issuer"].dump()):
                chosen = certificate
        elif sid.name == "subject_key_identifier":
            try:
                identifier = certificate.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value.digest
            except x509.ExtensionNotFound:
                continue
            if identifier == sid.chosen.native:
                chosen = certificate
    if chosen is None:
        return None, "%s does not carry its signer's certificate" % what
    digest_name = signer["digest_algorithm"]["algorithm"].native
    if digest_name not in HASHES:
        return chosen, "%s is made with %s, which Windows does not take" % (what, digest_name)
    algorithm = HASHES[digest_name]()
    attributes = signer["signed_attrs"]
    if isinstance(attributes, core.Void) or not len(attributes):
        signed = content
    else:
        digests = [a["values"][0].native for a in attributes if a["type"].native == "message_digest"]
        computed = hashlib.new(digest_name, content).digest()
        if digests != [computed]:
            return chosen, "%s does not match what it signs: its content was changed after signing" % what
        signed = b"\x31" + attributes.dump()[1:]     # signed as a SET OF, not as its [0] tag
    key = chosen.public_key()
    value = signer["signature"].native
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(value, signed, padding.PKCS1v15(), algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(value, signed, ec.ECDSA(algorithm))
        else:
            return chosen, "%s is made with a key Windows does not take" % what
    except (exceptions.InvalidSignature, ValueError):
        return chosen, "the signature value of %s does not verify with its signer's key: it was changed or forged" % what
    return chosen, None


def _certificates(signed):
    found = []
    for choice in signed["certificates"] if not isinstance(signed["certificates"], core.Void) else []:
        if choice.name == "certificate":
            try:
                found.append(x509.load_der_x509_certificate(choice.chosen.dump()))
            except ValueError:
                continue
    return found


def _usages(certificate):
    """The extended key usages `certificate` names, or None where it names none: any use."""
    try:
        return [u.dotted_string for u in certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value]
    except x509.ExtensionNotFound:
        return None


def _usable_for_code(certificate):
    usages = _usages(certificate)
    if usages is None:
        return True, ()
    usable = CODE_SIGNING_USAGE in usages or HARDWARE_DRIVER_USAGE in usages or any(u in usages for u in OTHER_CODE_USAGES)
    return usable, tuple(usages)


def _timestamp_why(signer, content, pool, trust, when):
    """Why a timestamp's SignerInfo over `content`, giving the time `when`, does not verify, or
    None: its signature; its signer certificate, for time stamping and valid at `when`; then its
    chain, which must end at a key Windows trusts."""
    authority, why = _verify_signer_info(signer, content, pool, "the timestamp")
    if why:
        return why
    usages = _usages(authority)
    if usages is not None and not any(u in usages for u in TIME_STAMPING_USAGES):
        return "its signer certificate, %s, is not for time stamping (its usages: %s)" % (
            _common_name(authority.subject), ", ".join(usages))
    if when is None:
        return "it gives no time"
    if not _utc(authority.not_valid_before) <= when <= _utc(authority.not_valid_after):
        return "its signer certificate, %s, was not valid on %s, the time it gives" % (
            _common_name(authority.subject), when.strftime("%Y-%m-%d"))
    anchor, root, _, broken = chain_verdict(authority, pool, trust)
    if broken or anchor in ("unknown", "missing"):
        return broken or "its chain ends at %s, a root the build does not know" % root
    return None


def _timestamp(signer, certificates, trust):
    """(the time a verifying timestamp gives, why the timestamp does not verify, or (None, None)
    when the signature has none)."""
    value = signer["signature"].native
    for attribute in signer["unsigned_attrs"] if not isinstance(signer["unsigned_attrs"], core.Void) else []:
        kind = attribute["type"].dotted
        if kind == TIMESTAMP_TOKEN:
            token = attribute["values"][0]
            raw = token.dump()
            inner = token["content"]
            tst = inner["encap_content_info"]["content"].parsed
            when = tst["gen_time"].native
            imprint = tst["message_imprint"]
            algorithm = imprint["hash_algorithm"]["algorithm"].native
            if algorithm not in HASHES or hashlib.new(algorithm, value).digest() != imprint["hashed_message"].native:
                return when, "it is for another signature"
            pool = _certificates(inner) + certificates
            return when, _timestamp_why(inner["signer_infos"][0], _content_octets(raw), pool, trust, when)
        if kind == COUNTER_SIGNATURE:
            counter = attribute["values"][0]
            times = [a["values"][0].native for a in counter["signed_attrs"] if a["type"].native == "signing_time"]
            when = times[0] if times else None
            return when, _timestamp_why(counter, value, certificates, trust, when)
    return None, None


def verify(data, trust, now=None, what="the signature", content_digest=None):
    """The Signature of the PKCS #7 signed data `data` (a catalog, or a PE image's certificate
    table entry), judged at its verified timestamp's time or `now`. `content_digest`, for a PE
    image, checks the digest the signed content names against the file's own."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    try:
        info = cms.ContentInfo.load(data)
        signed = info["content"]
        signers = list(signed["signer_infos"])
        if not signers:
            return Signature(why="%s has no signer" % what)
        certificates = _certificates(signed)
        content = _content_octets(data)
        certificate, why = _verify_signer_info(signers[0], content, certificates, what)
        result = Signature(digest=signers[0]["digest_algorithm"]["algorithm"].native, judged_at=now)
        if certificate is None:
            result.why = why
            return result
        result.subject, result.issuer = _common_name(certificate.subject), _common_name(certificate.issuer)
        result.not_before, result.not_after = _utc(certificate.not_valid_before), _utc(certificate.not_valid_after)
        usable, result.usages = _usable_for_code(certificate)
        if why is None and content_digest is not None:
            why = content_digest(content)
        result.timestamp, result.timestamp_why = _timestamp(signers[0], certificates, trust)
        if result.timestamp is not None and result.timestamp_why is None:
            if result.not_before <= result.timestamp <= result.not_after:
                result.judged_at = result.timestamp
            else:
                result.timestamp_why = "it falls outside the signer certificate's validity"
        result.anchor, result.root, result.cross_signed, broken = chain_verdict(certificate, certificates, trust)
        if why is None:
            why = broken
        if why is None and not usable:
            why = "its signer certificate is not for code signing (its usages: %s)" % ", ".join(result.usages)
        if why is None and not result.not_before <= result.judged_at <= result.not_after:
            result.expired = result.judged_at > result.not_after
            why = ("its signer certificate expired on %s and it has no timestamp that verifies"
                   % result.not_after.strftime("%Y-%m-%d") if result.expired else
                   "its signer certificate is not valid until %s" % result.not_before.strftime("%Y-%m-%d"))
        result.why = why
        return result
    except (ValueError, TypeError, KeyError, IndexError, AttributeError) as error:
        return Signature(why="%s cannot be read (%s)" % (what, error))


def embedded_signature(data):
    """The PKCS #7 signed data a PE image carries in its certificate table, or None."""
    import hashes as pe_hashes
    layout = pe_hashes.pe_layout(data)
    if layout is None or layout[2] is None:
        return None
    start, size = layout[2]
    if size < WIN_CERTIFICATE_HEADER:
        return None
    length = int.from_bytes(data[start:start + 4], "little")
    kind = int.from_bytes(data[start + 6:start + 8], "little")
    if kind != PKCS_SIGNED_DATA or length < WIN_CERTIFICATE_HEADER or length > size:
        return None
    return data[start + WIN_CERTIFICATE_HEADER:start + length]


def verify_embedded(data, trust, now=None, what="its embedded signature"):
    """The Signature a PE image carries, or None when it carries none: its signed content names the
    image's Authenticode hash, which must be the image's own."""
    import hashes as pe_hashes
    signed = embedded_signature(data)
    if signed is None:
        return None

    def image_digest(content):
        indirect = _spc_indirect(content)
        algorithm, named = indirect
        if algorithm not in HASHES or pe_hashes.file_hash(data, algorithm)[1] != named:
            return "the image does not match %s: it was changed after signing" % what
        return None

    return verify(signed, trust, now, what, image_digest)


def _spc_indirect(content):
    """(digest algorithm, digest) named by SpcIndirectDataContent's value octets."""
    # SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo }; `content` is
    # the value of that SEQUENCE.
    _, _, end = _element(content, 0)
    _, at, _ = _element(content, end)            # DigestInfo
    tag, start, stop = _element(content, at)     # AlgorithmIdentifier
    _, oid_start, oid_end = _element(content, start)
    algorithm = algos.DigestAlgorithmId.load(content[start:oid_end]).native
    _, digest_start, digest_end = _element(content, stop)
    return algorithm, content[digest_start:digest_end]


def describe(signature):
    """A report's words for a signature: verified or not, its root, its timestamp."""
    if signature is None:
        return "none"
    if not signature.verified():
        return "does not verify"
    if signature.anchor == "missing":
        return "verified, its chain stopping at %s" % signature.root
    where = {"microsoft": "Microsoft's root", "trusted": "a trusted root", "unknown": "an unknown root"}[signature.anchor]
    return "verified to %s (%s)" % (where, signature.root)
