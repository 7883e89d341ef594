"""Test PKI for the stand-in: a trusted CA, a second CA nobody trusts, and their leaves, made with openssl."""

import dataclasses
import os
import subprocess
import time

_CONFIG = """\
[ ca ]
default_ca = ca_default
[ ca_default ]
dir = {dir}
database = {dir}/index.txt
new_certs_dir = {dir}/issued
serial = {dir}/serial
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
email_in_dn = no
[ policy_any ]
commonName = supplied
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ ext_ca ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ ext_leaf ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:{dns}
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


@dataclasses.dataclass(frozen=True)
class Pki:
    """Paths of one test PKI. Only `ca_cert` belongs in a client's CA bundle."""
    dir: str
    ca_cert: str            # trusted CA (PEM)
    leaf_cert: str          # DNS:localhost, signed by the trusted CA
    leaf_key: str
    chain: str              # leaf + trusted CA: what the server presents
    untrusted_ca_cert: str  # second CA, never trusted
    untrusted_chain: str    # localhost leaf + second CA
    untrusted_key: str
    wrong_name_chain: str   # DNS:wrong.example leaf + trusted CA
    wrong_name_key: str


def _paths(d):
    j = lambda name: os.path.join(d, name)  # noqa: E731
    return Pki(dir=d, ca_cert=j("ca.pem"), leaf_cert=j("localhost.pem"), leaf_key=j("localhost.key"),
               chain=j("localhost-chain.pem"), untrusted_ca_cert=j("untrusted-ca.pem"),
               untrusted_chain=j("untrusted-chain.pem"), untrusted_key=j("untrusted.key"),
               wrong_name_chain=j("wrong-name-chain.pem"), wrong_name_key=j("wrong-name.key"))


def _run(*args):
    proc = subprocess.run(["openssl", *args], capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], proc.stderr.strip()))


def _stamp(ts):
    return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(ts))


class _Authority:
    """One CA with its own openssl database folder; signs leaves for given DNS names."""

    def __init__(self, work, name, subject):
        self.dir = os.path.join(work, name)
        os.makedirs(os.path.join(self.dir, "issued"), exist_ok=True)
        open(os.path.join(self.dir, "index.txt"), "w").close()
        with open(os.path.join(self.dir, "serial"), "w") as f:
            f.write("%016X\n" % int.from_bytes(os.urandom(7), "big"))
        self.key = os.path.join(self.dir, "ca.key")
        self.cert = os.path.join(self.dir, "ca.pem")
        _run("genrsa", "-out", self.key, "2048")
        csr = os.path.join(self.dir, "ca.csr")
        cfg = self._config("unused")
        _run("req", "-new", "-config", cfg, "-key", self.key, "-subj", subject, "-out", csr)
        self._sign(cfg, csr, self.cert, "ext_ca", 3650, selfsign=True)

    def _config(self, dns):
        path = os.path.join(self.dir, "openssl-%s.cnf" % dns)
        with open(path, "w") as f:
            f.write(_CONFIG.format(dir=self.dir, dns=dns))
        return path

    def _sign(self, cfg, csr, out, ext, days, selfsign=False):
        now = time.time()
        args = ["ca", "-batch", "-notext", "-config", cfg, "-in", csr, "-out", out, "-extensions", ext,
                "-keyfile", self.key, "-startdate", _stamp(now - 86400), "-enddate", _stamp(now + days * 86400)]
        args += ["-selfsign"] if selfsign else ["-cert", self.cert]
        _run(*args)

    def leaf(self, dns, key_out, chain_out):
        """Make a leaf for `dns`; writes its key and a chain file (leaf then this CA)."""
        _run("genrsa", "-out", key_out, "2048")
        csr = os.path.join(self.dir, dns + ".csr")
        cert = os.path.join(self.dir, dns + ".pem")
        cfg = self._config(dns)
        _run("req", "-new", "-config", cfg, "-key", key_out, "-subj", "/CN=" + dns, "-out", csr)
        self._sign(cfg, csr, cert, "ext_leaf", 365)
        with open(chain_out, "w") as out:
            for part in (cert, self.cert):
                with open(part) as f:
                    out.write(f.read())
        return cert


_checked = {}  # directory -> time its PKI was last found valid by this process


def _still_valid(pki):
    for path in (pki.ca_cert, pki.leaf_cert, pki.chain, pki.untrusted_chain, pki.wrong_name_chain,
                 pki.leaf_key, pki.untrusted_key, pki.wrong_name_key, pki.untrusted_ca_cert):
        if not os.path.isfile(path) or os.path.getsize(path) == 0:
            return False
    if time.time() - _checked.get(pki.dir, 0) < 3600:
        return True
    for cert in (pki.ca_cert, pki.leaf_cert, pki.chain, pki.untrusted_chain, pki.wrong_name_chain):
        if subprocess.run(["openssl", "x509", "-noout", "-checkend", "86400", "-in", cert],
                          capture_output=True).returncode != 0:
            return False
    _checked[pki.dir] = time.time()
    return True


def make_test_pki(directory):
    """Create (or reuse, when present and valid for another day) the test PKI in `directory`.

    Returns a Pki of file paths. Private keys stay in `directory`; keep it out of the repository.
    """
    directory = os.path.abspath(directory)
    os.makedirs(directory, exist_ok=True)
    pki = _paths(directory)
    if _still_valid(pki):
        return pki
    _checked.pop(directory, None)
    work = os.path.join(directory, "work")
    trusted = _Authority(work, "trusted", "/CN=Velmora Test CA")
    other = _Authority(work, "untrusted", "/CN=Untrusted Test CA")
    leaf = trusted.leaf("localhost", pki.leaf_key, pki.chain)
    with open(leaf) as src, open(pki.leaf_cert, "w") as dst:
        dst.write(src.read())
    other.leaf("localhost", pki.untrusted_key, pki.untrusted_chain)
    trusted.leaf("wrong.example", pki.wrong_name_key, pki.wrong_name_chain)
    for src_path, dst_path in ((trusted.cert, pki.ca_cert), (other.cert, pki.untrusted_ca_cert)):
        with open(src_path) as src, open(dst_path, "w") as dst:
            dst.write(src.read())
    _checked[directory] = time.time()
    return pki
