# A private certificate authority for the HTTPS tests: a CA, and a certificate it issues to 127.0.0.1 and localhost.
import datetime
import ipaddress
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID


@dataclass(frozen=True)
class Authority:
    certificate: Path   # the CA's certificate: what a client trusts
    server_certificate: Path
    server_key: Path


def _name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def _dates(builder):
    now = datetime.datetime.now(datetime.timezone.utc)
    return builder.not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=1))


def make_authority(directory, name="did-vek test CA"):
    """A new CA and a server certificate it signed, as PEM files in `directory`."""
    directory.mkdir(parents=True, exist_ok=True)
    ca_key, server_key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca_identifier = x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key())
    ca = _dates(x509.CertificateBuilder().subject_name(_name(name)).issuer_name(_name(name))
                .public_key(ca_key.public_key()).serial_number(x509.random_serial_number())) \
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True) \
        .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False, key_encipherment=False,
                                     data_encipherment=False, key_agreement=False, key_cert_sign=True, crl_sign=True,
                                     encipher_only=False, decipher_only=False), critical=True) \
        .add_extension(ca_identifier, critical=False) \
        .sign(ca_key, hashes.SHA256())
    server = _dates(x509.CertificateBuilder().subject_name(_name("registry")).issuer_name(ca.subject)
                    .public_key(server_key.public_key()).serial_number(x509.random_serial_number())) \
        .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1")),
                                                    x509.DNSName("localhost")]), critical=False) \
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True) \
        .add_extension(x509.ExtendedKeyUsage([x509.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False) \
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_identifier), critical=False) \
        .sign(ca_key, hashes.SHA256())
    authority = Authority(directory / "ca.pem", directory / "server.pem", directory / "server.key")
    authority.certificate.write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    authority.server_certificate.write_bytes(server.public_bytes(serialization.Encoding.PEM))
    authority.server_key.write_bytes(server_key.private_bytes(serialization.Encoding.PEM,
                                                              serialization.PrivateFormat.PKCS8,
                                                              serialization.NoEncryption()))
    authority.server_key.chmod(0o600)
    return authority
