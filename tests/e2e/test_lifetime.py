"""The library's life around its workers, as hosts other than the reference host end an
operation: unloading the library at the final message of every kind of operation (right after
it, and inside its handler while the worker still waits in SendMessageW), and releasing the
worker from the window's thread while another thread started it."""

import json

import pytest

from conftest import windows_path

RUNS = 10
NOTES = "/User Notes/notes.txt"
CONTENT = bytes(range(256)) * 300  # two pieces of a download, one chunk of an upload


@pytest.fixture
def operations(standin, linked, tmp_path, browser_log):
    """Every kind of operation as `unload` and `release-elsewhere` take it, with its environment:
    {kind: (args, result byte of a run that went well)}."""
    standin.seed_file(NOTES, CONTENT)
    folder = "/User Notes"
    size = len(json.dumps(standin.store.metadata(standin.default_uid, folder)))
    local = tmp_path / "up.bin"
    local.write_bytes(CONTENT)
    target = tmp_path / "down.bin"
    _, env = browser_log
    return env, {
        "size": (["size", "User%20Notes"], 1),
        "listing": (["ls", "User%20Notes", str(size)], 1),
        "download": (["get", "1", "notes.txt", windows_path(target)], 1),
        # The same name every run: once it is gone the delete still ends with its final message.
        "delete": (["rm", "1", "gone.txt"], 0),
        "upload": (["put", "User Notes/up.bin", windows_path(local)], 1),
        # The notice carries no result byte: the host's stays as it set it.
        "link": (["link"], 0xFF),
    }


KINDS = ["size", "listing", "download", "delete", "upload", "link"]


@pytest.mark.parametrize("when", ["after", "in-handler"])
@pytest.mark.parametrize("kind", [pytest.param(k, marks=pytest.mark.win32) if k in ("download", "upload") else k
                                  for k in KINDS])
def test_unload_at_the_final_message(run_host, operations, kind, when):
    # Each run loads the library, runs the operation, gives its blocks back, releases the worker
    # and unloads the library (inside the handler: while the worker is still in the library's
    # code). The worker's reference keeps the module mapped until the worker has left it, and
    # the last reference goes with the worker's end: the module is then gone from the process.
    env, table = operations
    args, result = table[kind]
    run = run_host("unload", when, str(RUNS), *args, dll="faults", env=env, timeout=120)
    assert run.exit_code == 0, run
    unloads = run.of("unload")
    assert len(unloads) == RUNS, run
    for n, unload in enumerate(unloads, 1):
        assert unload == {"event": "unload", "return": 0, "result_byte": result, "release": 1,
                          "outstanding_blocks": 0, "worker_ended": True, "unloaded": True}, (n, unload)
    assert all(m["free_failures"] == 0 for m in run.messages), run.messages


@pytest.mark.parametrize("faults", [
    pytest.param("CreateThread=1", id="not-created"),
    pytest.param("ResumeThread=1", id="not-resumed"),
])
def test_unload_after_a_worker_that_never_started(run_host, standin, linked, faults):
    # No thread, or one made but never let run: the reference its start took is given back at
    # once, so the host's unload is the last one. (Each run loads the library afresh, so each
    # run's first thread start fails.)
    run = run_host("unload", "after", "3", "size", "User%20Notes", dll="faults", env={"VELMORA_FAULTS": faults})
    assert run.exit_code == 0, run
    assert run.of("unload") == 3 * [{"event": "unload", "return": 1, "result_byte": 0xFF, "release": -2,
                                      "outstanding_blocks": 0, "worker_ended": True, "unloaded": True}]
    assert run.messages == []


@pytest.mark.parametrize("faults", [
    pytest.param(None, id="as-scheduled"),
    # Every new worker runs to its end before its creator goes on, as the slowest scheduler could
    # make it: a worker not yet in the table would be released with 0, and its slot kept.
    pytest.param("ThreadRunsFirst=1+", id="worker-runs-first"),
])
@pytest.mark.parametrize("kind", ["size", "upload"])
def test_release_from_the_window_thread(run_host, operations, kind, faults):
    env, table = operations
    args, result = table[kind]
    if faults:
        env = {**env, "VELMORA_FAULTS": faults}
    run = run_host("release-elsewhere", str(RUNS), *args, dll="faults", env=env, timeout=120)
    assert run.exit_code == 0, run
    releases = run.of("release")
    assert len(releases) == RUNS, run
    for n, release in enumerate(releases, 1):
        # Released once, at once, by the window's thread; the slot is free afterwards.
        assert release == {"event": "release", "return": 0, "result_byte": result, "release_in_handler": 1,
                           "release_later": 0, "worker_ended": True}, (n, release)
    assert run.counters["outstanding_blocks"] == 0, run
