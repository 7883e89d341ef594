"""Fixtures: a test PKI per session, a fresh stand-in per test on an ephemeral port, and a client."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from service import StandIn, make_test_pki  # noqa: E402
from standin_client import TOKEN, TOKEN_SECRET, Client  # noqa: E402


@pytest.fixture(scope="session")
def pki(tmp_path_factory):
    return make_test_pki(str(tmp_path_factory.mktemp("pki")))


@pytest.fixture
def standin(tmp_path, pki):
    s = StandIn(str(tmp_path / "root"), port=0, pki_dir=pki.dir)
    s.start()
    s.seed_access_token(TOKEN, TOKEN_SECRET)
    yield s
    s.stop()


@pytest.fixture
def client(standin):
    c = Client(standin)
    yield c
    c.close()
