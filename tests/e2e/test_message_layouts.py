"""The host message of every kind as the host of the build under test receives it: the
size the library writes into HostMessage is the documented size of the payload's layout
in that build (20, 28 or 32 bytes for a 32-bit host; 24, 32, 40 or 48 for a 64-bit one),
and the payload decodes as that layout."""

import pytest

from conftest import PAYLOAD_SIZES, TEST_USER, windows_path

# A field that only a payload of that layout decodes to.
FIELDS = {"result": "result", "transfer": "count", "listing": "listing", "listing_size": "size",
          "link_status": "status"}


def operation(name, run_host, standin, tmp_path, env):
    """Runs the operation of one row of the table below; returns its run."""
    local = tmp_path / "notes.txt"
    if name == "link":
        return run_host("link", "--request-only", env={**env, "USER": TEST_USER}, timeout=60)
    if name == "listing":
        standin.seed_file("/User Notes/a.txt", b"a")
        return run_host("ls", "User%20Notes")
    if name.startswith("download"):
        standin.seed_file("/User Notes/notes.txt", bytes(range(256)) * 100)
        mode = name[-1]
        return run_host("get", "1", "notes.txt", windows_path(local), "--mode", mode)
    if name == "cancelled-download":
        standin.seed_file("/User Notes/notes.txt", bytes(range(256)) * 400)
        return run_host("get", "1", "notes.txt", windows_path(local), "--mode", "1", "--cancel-after", "1")
    if name == "upload":
        local.write_bytes(bytes(range(256)) * 1100)
        return run_host("put", "User Notes/notes.txt", windows_path(local))
    if name == "delete":
        standin.seed_file("/User Notes/notes.txt", b"x")
        return run_host("rm", "1", "notes.txt")
    raise AssertionError(name)


@pytest.mark.win32
@pytest.mark.parametrize("name, expected", [
    pytest.param("link", [(23, "link_status")], id="link-status"),
    pytest.param("listing", [(22, "listing_size"), (21, "listing")], id="listing-size-and-listing"),
    pytest.param("download-0", [(16, "transfer"), (16, "transfer"), (17, "result")], id="download-mode-0"),
    pytest.param("download-2", [(16, "transfer"), (16, "transfer"), (15, "result")], id="download-mode-2"),
    # The cancel notice carries the transfer layout; the finishing notice the result.
    pytest.param("cancelled-download", [(16, "transfer"), (18, "transfer"), (24, "transfer"), (18, "result")],
                 id="cancelled-download-mode-1"),
    pytest.param("upload", [(16, "transfer"), (16, "transfer"), (20, "result")], id="upload"),
    pytest.param("delete", [(19, "result")], id="delete"),
])
def test_every_kind_carries_its_layout_size(run_host, standin, linked, tmp_path, browser_log, name, expected):
    _, env = browser_log
    run = operation(name, run_host, standin, tmp_path, env)
    received = [(m["kind"], m["size"]) for m in run.messages]
    assert received == [(kind, PAYLOAD_SIZES[layout]) for kind, layout in expected], (PAYLOAD_SIZES, run)
    for message, (_, layout) in zip(run.messages, expected):
        # The host decoded it by its own build's layout of that size.
        assert FIELDS[layout] in message["payload"] and "unknown_layout" not in message["payload"], message
