"""Certificates for the TLS tests.

test-root.pem is the one root the test copy of qel (qel_tls_test) embeds in place of the
public roots; test-root.key signs the server certificates the tests make. Both are fixed
and committed, so the build needs no generator; `python3 certs.py` makes a new pair (the
test copy must then be rebuilt).
"""

from __future__ import annotations

import datetime
import ipaddress
from dataclasses import dataclass
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID

HERE = Path(__file__).resolve().parent
ROOT_CERT = HERE / "test-root.pem"
ROOT_KEY = HERE / "test-root.key"

DAY = datetime.timedelta(days=1)


def utc_now() -> datetime.datetime:
    return datetime.datetime.now(datetime.timezone.utc)


def _name(common_name: str) -> x509.Name:
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


@dataclass
class Authority:
    cert: x509.Certificate
    key: ec.EllipticCurvePrivateKey


def make_authority(common_name: str, not_before: datetime.datetime,
                   not_after: datetime.datetime) -> Authority:
    key = ec.generate_private_key(ec.SECP256R1())
    name = _name(common_name)
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(not_before)
        .not_valid_after(not_after)
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(x509.KeyUsage(
            digital_signature=False, content_commitment=False, key_encipherment=False,
            data_encipherment=False, key_agreement=False, key_cert_sign=True, crl_sign=True,
            encipher_only=False, decipher_only=False), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                       critical=False)
        .sign(key, hashes.SHA256())
    )
    return Authority(cert, key)


def load_test_root() -> Authority:
    key = serialization.load_pem_private_key(ROOT_KEY.read_bytes(), password=None)
    return Authority(x509.load_pem_x509_certificate(ROOT_CERT.read_bytes()), key)


def issue(folder: Path, stem: str, issuer: Authority | None, *, key_type: str = "ec",
          dns: tuple[str, ...] = ("localhost",), ips: tuple[str, ...] = ("127.0.0.1",),
          not_before: datetime.datetime | None = None,
          not_after: datetime.datetime | None = None) -> tuple[Path, Path]:
    """A server certificate for the given names, signed by `issuer` (by its own key when
    None: self-signed). Writes STEM.pem and STEM.key into `folder`, returns their paths."""
    if key_type == "rsa":
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    else:
        key = ec.generate_private_key(ec.SECP256R1())
    names = [x509.DNSName(d) for d in dns] + [x509.IPAddress(ipaddress.ip_address(i))
                                              for i in ips]
    subject = _name(dns[0] if dns else ips[0])
    builder = (
        x509.CertificateBuilder()
        .subject_name(subject)
        .issuer_name(issuer.cert.subject if issuer else subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(not_before or utc_now() - DAY)
        .not_valid_after(not_after or utc_now() + 30 * DAY)
        .add_extension(x509.SubjectAlternativeName(names), critical=False)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]),
                       critical=False)
    )
    if issuer is not None:
        builder = builder.add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer.key.public_key()),
            critical=False)
    cert = builder.sign(issuer.key if issuer else key, hashes.SHA256())
    cert_file, key_file = folder / f"{stem}.pem", folder / f"{stem}.key"
    cert_file.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    key_file.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                           serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return cert_file, key_file


def main() -> None:
    utc = datetime.timezone.utc
    root = make_authority("qel test root", datetime.datetime(2020, 1, 1, tzinfo=utc),
                          datetime.datetime(2099, 12, 31, 23, 59, 59, tzinfo=utc))
    ROOT_CERT.write_bytes(root.cert.public_bytes(serialization.Encoding.PEM))
    ROOT_KEY.write_bytes(root.key.private_bytes(serialization.Encoding.PEM,
                                                serialization.PrivateFormat.PKCS8,
                                                serialization.NoEncryption()))


if __name__ == "__main__":
    main()
