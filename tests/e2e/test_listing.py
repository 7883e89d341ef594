"""Folder listings (getDBMetadataBufferSize, getDropboxMetadata) and the file count of a
listing (GetNumberOfRemoteFiles) through the reference host, against the stand-in."""

import json
import re

import pytest

from conftest import windows_path

METADATA_CALL = re.compile(r"^/1/metadata\?root=sandbox&path=%2F(?P<folder>[^&]*)&oauth_consumer_key=[^&]+"
                           r"&oauth_token=[^&]+&oauth_nonce=[^&]+&oauth_timestamp=\d+"
                           r"&oauth_signature_method=PLAINTEXT&oauth_signature=[^&]+&oauth_version=1\.0"
                           r"&file_limit=25000&list=true&include_deleted=false$")


def listing_text(standin, folder):
    """The listing exactly as the stand-in answers it (one JSON line)."""
    return json.dumps(standin.store.metadata(standin.default_uid, folder))


def host(run_host, *args):
    run = run_host(*args, dll="faults")
    assert run.counters["outstanding_blocks"] == 0, run
    return run


def only(run, kind):
    (message,) = [m for m in run.messages if m["kind"] == kind]
    assert message["tag_ok"] and message["wparam_is_window"]
    return message["payload"]


def seed_notes(standin, names):
    for name in names:
        standin.seed_file("/User Notes/" + name, name.encode())


@pytest.mark.win32
def test_size_then_listing(run_host, standin, linked):
    seed_notes(standin, ["notes 1.txt", "Trip 2014/day one.txt", "b.txt"])
    expected = listing_text(standin, "/User Notes")
    standin.clear_requests()
    run = host(run_host, "ls", "User%20Notes")
    assert run.exit_code == 0, run
    sized = only(run, 22)
    assert (sized["result"], sized["size"], sized["path"]) == (1, len(expected), "User%20Notes")
    assert sized["result_is_host_byte"] and sized["size_is_host_variable"]
    listed = only(run, 21)
    assert (listed["result"], listed["length"], listed["path"]) == (1, len(expected), "User%20Notes")
    assert listed["listing"] == expected
    assert [e["return"] for e in run.results("KillDropBoxThread")] == [1, 1]
    requests = standin.requests()
    assert [(r["verb"], METADATA_CALL.match(r["path"])["folder"]) for r in requests] == [("POST", "User%20Notes")] * 2
    assert requests[0]["path"] != requests[1]["path"], "each request is signed anew"
    assert f"Response result: {expected}" in run.stderr_lines


@pytest.mark.win32
def test_listing_over_64k(run_host, standin, linked):
    seed_notes(standin, [f"{i:04d} a rather long note name to make the listing large.txt" for i in range(250)])
    expected = listing_text(standin, "/User Notes")
    assert len(expected) > 65536
    run = host(run_host, "ls", "User%20Notes")
    assert run.exit_code == 0, run
    assert only(run, 22)["size"] == len(expected)
    assert only(run, 21)["listing"] == expected


@pytest.mark.parametrize("delta", [1, -1])
def test_listing_length_off_by_one(run_host, standin, linked, delta):
    seed_notes(standin, ["a.txt"])
    run = host(run_host, "ls", "User%20Notes", "--length", str(len(listing_text(standin, "/User Notes")) + delta))
    assert run.exit_code == 1, run
    listed = only(run, 21)
    assert (listed["result"], listed["listing"]) == (0, None)


def test_folder_that_does_not_exist(run_host, standin, linked):
    run = host(run_host, "ls", "No%20Such%20Folder")
    assert run.exit_code == 1, run
    sized = only(run, 22)
    assert (sized["result"], sized["size"]) == (0, 0)
    assert run.results("getDropboxMetadata") == []


def test_not_linked(run_host, standin, unlinked):
    run = host(run_host, "size", "User%20Notes")
    assert (only(run, 22)["result"], only(run, 22)["size"]) == (0, 0)
    assert standin.requests() == []


