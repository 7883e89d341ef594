"""Chunked upload sessions and commits: offsets, misalignment, overwrite, parent_rev conflicts."""

import json
import os
import re

import pytest

from standin_client import enc, oauth_query

PATH = "/User Notes/notes.txt"


def put_chunk(client, data, offset, upload_id=None, **oauth):
    # the library's layouts: "?&offset=0&..." first, "?upload_id=...&offset=...&..." later
    before = ("upload_id=%s&offset=%d" % (upload_id, offset)) if upload_id else "&offset=%d" % offset
    return client.request("PUT", "/1/chunked_upload?%s&%s" % (before, oauth_query(**oauth)), body=data)


def upload(client, chunks):
    upload_id, offset = None, 0
    for data in chunks:
        status, _, body = put_chunk(client, data, offset, upload_id)
        assert status == 200, body
        reply = json.loads(body)
        upload_id, offset = reply["upload_id"], reply["offset"]
    return upload_id


def commit(client, upload_id, path=PATH, before=""):
    query = (before + "&" if before else "") + "upload_id=" + upload_id
    return client.request("POST", "/1/commit_chunked_upload/sandbox/%s?%s&%s" % (enc(path.lstrip("/")), query,
                                                                                 oauth_query()))


def test_chunks_then_commit_new_file(standin, client):
    status, headers, body = put_chunk(client, b"a" * 1000, 0)
    assert status == 200 and headers["content-type"] == "text/javascript"
    m = re.fullmatch(rb'\{"expires": "([^"]+)", "upload_id": "([A-Za-z0-9_-]{22})", "offset": 1000\}', body)
    assert m, body
    upload_id = m.group(2).decode()
    status, _, body = put_chunk(client, b"b" * 24, 1000, upload_id)
    assert json.loads(body) == {"expires": m.group(1).decode(), "upload_id": upload_id, "offset": 1024}

    status, _, body = commit(client, upload_id)
    assert status == 200
    meta = json.loads(body)
    assert (meta["path"], meta["bytes"], meta["size"], meta["mime_type"]) == (PATH, 1024, "1 KB", "text/plain")
    assert meta["client_mtime"] == meta["modified"]
    assert standin.read_file(PATH) == b"a" * 1000 + b"b" * 24
    # the session is gone after its commit
    assert commit(client, upload_id)[0] == 400


def test_misaligned_chunk_is_400_with_state(client):
    upload_id = upload(client, [b"x" * 10])
    status, headers, body = put_chunk(client, b"y" * 5, 7, upload_id)
    assert status == 400 and headers["content-type"] == "application/json"
    text = body.decode()
    assert re.fullmatch(r'\{"expires": "[^"]+", "upload_id": "%s", "offset": 10, '
                        r'"error": "Submitted input out of alignment: got \[7\] expected \[10\]"\}' % upload_id, text)
    # the chunk was ignored: the right offset still continues the session
    assert json.loads(put_chunk(client, b"z", 10, upload_id)[2])["offset"] == 11


def test_unknown_or_expired_upload_id_is_404(standin, client):
    assert put_chunk(client, b"x", 0, "A" * 22)[0] == 404
    upload_id = upload(client, [b"x"])
    standin.set_clock_offset(86400 + 1)
    assert put_chunk(client, b"y", 1, upload_id, timestamp=int(standin.now()))[0] == 404


def test_commit_overwrite_with_current_parent_rev(standin, client):
    old = standin.seed_file(PATH, b"old")
    status, _, body = commit(client, upload(client, [b"new content"]),
                             before="overwrite=true&parent_rev=" + old["rev"])
    meta = json.loads(body)
    assert status == 200 and meta["path"] == PATH and meta["revision"] > old["revision"]
    assert standin.read_file(PATH) == b"new content"


@pytest.mark.parametrize("path, expected", [
    ("/User Notes/notes.txt", "/User Notes/notes (conflicted copy).txt"),
    ("/User Notes/README", "/User Notes/README (conflicted copy)"),
])
def test_stale_parent_rev_makes_conflicted_copy(standin, client, path, expected):
    first = standin.seed_file(path, b"v1")
    standin.seed_file(path, b"v2 from elsewhere")
    status, _, body = commit(client, upload(client, [b"mine"]), path, "overwrite=true&parent_rev=" + first["rev"])
    assert status == 200 and json.loads(body)["path"] == expected
    assert standin.read_file(path) == b"v2 from elsewhere"
    assert standin.read_file(expected) == b"mine"


