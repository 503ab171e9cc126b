"""Certificates for the TLS tests, made at test time with the openssl command: a test CA, server
certificates it signs (good, for another name, expired), one from a CA nobody trusts, and a
self-signed one; the trust bundle a user's system would hold (the system's bundle with the test
CA appended) and SHA-256 fingerprints as the program prints them.

    certs = TestCerts(workdir)
    certs.server("good", names=("localhost", "127.0.0.1"))   # -> (cert path, key path)
    certs.bundle()                                           # -> bundle path

stdlib only; needs the openssl command.
"""
import ipaddress
import os
import subprocess

SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def _openssl(*args, cwd=None):
    subprocess.run(["openssl", *args], check=True, cwd=cwd, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def _alt_names(names):
    out = []
    for name in names:
        try:
            ipaddress.ip_address(name)
            out.append("IP:" + name)
        except ValueError:
            out.append("DNS:" + name)
    return ",".join(out)


def _new_key_args(key):
    return ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key]


class TestCerts:
    def __init__(self, workdir):
        self.dir = os.path.abspath(workdir)
        os.makedirs(self.dir, exist_ok=True)
        self.ca = self._ca("ca", "KESTOVA Test CA")
        self.stranger = self._ca("stranger-ca", "Nobody Trusts This CA")

    def _path(self, name):
        return os.path.join(self.dir, name)

    def _ca(self, name, cn):
        cert, key = self._path(name + ".crt"), self._path(name + ".key")
        _openssl("req", "-x509", *_new_key_args(key), "-out", cert, "-days", "30",
                 "-subj", "/CN=" + cn, "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        return cert, key

    def server(self, name, names=("localhost", "127.0.0.1"), days=30, issuer=None):
        """A server certificate and its key signed by the test CA (or issuer, a (cert, key)).
        days=-1 gives one that expired yesterday."""
        issuer = issuer or self.ca
        cert, key, csr, ext = (self._path(name + s) for s in (".crt", ".key", ".csr", ".ext"))
        _openssl("req", "-new", *_new_key_args(key), "-out", csr, "-subj", "/CN=" + names[0])
        with open(ext, "w") as f:
            f.write(f"subjectAltName={_alt_names(names)}\nextendedKeyUsage=serverAuth\n"
                    "basicConstraints=critical,CA:FALSE\n"
                    "keyUsage=critical,digitalSignature,keyEncipherment\n")
        _openssl("x509", "-req", "-in", csr, "-CA", issuer[0], "-CAkey", issuer[1],
                 "-CAcreateserial", "-days", str(days), "-extfile", ext, "-out", cert)
        return cert, key

    def self_signed(self, name, names=("localhost", "127.0.0.1")):
        cert, key = self._path(name + ".crt"), self._path(name + ".key")
        _openssl("req", "-x509", *_new_key_args(key), "-out", cert, "-days", "30",
                 "-subj", "/CN=" + names[0], "-addext", "subjectAltName=" + _alt_names(names))
        return cert, key

    def bundle(self):
        """The system's CA bundle with the test CA appended."""
        path = self._path("bundle.crt")
        with open(path, "wb") as out:
            if os.path.exists(SYSTEM_BUNDLE):
                with open(SYSTEM_BUNDLE, "rb") as f:
                    data = f.read()
                out.write(data if data.endswith(b"\n") else data + b"\n")
            with open(self.ca[0], "rb") as f:
                out.write(f.read())
        return path


def fingerprint(cert):
    """SHA-256 of a certificate as "AB:CD:...", the form the program's trace gives."""
    out = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-fingerprint", "-sha256"],
                         check=True, capture_output=True, text=True).stdout
    return out.strip().split("=", 1)[1]
