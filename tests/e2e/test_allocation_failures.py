"""The operations on files when the library runs out of memory: one host process runs each
operation once per N with its N-th allocation failing, until a run meets no failure. Every
run ends soundly (a result, or a final message lost with the record that could not be
allocated), frees every block, and the clean run does the whole job."""

import json

import pytest

from conftest import PAYLOAD_SIZES, windows_path

# Seconds each run may wait for its final message: a lost one ends the run by this timeout.
RUN_TIMEOUT = "3"
# The final messages of these operations as (kind, payload size) in the build under test.
FINALS = {(17, PAYLOAD_SIZES["result"]), (19, PAYLOAD_SIZES["result"]), (20, PAYLOAD_SIZES["result"]),
          (21, PAYLOAD_SIZES["listing"]), (22, PAYLOAD_SIZES["listing_size"])}


def fault_loop(run_host, *args):
    run = run_host("--fault-loop", "alloc", "--timeout", RUN_TIMEOUT, *args, dll="faults", timeout=600)
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
        started = [r for r in each.of("result") if r["export"] != "KillDropBoxThread" and r["return"] == 0]
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
def test_download(run_host, standin, linked, tmp_path):
    content = bytes(range(256)) * 80  # two pieces
    standin.seed_file("/User Notes/notes.txt", content)
    target = tmp_path / "local" / "notes.txt"
    target.parent.mkdir()
    target.write_bytes(b"old")
    runs = fault_loop(run_host, "get", "1", "notes.txt", windows_path(target))
    assert runs[-1].result("getRemoteMergeFile")["result_byte"] == 1
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
    runs = fault_loop(run_host, "put", "User Notes/up.bin", windows_path(local))
    assert runs[-1].result("BVUpdateRemoteWithFeedback")["result_byte"] == 1
    assert standin.read_file("/User Notes/up.bin") == local.read_bytes()
