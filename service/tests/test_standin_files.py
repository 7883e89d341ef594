"""Folders, listings, downloads and deletes as the library sends them, checked byte for byte."""

import json
import os
import re

import pytest

from standin_client import enc, oauth_query

TAIL = "file_limit=25000&list=true&include_deleted=false"

RECORDED = (
    '{"hash": "HASH", "revision": 5, "rev": "50b31176a", "thumb_exists": false, "bytes": 0, '
    '"modified": "Wed, 29 Oct 2014 19:29:40 +0000", "path": "/User Notes", "is_dir": true, "icon": "folder", '
    '"root": "app_folder", "contents": [{"revision": 7, "rev": "70b31176a", "thumb_exists": false, "bytes": 14, '
    '"modified": "Wed, 29 Oct 2014 19:30:19 +0000", "client_mtime": "Wed, 29 Oct 2014 19:30:19 +0000", '
    '"path": "/User Notes/notes.txt", "is_dir": false, "icon": "page_white_text", "root": "app_folder", '
    '"mime_type": "text/plain", "size": "14 bytes"}, {"revision": 8, "rev": "80b31176a", "thumb_exists": false, '
    '"bytes": 0, "modified": "Wed, 29 Oct 2014 19:31:02 +0000", "path": "/User Notes/Trip 2014", "is_dir": true, '
    '"icon": "folder", "root": "app_folder", "size": "0 bytes"}], "size": "0 bytes"}')


def listing(client, path, tail=TAIL):
    return client.call("POST", "metadata", "root=sandbox&path=" + enc(path), tail)


@pytest.fixture
def recorded_tree(standin):
    """The tree of the recorded listing, with the same revisions and dates."""
    standin.freeze_clock("Wed, 29 Oct 2014 19:00:00 +0000")
    for path in ("/Highlights", "/User Tools", "/Highlights/a", "/Highlights/b"):
        standin.seed_folder(path)
    standin.freeze_clock("Wed, 29 Oct 2014 19:29:40 +0000")
    standin.seed_folder("/User Notes")
    standin.seed_file("/Highlights/h.txt", b"x")
    standin.freeze_clock("Wed, 29 Oct 2014 19:30:19 +0000")
    standin.seed_file("/User Notes/notes.txt", b"fourteen bytes")
    standin.freeze_clock("Wed, 29 Oct 2014 19:31:02 +0000")
    standin.seed_folder("/User Notes/Trip 2014")
    standin.freeze_clock(None)


def test_listing_matches_recorded_reply(recorded_tree, client):
    status, headers, body = listing(client, "/User Notes")
    assert status == 200 and headers["content-type"] == "text/javascript"
    assert headers["content-length"] == str(len(body))
    digest = re.match(rb'\{"hash": "([0-9a-f]{32})"', body).group(1).decode()
    assert body.decode() == RECORDED.replace("HASH", digest)


def test_root_listing_key_order(recorded_tree, client):
    status, _, body = listing(client, "/")
    assert status == 200
    reply = json.loads(body)
    assert list(reply) == ["hash", "thumb_exists", "bytes", "path", "is_dir", "size", "root", "contents", "icon"]
    assert [c["path"] for c in reply["contents"]] == ["/Highlights", "/User Notes", "/User Tools"]


def test_children_sorted_case_insensitively(standin, client):
    for name in ("b.txt", "A.txt", "_x.txt", "C"):
        standin.seed_file("/Sort/" + name, b"1") if "." in name else standin.seed_folder("/Sort/" + name)
    names = [c["path"].rsplit("/", 1)[1] for c in json.loads(listing(client, "/sort")[2])["contents"]]
    assert names == ["_x.txt", "A.txt", "b.txt", "C"]


def test_hash_unchanged_gives_304(standin, client):
    standin.seed_file("/User Notes/n.txt", b"one")
    digest = json.loads(listing(client, "/User Notes")[2])["hash"]
    status, headers, body = listing(client, "/User Notes", TAIL + "&hash=" + digest)
    assert (status, body, headers["content-length"]) == (304, b"", "0")
    standin.seed_file("/User Notes/n.txt", b"two")
    status, _, body = listing(client, "/User Notes", TAIL + "&hash=" + digest)
    assert status == 200 and json.loads(body)["hash"] != digest


def test_create_folder_then_exists(standin, client):
    status, headers, body = client.call("POST", "fileops/create_folder", "root=sandbox&path=%2FHighlights")
    assert status == 200 and headers["content-type"] == "text/javascript"
    meta = json.loads(body)
    assert list(meta) == ["revision", "rev", "thumb_exists", "bytes", "modified", "path", "is_dir", "icon", "root",
                          "size"]
    assert (meta["path"], meta["is_dir"], meta["root"], meta["rev"]) == ("/Highlights", True, "app_folder",
                                                                         "%x0b31176a" % meta["revision"])
    for path in ("%2FHighlights", "%2FHIGHLIGHTS"):
        status, headers, body = client.call("POST", "fileops/create_folder", "root=sandbox&path=" + path)
        assert status == 403 and headers["content-type"] == "application/json"
        assert json.loads(body)["error"]
    assert os.path.isdir(os.path.join(standin.root, "accounts", "12345678", "Highlights"))


