"""The operations when the library runs out of memory: one host process runs each operation
once per N with its N-th allocation failing, until a run meets no failure. Every run ends
soundly (a result, or a final message lost with the record that could not be allocated),
frees every block, leaves the local file as it was unless the run succeeded, and the clean
run does the whole job."""

import json
import os

import pytest

from conftest import PAYLOAD_SIZES, windows_path

# Seconds each run may wait for its final message: a lost one ends the run by this timeout.
RUN_TIMEOUT = "3"
# The exports that start a worker, whose final message the host waits for.
STARTING_EXPORTS = {"getDBMetadataBufferSize", "getDropboxMetadata", "getRemoteMergeFile", "BVDeleteRemote",
                    "BVUpdateRemoteWithFeedback"}
OLD_TIME = 1262347200
# The final messages of these operations as (kind, payload size) in the build under test.
FINALS = {(17, PAYLOAD_SIZES["result"]), (19, PAYLOAD_SIZES["result"]), (20, PAYLOAD_SIZES["result"]),
          (21, PAYLOAD_SIZES["listing"]), (22, PAYLOAD_SIZES["listing_size"])}


def fault_loop(run_host, *args, watch=None):
    watching = ["--watch-file", windows_path(watch)] if watch is not None else []
    run = run_host("--fault-loop", "alloc", "--timeout", RUN_TIMEOUT, *watching, *args, dll="faults", timeout=600)
    assert run.exit_code == 0, run
    runs = run.fault_loop_runs()
    for n, each in enumerate(runs, 1):
        summary = each.summary
        assert summary["outstanding_before"] == summary["outstanding_after"] == 0, (n, summary)
        assert all(m.get("free_failures", 0) == 0 for m in each.messages), (n, each.messages)
        finals = [m for m in each.messages if (m.get("kind"), m.get("size")) in FINALS]
        # One final message per operation at most (ls runs two: the size, then the listing).
        threads = [m["thread_id"] for m in finals]
        assert len(threads) == len(set(threads)), (n, each.messages)
        # A started operation whose final message was lost (with its record, or
        # never allocated) leaves the host waiting out its time; nothing else does.
        started = [r for r in each.of("result") if r["export"] in STARTING_EXPORTS and r["return"] == 0]
        lost = len(started) - len(finals)
        assert lost in (0, 1) and (each.exit_code == 3) == (lost == 1), (n, each)
        assert each.exit_code in (0, 1, 3), (n, each)
    assert runs[-1].exit_code == 0, runs[-1]
    return runs


@pytest.mark.win32
def test_listing(run_host, standin, linked):
    standin.seed_file("/User Notes/a.txt", b"a")
    runs = fault_loop(run_host, "ls", "User%20Notes")
    assert runs[-1].result("getDropboxMetadata")["result_byte"] == 1


@pytest.mark.win32
@pytest.mark.parametrize("existing", [pytest.param(True, id="over-the-local-file"),
                                      pytest.param(False, id="to-a-new-file")])
def test_download(run_host, standin, linked, tmp_path, existing):
    content = bytes(range(256)) * 80  # two pieces
    standin.seed_file("/User Notes/notes.txt", content)
    target = tmp_path / "local" / "notes.txt"
    target.parent.mkdir()
    if existing:
        target.write_bytes(b"old")
        os.utime(target, (OLD_TIME, OLD_TIME))
    runs = fault_loop(run_host, "get", "1", "notes.txt", windows_path(target), watch=target)
    assert runs[-1].result("getRemoteMergeFile")["result_byte"] == 1
    # Each run leaves the target as it found it unless it succeeded, and nothing beside it.
    for n, each in enumerate(runs, 1):
        before, after = each.summary["file_before"], each.summary["file_after"]
        if each.result("getRemoteMergeFile")["result_byte"] == 1:
            assert after["exists"] and after["size"] == len(content), (n, after)
        else:
            assert after == before, (n, before, after)
        assert after["others"] == 0, (n, after)
    # Whatever failed before, the target ends whole, and no temporary file stays.
    assert target.read_bytes() == content
    assert [p.name for p in target.parent.iterdir()] == ["notes.txt"]