@pytest.mark.parametrize("command", ["size", "ls"])
def test_null_window(run_host, standin, linked, command):
    seed_notes(standin, ["a.txt"])
    expected = len(listing_text(standin, "/User Notes"))
    args = [command, "User%20Notes", "--null-window"] + (["--length", str(expected)] if command == "ls" else [])
    run = host(run_host, *args)
    assert run.exit_code == 0, run
    assert run.messages == []
    export = "getDBMetadataBufferSize" if command == "size" else "getDropboxMetadata"
    assert run.result(export)["result_byte"] == 1


# Names that would mislead a count by text search; the count reads the listing's structure.
TRICKY_NAMES = ['a]b.txt', 'quote"d.txt', 'contents": [x.txt', '"is_dir": false.txt', 'Café.txt',
                '{"error".txt', '}, {"is_dir": false}, {.txt']


@pytest.mark.parametrize("files, folders, expected", [
    pytest.param(["a.txt", "b.txt"], ["Trip"], 2, id="files-and-a-folder"),
    pytest.param([], [], 0, id="empty-contents"),
    pytest.param([], ["Trip", "Trip 2"], 0, id="folders-only"),
    pytest.param(TRICKY_NAMES, ["x]y", '"is_dir": false'], len(TRICKY_NAMES), id="tricky-names", marks=pytest.mark.win32),
])
def test_count_of_a_listing(run_host, standin, linked, files, folders, expected):
    standin.seed_folder("/User Notes")
    seed_notes(standin, files)
    for folder in folders:
        standin.seed_folder("/User Notes/" + folder)
    run = host(run_host, "count", "User%20Notes")
    assert run.exit_code == 0, run
    assert run.result("GetNumberOfRemoteFiles")["return"] == expected


@pytest.mark.parametrize("text, expected", [
    pytest.param('{"contents":[{"is_dir":false},{"is_dir":false},{"is_dir":true}]}', 2, id="no-spaces"),
    pytest.param('{"path": "/a.txt", "is_dir": false, "bytes": 3}', 0, id="no-contents-a-file"),
    pytest.param('{"error": "Path \'/x\' not found"}', 0, id="error-object"),
    pytest.param('{"contents": [{"is_dir": false}', 0, id="cut-short"),
    pytest.param('', 0, id="empty-text"),
])
def test_count_of_texts(run_host, tmp_path, text, expected):
    listing = tmp_path / "listing.json"
    listing.write_text(text)
    run = host(run_host, "count", "--file", windows_path(listing))
    assert run.result("GetNumberOfRemoteFiles")["return"] == expected


CUT = 500


@pytest.mark.parametrize("command, fault", [
    # The size query counts the bytes of a reply cut short: the count is no listing's length.
    pytest.param("size", dict(kind="truncate_body", send=CUT), id="size-cut-short"),
    pytest.param("size", dict(kind="chunked", send=CUT), id="size-chunked-cut"),
    # A listing cut at exactly the length the host asked for still is no listing.
    pytest.param("ls", dict(kind="truncate_body", send=CUT), id="listing-cut-short"),
    pytest.param("ls", dict(kind="no_length", send=CUT), id="listing-closed-early"),
])
def test_listing_cut_short_is_refused(run_host, standin, linked, command, fault):
    seed_notes(standin, [f"{i:03d} a note.txt" for i in range(20)])
    assert len(listing_text(standin, "/User Notes")) > CUT
    standin.inject(path="/1/metadata", **fault)
    args = ["--length", str(CUT)] if command == "ls" else []
    run = host(run_host, command, "User%20Notes", *args)
    assert run.exit_code == 1, run
    if command == "size":
        sized = only(run, 22)
        assert (sized["result"], sized["size"]) == (0, 0)
    else:
        listed = only(run, 21)
        assert (listed["result"], listed["listing"]) == (0, None)
    assert standin.pending_faults() == []
