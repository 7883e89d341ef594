"""What no transfer lets through, against the stand-in: a redirect that leaves HTTPS (to a plain
listener on the loopback) and a server that stops sending. The download and the chunk upload
each end with the system's error (class 3), and the user's file stays as it was."""

import os

import pytest

from conftest import windows_path
from service import PlainListener

OLD_CONTENT = b"the user's own copy\n"
OLD_TIME = 1262347200
CONTENT = bytes((i * 13) % 251 for i in range(100000))
# The system errors of a refused redirect, and of a request whose server fell silent: Windows
# reports ERROR_INTERNET_TIMEOUT, Wine the connection aborted when the receive timeout ends.
HTTPS_TO_HTTP = 12040
SILENCE = (12002, 12030)
# The test DLL's request timeout for a silent server, instead of the shipped minute; long
# enough that a busy machine never mistakes the service's first answer for silence.
SHORT_TIMEOUT = {"VELMORA_TRANSFER_TIMEOUT_MS": "5000"}


@pytest.fixture
def plain():
    with PlainListener() as listener:
        yield listener


@pytest.fixture
def existing(tmp_path):
    target = tmp_path / "local" / "notes.txt"
    target.parent.mkdir()
    target.write_bytes(OLD_CONTENT)
    os.utime(target, (OLD_TIME, OLD_TIME))
    return target


def assert_untouched(target):
    assert target.read_bytes() == OLD_CONTENT
    assert int(target.stat().st_mtime) == OLD_TIME
    assert sorted(p.name for p in target.parent.iterdir()) == [target.name]


def get(run_host, target, env=None, timeout=60):
    run = run_host("get", "1", "notes.txt", windows_path(target), dll="faults", env=env, timeout=timeout)
    assert run.counters["outstanding_blocks"] == 0, run
    return run


def put(run_host, local, env=None, timeout=60):
    run = run_host("put", "User Notes/up.bin", windows_path(local), dll="faults", env=env, timeout=timeout)
    assert run.counters["outstanding_blocks"] == 0, run
    return run


def failures(run):
    return [(m["payload"]["code"], m["payload"]["code_class"]) for m in run.messages if m["kind"] == 24]


def result_of(run, kind):
    (final,) = [m for m in run.messages if m["kind"] == kind and m["wparam_is_window"]]
    return final["payload"]["result"]


@pytest.mark.parametrize("status", [302, 307])
def test_download_redirected_to_plain_http_fails(run_host, standin, linked, plain, existing, status):
    standin.seed_file("/User Notes/notes.txt", CONTENT)
    standin.inject("redirect", path="/1/files", status=status, location=plain.url("/x"))
    run = get(run_host, existing)
    assert run.exit_code == 1, run
    assert failures(run) == [(HTTPS_TO_HTTP, 3)]
    assert [m for m in run.messages if m["kind"] == 16] == []
    assert result_of(run, 17) == 0
    assert_untouched(existing)
    # Windows sends nothing to the plain origin; Wine follows the redirect, without a body.
    assert all(r["body_length"] == 0 for r in plain.requests()), plain.requests()


@pytest.mark.parametrize("status", [302, 307])
def test_chunk_redirected_to_plain_http_fails(run_host, standin, linked, plain, tmp_path, status):
    local = tmp_path / "up.bin"
    local.write_bytes(CONTENT)
    standin.inject("redirect", verb="PUT", path="/1/chunked_upload", status=status, location=plain.url("/x"))
    run = put(run_host, local)
    assert run.exit_code == 1, run
    assert failures(run) == [(HTTPS_TO_HTTP, 3)]
    assert [m for m in run.messages if m["kind"] == 16] == []
    assert result_of(run, 20) == 0
    # The chunk's bytes never travel in plain text: no request body reaches the listener.
    assert all(r["body_length"] == 0 for r in plain.requests()), plain.requests()
    assert not [r for r in standin.requests() if r["path"].startswith("/1/commit_chunked_upload")]


def test_download_from_a_silent_server_ends(run_host, standin, linked, existing):
    # The reply stops after its first 20,000 bytes and keeps the connection open.
    standin.seed_file("/User Notes/notes.txt", CONTENT)
    standin.inject("stall", path="/1/files", send=20000, seconds=300)
    run = get(run_host, existing, env=SHORT_TIMEOUT, timeout=60)
    assert run.exit_code == 1, run
    ((code, code_class),) = failures(run)
    assert code_class == 3 and code in SILENCE, (code, code_class)
    assert result_of(run, 17) == 0
    assert_untouched(existing)


def test_chunk_to_a_silent_server_ends(run_host, standin, linked, tmp_path):
    # The service takes the chunk and never answers, also when it is sent again in a new session.
    local = tmp_path / "up.bin"
    local.write_bytes(CONTENT)
    standin.inject("delay", verb="PUT", path="/1/chunked_upload", hold=300, count=2)
    run = put(run_host, local, env=SHORT_TIMEOUT, timeout=60)
    assert run.exit_code == 1, run
    ((code, code_class),) = failures(run)
    assert code_class == 3 and code in SILENCE, (code, code_class)
    assert result_of(run, 20) == 0
    # Both sends (the first and the one in a fresh session) met the silence; held, they are not logged yet.
    assert standin.pending_faults() == []
