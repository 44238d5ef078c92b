"""Throwaway TLS certificates made with openssl for the tests: a CA, a server certificate for
127.0.0.1 and localhost, a client certificate, a server certificate for another host name, and
a second CA that has signed nothing the servers use.
"""

from __future__ import annotations

import base64
import hashlib
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class TlsCerts:
    dir: Path
    ca: Path
    ca_key: Path
    server_cert: Path
    server_key: Path
    client_cert: Path
    client_key: Path
    wrong_host_cert: Path
    wrong_host_key: Path
    other_ca: Path
    other_ca_key: Path


def _openssl(*args: str, cwd: Path) -> None:
    exe = shutil.which("openssl")
    if exe is None:
        raise RuntimeError("openssl is not installed")
    res = subprocess.run([exe, *args], cwd=cwd, capture_output=True, text=True)
    if res.returncode != 0:
        raise RuntimeError(f"openssl {args[0]} failed: {res.stderr}")


def _make_ca(directory: Path, name: str) -> tuple[Path, Path]:
    cert, key = directory / f"{name}.pem", directory / f"{name}.key"
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-sha256",
             "-subj", f"/CN=kestrix test {name}", "-keyout", str(key), "-out", str(cert),
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    return cert, key


def _make_leaf(directory: Path, name: str, ca: Path, ca_key: Path, common_name: str,
               alt_names: str | None, usage: str) -> tuple[Path, Path]:
    cert, key, csr = directory / f"{name}.pem", directory / f"{name}.key", directory / f"{name}.csr"
    ext = directory / f"{name}.ext"
    lines = ["basicConstraints=CA:FALSE", "keyUsage=digitalSignature,keyEncipherment",
             f"extendedKeyUsage={usage}"]
    if alt_names:
        lines.append(f"subjectAltName={alt_names}")
    ext.write_text("\n".join(lines) + "\n")
    _openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={common_name}",
             "-keyout", str(key), "-out", str(csr), cwd=directory)
    _openssl("x509", "-req", "-in", str(csr), "-CA", str(ca), "-CAkey", str(ca_key),
             "-CAcreateserial", "-days", "2", "-sha256", "-extfile", str(ext), "-out", str(cert),
             cwd=directory)
    csr.unlink()
    ext.unlink()
    # The servers may run as another user than the one that made the keys.
    key.chmod(0o644)
    return cert, key


def make_tls_certs(directory: Path) -> TlsCerts:
    """Writes a fresh set of certificates and keys into `directory`."""
    directory.mkdir(parents=True, exist_ok=True)
    ca, ca_key = _make_ca(directory, "ca")
    other_ca, other_ca_key = _make_ca(directory, "other-ca")
    server_cert, server_key = _make_leaf(directory, "server", ca, ca_key, "localhost",
                                         "DNS:localhost,IP:127.0.0.1", "serverAuth")
    client_cert, client_key = _make_leaf(directory, "client", ca, ca_key, "kestrix-device",
                                         None, "clientAuth")
    wrong_cert, wrong_key = _make_leaf(directory, "wrong-host", ca, ca_key, "elsewhere.invalid",
                                       "DNS:elsewhere.invalid", "serverAuth")
    return TlsCerts(dir=directory, ca=ca, ca_key=ca_key, server_cert=server_cert,
                    server_key=server_key, client_cert=client_cert, client_key=client_key,
                    wrong_host_cert=wrong_cert, wrong_host_key=wrong_key, other_ca=other_ca,
                    other_ca_key=other_ca_key)


def make_server_cert(certs: TlsCerts, name: str, alt_names: str) -> tuple[Path, Path]:
    """A further server certificate signed by the set's CA, for `alt_names` ("IP:192.0.2.2")."""
    return _make_leaf(certs.dir, name, certs.ca, certs.ca_key, name, alt_names, "serverAuth")


def spki_sha256(cert: Path) -> str:
    """The base64 SHA-256 of the certificate's public key (SubjectPublicKeyInfo), the form that
    Chromium's --ignore-certificate-errors-spki-list takes."""
    exe = shutil.which("openssl") or "openssl"
    pem = subprocess.run([exe, "x509", "-in", str(cert), "-pubkey", "-noout"], check=True,
                         capture_output=True).stdout
    der = subprocess.run([exe, "pkey", "-pubin", "-outform", "der"], input=pem, check=True,
                         capture_output=True).stdout
    return base64.b64encode(hashlib.sha256(der).digest()).decode("ascii")


if __name__ == "__main__":
    import sys

    made = make_tls_certs(Path(sys.argv[1]))
    print(made.dir)