@pytest.mark.win32
def test_delete(run_host, standin, linked):
    # Every run is answered as the first delete of the file was, so that each
    # run's outcome depends on its own allocations only.
    deleted = standin.seed_file("/User Notes/a.txt", b"a")
    standin.inject("status", path="/1/fileops%2Fdelete", status=200, count=1000,
                   body=json.dumps(dict({"is_deleted": True}, **deleted)))
    runs = fault_loop(run_host, "rm", "1", "a.txt")
    assert runs[-1].result("BVDeleteRemote")["result_byte"] == 1


@pytest.mark.win32
def test_upload(run_host, standin, linked, tmp_path):
    local = tmp_path / "up.bin"
    local.write_bytes(bytes(range(256)) * 1100)  # two chunks
    runs = fault_loop(run_host, "put", "User Notes/up.bin", windows_path(local), watch=local)
    assert runs[-1].result("BVUpdateRemoteWithFeedback")["result_byte"] == 1
    # The bytes never change; a run that did not commit leaves the time as well.
    for n, each in enumerate(runs, 1):
        before, after = each.summary["file_before"], each.summary["file_after"]
        assert (after["size"], after["fnv1a64"]) == (before["size"], before["fnv1a64"]), (n, before, after)
        if each.result("BVUpdateRemoteWithFeedback")["result_byte"] != 1:
            assert after == before, (n, before, after)
    assert standin.read_file("/User Notes/up.bin") == local.read_bytes()


def test_size_query(run_host, standin, linked):
    standin.seed_file("/User Notes/a.txt", b"a")
    runs = fault_loop(run_host, "size", "User%20Notes")
    for n, each in enumerate(runs, 1):
        result = each.result("getDBMetadataBufferSize")["result_byte"]
        finals = [m for m in each.messages if m.get("kind") == 22 and m.get("size") == PAYLOAD_SIZES["listing_size"]]
        for final in finals:
            assert final["payload"]["result"] == result and (final["payload"]["size"] != 0) == (result == 1), n
    assert runs[-1].result("getDBMetadataBufferSize")["result_byte"] == 1


def test_revision_lookup(run_host, standin, linked):
    stored = standin.seed_file("/User Notes/a.txt", b"a")
    runs = fault_loop(run_host, "revision", "User Notes/a.txt")
    for n, each in enumerate(runs, 1):
        lookup = each.result("VelmoraDebugRevision")
        expected = (200, stored["rev"]) if n == len(runs) else (-1, None)
        assert (lookup["return"], lookup["revision"]) == expected, (n, lookup)


INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


def test_proxy_setting(run_host, registry):
    # A manual proxy: the one setting whose server text the library copies for the host.
    registry.set(INTERNET_SETTINGS, "ProxyEnable", "REG_DWORD", 1)
    registry.set(INTERNET_SETTINGS, "ProxyServer", "REG_SZ", "proxy.example.test:3128")
    runs = fault_loop(run_host, "proxy")
    assert [(r.result("GetProxyInfo")["type"], r.result("GetProxyInfo")["server"]) for r in runs] == [
        (2, None), (2, "proxy.example.test:3128")]


def test_url_splitting(run_host):
    # Two library copies (host, path with query), then the two process-heap buffers the host
    # frees with HeapFree: each of the four can fail, and the call then hands out nothing.
    url = "https://localhost/1/metadata?root=sandbox&path=%2FUser%20Notes"
    runs = fault_loop(run_host, "crack", url)
    assert len(runs) == 5 and runs[-1].summary["calls"]["alloc"] == 4, [r.summary for r in runs]
    for n, each in enumerate(runs, 1):
        result = each.result("CrackHostAndPath")
        split = (result["return"], result["host_written"], result["path_written"])
        assert split == ((0, True, True) if n == len(runs) else (8, False, False)), (n, result)
    assert (result["host"], result["path"]) == ("localhost", "/1/metadata?root=sandbox&path=%2FUser%20Notes")
