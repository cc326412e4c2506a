"""A local certificate so the kernel can serve its task pane over https.

Excel loads add-in pages only over https, and a page served over https may
open only wss:// in Safari's WKWebView (Excel on the Mac), so the kernel
needs a certificate that the user's machine trusts. It makes its own:

* a small certificate authority, kept for years, that the user trusts once
  (docs/sideloading.md: Keychain Access on the Mac, certutil on Windows).
  Its name constraints allow it to vouch only for localhost, 127.0.0.1 and
  ::1, so even a stolen key of it cannot impersonate any other site;
* a server certificate for those names, signed by it, reissued when close
  to expiry without touching the authority (Apple's clients refuse server
  certificates valid for more than 825 days, so it lives 397).

The files live in one directory (default ~/.velmara/tls); the keys are
readable by their owner only.
"""

from __future__ import annotations

import datetime as dt
import ipaddress
import os
import ssl
from pathlib import Path

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

CA_FILE = "velmara-local-ca.pem"
CA_KEY_FILE = "velmara-local-ca-key.pem"
SERVER_FILE = "server.pem"
SERVER_KEY_FILE = "server-key.pem"

CA_DAYS = 3650
SERVER_DAYS = 397
RENEW_BEFORE = dt.timedelta(days=30)

_DNS_NAMES = ("localhost",)
_IP_ADDRESSES = (ipaddress.ip_address("127.0.0.1"), ipaddress.ip_address("::1"))


def default_directory() -> Path:
    return Path.home() / ".velmara" / "tls"


def _now() -> dt.datetime:
    return dt.datetime.now(dt.UTC)


def _write(path: Path, data: bytes, *, secret: bool) -> None:
    # Created with its final mode, so a key is never readable by others, not even briefly.
    flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC
    fd = os.open(path, flags, 0o600 if secret else 0o644)
    with os.fdopen(fd, "wb") as out:
        out.write(data)


def _key_pem(key: ec.EllipticCurvePrivateKey) -> bytes:
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def _new_authority(directory: Path) -> tuple[x509.Certificate, ec.EllipticCurvePrivateKey]:
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Velmara local kernel CA"),
                      x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Velmara (this computer only)")])
    permitted: list[x509.GeneralName] = [x509.DNSName(n) for n in _DNS_NAMES]
    permitted += [x509.IPAddress(ipaddress.ip_network(f"{ip}/{ip.max_prefixlen}")) for ip in _IP_ADDRESSES]
    now = _now()
    cert = (x509.CertificateBuilder()
            .subject_name(name).issuer_name(name)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - dt.timedelta(minutes=5))
            .not_valid_after(now + dt.timedelta(days=CA_DAYS))
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False,
                                         key_encipherment=False, data_encipherment=False,
                                         key_agreement=False, key_cert_sign=True, crl_sign=True,
                                         encipher_only=False, decipher_only=False), critical=True)
            .add_extension(x509.NameConstraints(permitted_subtrees=permitted, excluded_subtrees=None),
                           critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
            .sign(key, hashes.SHA256()))
    _write(directory / CA_KEY_FILE, _key_pem(key), secret=True)
    _write(directory / CA_FILE, cert.public_bytes(serialization.Encoding.PEM), secret=False)
    return cert, key


def _new_server(directory: Path, ca: x509.Certificate, ca_key: ec.EllipticCurvePrivateKey) -> None:
    key = ec.generate_private_key(ec.SECP256R1())
    now = _now()
    names: list[x509.GeneralName] = [x509.DNSName(n) for n in _DNS_NAMES]
    names += [x509.IPAddress(ip) for ip in _IP_ADDRESSES]
    cert = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")]))
            .issuer_name(ca.subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - dt.timedelta(minutes=5))
            .not_valid_after(now + dt.timedelta(days=SERVER_DAYS))
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.SubjectAlternativeName(names), critical=False)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()),
                           critical=False)
            .sign(ca_key, hashes.SHA256()))
    _write(directory / SERVER_KEY_FILE, _key_pem(key), secret=True)
    _write(directory / SERVER_FILE, cert.public_bytes(serialization.Encoding.PEM)
           + ca.public_bytes(serialization.Encoding.PEM), secret=False)


def _load(directory: Path) -> tuple[x509.Certificate, ec.EllipticCurvePrivateKey] | None:
    try:
        ca = x509.load_pem_x509_certificate((directory / CA_FILE).read_bytes())
        key = serialization.load_pem_private_key((directory / CA_KEY_FILE).read_bytes(), None)
    except (OSError, ValueError):
        return None
    if not isinstance(key, ec.EllipticCurvePrivateKey) or ca.not_valid_after_utc - _now() < RENEW_BEFORE:
        return None
    return ca, key


def _server_fresh(directory: Path) -> bool:
    try:
        cert = x509.load_pem_x509_certificate((directory / SERVER_FILE).read_bytes())
    except (OSError, ValueError):
        return False
    return cert.not_valid_after_utc - _now() > RENEW_BEFORE and (directory / SERVER_KEY_FILE).is_file()


def ensure_certificates(directory: Path | None = None) -> Path:
    """Make (or reuse) the authority and a fresh server certificate; returns the directory."""
    directory = Path(directory) if directory is not None else default_directory()
    directory.mkdir(mode=0o700, parents=True, exist_ok=True)
    loaded = _load(directory)
    renewed = loaded is None
    ca, ca_key = _new_authority(directory) if loaded is None else loaded
    if renewed or not _server_fresh(directory):
        _new_server(directory, ca, ca_key)
    return directory


def server_context(directory: Path | None = None) -> ssl.SSLContext:
    """A TLS server context with the local certificate (made on first use)."""
    directory = ensure_certificates(directory)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(directory / SERVER_FILE, directory / SERVER_KEY_FILE)
    return context
