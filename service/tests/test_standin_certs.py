"""The test PKI: what each certificate says, who signed it, what the server presents, and reuse."""

import os
import shutil
import subprocess
import time

import pytest

from service import make_test_pki


def openssl(*args, stdin=None):
    return subprocess.run(["openssl", *args], capture_output=True, text=True, input=stdin)


def text_of(path):
    return openssl("x509", "-noout", "-text", "-in", path).stdout


def test_trusted_ca_is_a_ca(pki):
    text = text_of(pki.ca_cert)
    assert "X509v3 Basic Constraints: critical\n                CA:TRUE" in text
    assert "Certificate Sign, CRL Sign" in text and "sha256WithRSAEncryption" in text
    assert "Public-Key: (2048 bit)" in text


@pytest.mark.parametrize("chain, dns", [("chain", "localhost"), ("untrusted_chain", "localhost"),
                                        ("wrong_name_chain", "wrong.example")])
def test_leaves_name_and_purpose(pki, chain, dns):
    text = text_of(getattr(pki, chain))  # the first certificate of a chain file is the leaf
    assert "DNS:%s" % dns in text and "TLS Web Server Authentication" in text and "CA:FALSE" in text
    not_before = openssl("x509", "-noout", "-startdate", "-in", getattr(pki, chain)).stdout.strip().split("=", 1)[1]
    assert time.mktime(time.strptime(not_before, "%b %d %H:%M:%S %Y GMT")) < time.mktime(time.gmtime()) - 3600


@pytest.mark.parametrize("chain, ca, ok", [
    ("chain", "ca_cert", True),
    ("wrong_name_chain", "ca_cert", True),
    ("untrusted_chain", "ca_cert", False),
    ("untrusted_chain", "untrusted_ca_cert", True),
])
def test_who_signed_what(pki, chain, ca, ok):
    result = openssl("verify", "-CAfile", getattr(pki, ca), getattr(pki, chain))
    assert (result.returncode == 0) == ok, result.stdout + result.stderr


def test_server_presents_leaf_and_ca(standin):
    out = openssl("s_client", "-connect", "127.0.0.1:%d" % standin.port, "-servername", "localhost",
                  "-showcerts", "-CAfile", standin.ca_file, stdin="").stdout
    assert out.count("-----BEGIN CERTIFICATE-----") == 2
    assert "Verify return code: 0 (ok)" in out


def test_reused_when_present_and_remade_when_broken(tmp_path, pki):
    copy = str(tmp_path / "pki")
    shutil.copytree(pki.dir, copy)
    first = make_test_pki(copy)
    stamp = os.path.getmtime(first.leaf_cert)
    assert make_test_pki(copy).leaf_cert == first.leaf_cert and os.path.getmtime(first.leaf_cert) == stamp
    os.remove(first.leaf_key)
    again = make_test_pki(copy)
    assert os.path.isfile(again.leaf_key)
    assert openssl("verify", "-CAfile", again.ca_cert, again.chain).returncode == 0
    assert open(again.ca_cert).read() != open(pki.ca_cert).read()