def test_paths_keep_existing_case(standin, client):
    standin.seed_folder("/User Notes")
    standin.seed_file("/user notes/new.txt", b"abc")
    assert [c["path"] for c in standin.list_folder("/USER NOTES")] == ["/User Notes/new.txt"]
    with open(os.path.join(standin.root, "accounts", "12345678", "User Notes", "new.txt"), "rb") as f:
        assert f.read() == b"abc"


def test_download_with_metadata_header(standin, client):
    standin.seed_file("/User Notes/caf\u00e9 notes.txt", b"hello\r\n\x00bytes", client_mtime=1414611019)
    before = "root=sandbox&path=User%20Notes/" + enc("caf\u00e9 notes.txt")
    status, headers, body = client.call("GET", "files", before)
    assert status == 200 and body == b"hello\r\n\x00bytes"
    assert headers["content-type"] == "text/plain" and headers["content-length"] == "13"
    header = headers["x-dropbox-metadata"]
    assert header.isascii() and "caf\\u00e9" in header
    meta = json.loads(header)
    assert list(meta) == ["revision", "rev", "thumb_exists", "bytes", "modified", "client_mtime", "path", "is_dir",
                          "icon", "root", "mime_type", "size"]
    assert meta["client_mtime"] == "Wed, 29 Oct 2014 19:30:19 +0000"
    assert meta["path"] == "/User Notes/caf\u00e9 notes.txt"
    # the same file through the path form of the call
    status, _, body2 = client.request("GET", "/1/files/sandbox/User%20Notes/caf%C3%A9%20notes.txt?" +
                                      oauth_query())
    assert (status, body2) == (200, body)


def test_download_missing_is_404(client):
    status, headers, body = client.call("GET", "files", "root=sandbox&path=User%20Notes/none%2Etxt")
    assert (status, body) == (404, b'{"error": "Path \'/User Notes/none.txt\' not found"}')
    assert headers["content-type"] == "application/json"


def test_delete_then_deleted_metadata(standin, client):
    standin.seed_file("/User Notes/a.txt", b"aaa")
    standin.seed_file("/User Notes/b.txt", b"bbb")
    status, _, body = client.call("POST", "fileops%2Fdelete", "root=sandbox&path=%2FUser%20Notes%2Fa%2Etxt")
    assert status == 200
    meta = json.loads(body)
    assert list(meta)[0] == "is_deleted" and meta["is_deleted"] is True and meta["path"] == "/User Notes/a.txt"
    assert not os.path.exists(os.path.join(standin.root, "accounts", "12345678", "User Notes", "a.txt"))

    status, _, body = listing(client, "/User Notes/a.txt")
    assert status == 200 and json.loads(body)["is_deleted"] is True and json.loads(body)["rev"] == meta["rev"]
    shown = [c["path"] for c in json.loads(listing(client, "/User Notes")[2])["contents"]]
    assert shown == ["/User Notes/b.txt"]
    all_ = json.loads(listing(client, "/User Notes", "include_deleted=true")[2])["contents"]
    assert [(c["path"], c.get("is_deleted", False)) for c in all_] == [("/User Notes/a.txt", True),
                                                                        ("/User Notes/b.txt", False)]
    assert client.call("POST", "fileops%2Fdelete", "root=sandbox&path=%2FUser%20Notes%2Fa%2Etxt")[0] == 404
    assert client.call("GET", "files", "root=sandbox&path=User%20Notes/a%2Etxt")[0] == 404
    assert client.call("POST", "fileops/delete", "root=sandbox&path=%2FUser%20Notes%2Fb%2Etxt")[0] == 200


def test_metadata_missing_and_over_limit(standin, client):
    status, _, body = listing(client, "/Nothing/here")
    assert (status, body) == (404, b'{"error": "Path \'/Nothing/here\' not found"}')
    for i in range(3):
        standin.seed_file("/Many/%d.txt" % i, b"x")
    assert listing(client, "/Many", "file_limit=2")[0] == 406
    assert listing(client, "/Many", "file_limit=3")[0] == 200


def test_metadata_path_form_and_get(standin, client):
    standin.seed_file("/Highlights/x.txt", b"x")
    for verb in ("GET", "POST"):
        status, _, body = client.request(verb, "/1/metadata/sandbox/Highlights?" + oauth_query())
        assert status == 200 and json.loads(body)["contents"][0]["path"] == "/Highlights/x.txt"
    status, _, body = client.request("GET", "/1/metadata/sandbox/Highlights/x.txt?" + oauth_query())
    assert status == 200 and "contents" not in json.loads(body)


@pytest.mark.parametrize("case, verb, target, status", [
    ("unknown call", "POST", "/1/nothing?root=sandbox&path=%2F", 404),
    ("unknown root", "POST", "/1/metadata?root=elsewhere&path=%2F", 400),
    ("missing path", "POST", "/1/fileops/create_folder?root=sandbox", 400),
    ("bad utf-8", "POST", "/1/metadata?root=sandbox&path=%2F%FF", 400),
    ("dot-dot", "POST", "/1/fileops/create_folder?root=sandbox&path=%2F..%2Fx", 400),
    ("bad file_limit", "POST", "/1/metadata?root=sandbox&path=%2F&file_limit=lots", 400),
    ("wrong verb", "DELETE", "/1/metadata?root=sandbox&path=%2F", 405),
])
def test_bad_requests_get_clear_errors(client, case, verb, target, status):
    got, headers, body = client.request(verb, target + "&" + oauth_query())
    assert got == status, case
    assert headers["content-type"] == "application/json" and json.loads(body)["error"]
