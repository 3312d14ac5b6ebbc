"""The ASN.1 of a Windows catalog, as asn1crypto classes: PKCS #7 signed data whose content is a
certificate trust list (CTL) of members, each a hash tag with its attributes."""
from asn1crypto import algos, cms, core, tsp, x509  # noqa: F401 (tsp registers the timestamp's content)

CTL_CONTENT = "1.3.6.1.4.1.311.10.1"
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
CATALOG_MEMBER = "1.3.6.1.4.1.311.12.1.2"
NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
FLAT_FILE_DATA = "1.3.6.1.4.1.311.2.1.25"


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


# The CTL sits in the [0] of its content info itself (not in an OCTET STRING, as CMS would put it).
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
