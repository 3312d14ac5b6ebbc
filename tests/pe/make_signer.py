"""Writes a PKCS#12 file whose signing certificate, issued by a test CA, has the dates and usage a
check needs: expired, not yet valid, for another use than code signing, expiring soon, or without
its CA in the file (an orphan, whose signatures verify against nothing).
    make_signer.py CA.pem CA.key OUT.p12 PASSWORD {expired,future,server,soon,orphan}"""
import datetime
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

ca_pem, ca_key_pem, out, password, shape = sys.argv[1:6]
with open(ca_pem, "rb") as pem:
    ca = x509.load_pem_x509_certificate(pem.read())
with open(ca_key_pem, "rb") as pem:
    ca_key = serialization.load_pem_private_key(pem.read(), None)
now = datetime.datetime.now(datetime.timezone.utc)
day = datetime.timedelta(days=1)
start, end = {"expired": (now - 900 * day, now - 400 * day), "future": (now + 30 * day, now + 400 * day),
              "soon": (now - day, now + 10 * day)}.get(shape, (now - day, now + 400 * day))
usage = ExtendedKeyUsageOID.SERVER_AUTH if shape == "server" else ExtendedKeyUsageOID.CODE_SIGNING
key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
certificate = (x509.CertificateBuilder()
               .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Brellan %s signer TEST ONLY" % shape)]))
               .issuer_name(ca.subject).public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(start).not_valid_after(end)
               .add_extension(x509.ExtendedKeyUsage([usage]), critical=False)
               .sign(ca_key, hashes.SHA256()))
with open(out, "wb") as p12:
    p12.write(pkcs12.serialize_key_and_certificates(b"signer", key, certificate, [] if shape == "orphan" else [ca],
                                                    serialization.BestAvailableEncryption(password.encode())))