def test_stale_parent_rev_without_autorename_is_409(standin, client):
    first = standin.seed_file(PATH, b"v1")
    standin.seed_file(PATH, b"v2")
    status, headers, body = commit(client, upload(client, [b"mine"]),
                                   before="overwrite=true&autorename=false&parent_rev=" + first["rev"])
    assert status == 409 and headers["content-type"] == "application/json" and json.loads(body)["error"]
    assert standin.read_file(PATH) == b"v2"


def test_commit_without_overwrite_renames(standin, client):
    standin.seed_file(PATH, b"there")
    status, _, body = commit(client, upload(client, [b"again"]), before="overwrite=false")
    assert status == 200 and json.loads(body)["path"] == "/User Notes/notes (1).txt"


def test_commit_bad_upload_id_is_400(client):
    assert commit(client, "nosuchsession")[0] == 400
    status, _, body = client.request("POST", "/1/commit_chunked_upload/sandbox/a.txt?" + oauth_query())
    assert status == 400 and json.loads(body)["error"]


def test_commit_creates_parent_folders(standin, client):
    status, _, body = commit(client, upload(client, [b"t"]), "/New/Deep/t.txt")
    assert status == 200 and json.loads(body)["path"] == "/New/Deep/t.txt"
    assert [c["path"] for c in standin.list_folder("/New")] == ["/New/Deep"]


def test_upload_sessions_belong_to_their_account(standin, client):
    standin.seed_account(777)
    other = standin.seed_access_token(uid=777)
    upload_id = upload(client, [b"mine"])
    q = oauth_query(token=other["token"], token_secret=other["secret"])
    status, _, _ = client.request("PUT", "/1/chunked_upload?upload_id=%s&offset=4&%s" % (upload_id, q), body=b"x")
    assert status == 404


def test_chunk_sent_with_chunked_transfer_encoding(standin, client):
    status, _, body = client.request("PUT", "/1/chunked_upload?&offset=0&" + oauth_query(),
                                     body=iter([b"abc", b"defg"]))
    assert status == 200 and json.loads(body)["offset"] == 7
    assert standin.requests()[-1]["headers"]["transfer-encoding"] == "chunked"


def test_skip_ahead_moves_session_past_2_gib_without_storing(standin, client):
    far = 2 ** 31
    standin.inject("skip_ahead", verb="PUT", to=far)
    status, _, body = put_chunk(client, b"h" * 100, 0)
    upload_id = json.loads(body)["upload_id"]
    assert (status, json.loads(body)["offset"]) == (200, far)
    # the session holds `far` bytes now: the old offset is out of alignment
    status, _, body = put_chunk(client, b"x", 100, upload_id)
    assert status == 400 and b"expected [2147483648]" in body
    status, _, body = put_chunk(client, b"tail", far, upload_id)
    assert (status, json.loads(body)["offset"]) == (200, far + 4)

    meta = json.loads(commit(client, upload_id, "/big.bin")[2])
    assert (meta["bytes"], meta["size"]) == (far + 4, "2 GB")
    assert standin.read_file("/big.bin", length=101) == b"h" * 100 + b"\0"
    assert standin.read_file("/big.bin", offset=far - 2) == b"\0\0tail"
    # the skipped bytes are a hole, not 2 GiB on disk
    stored = os.stat(standin.store.account(standin.default_uid).disk("/big.bin"))
    assert stored.st_size == far + 4 and stored.st_blocks * 512 < 1 << 20


def test_seeded_session_past_2_gib_stores_what_it_is_sent(standin, client):
    far = 2 ** 31 + 12345
    state = standin.seed_upload_session(far)
    assert state["offset"] == far and re.fullmatch(r"[A-Za-z0-9_-]{22}", state["upload_id"])
    # the next chunk must come at the seeded offset
    status, _, body = put_chunk(client, b"x", 0, state["upload_id"])
    assert status == 400 and b"expected [2147495993]" in body
    status, _, body = put_chunk(client, b"tail", far, state["upload_id"])
    assert (status, json.loads(body)) == (200, {"expires": state["expires"], "upload_id": state["upload_id"],
                                                "offset": far + 4})
    meta = json.loads(commit(client, state["upload_id"], "/big.bin")[2])
    assert meta["bytes"] == far + 4
    assert standin.read_file("/big.bin", offset=far - 2) == b"\0\0tail"
    stored = os.stat(standin.store.account(standin.default_uid).disk("/big.bin"))
    assert stored.st_size == far + 4 and stored.st_blocks * 512 < 1 << 20


def test_skip_ahead_never_moves_a_session_back(standin, client):
    upload_id = upload(client, [b"a" * 100])
    standin.inject("skip_ahead", verb="PUT", to=50)
    status, _, body = put_chunk(client, b"b", 100, upload_id)
    assert (status, json.loads(body)["offset"]) == (200, 101)
