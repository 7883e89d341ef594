"""BVUpdateRemoteWithFeedback through the reference host against the stand-in: the chunk requests,
the revision lookup and the commit exactly as the service receives them, the messages the host
gets, what the service stores, and what becomes of the local file (its bytes never change; its
time becomes the committed client_mtime, unless the user saved it meanwhile)."""

import concurrent.futures
import email.utils
import os
import random
import re

import pytest

from conftest import windows_path

CHUNK = 262144
REMOTE = "User Notes/notes.bin"
STORED = "/" + REMOTE
ENCODED = "User%20Notes%2Fnotes%2Ebin"
LOOKUP = f"/1/metadata?root=sandbox&path={ENCODED}&<oauth>&file_limit=25000&list=true&include_deleted=false"
NEW_COMMIT = f"/1/commit_chunked_upload/sandbox/{ENCODED}?upload_id=<id1>&<oauth>"
# 2001-09-09 01:46:40 UTC: a time the stand-in never writes, so a changed time shows.
OLD_MTIME = 1000000000
# Chunk requests after the first one.
LATER_CHUNKS = r"^/1/chunked_upload\?upload_id="
FIRST_CHUNK = r"^/1/chunked_upload\?&offset=0&"
NO_OFFSET = '{"expires": "Thu, 01 Jan 2037 00:00:00 +0000"}'


def local_file(tmp_path, content):
    """A local file with content and an old last-write time."""
    path = tmp_path / "notes.bin"
    path.write_bytes(content)
    os.utime(path, (OLD_MTIME, OLD_MTIME))
    return path


def content_of(size, seed=7):
    return random.Random(seed).randbytes(size)


def put(run_host, local, *options):
    """Runs `put REMOTE LOCAL OPTIONS` with the test DLL; checks that nothing is left allocated and
    that every message is well formed; returns (run, [(16, count) | (24, code, class) | (20, result)])."""
    run = run_host("put", REMOTE, windows_path(local), *options, dll="faults")
    assert run.counters["outstanding_blocks"] == 0, run
    seen = []
    for m in run.messages:
        assert m["tag_ok"] and m["free_failures"] == 0, m
        payload = m["payload"]
        if m["kind"] == 20:
            assert m["wparam_is_window"] and payload["result_is_host_byte"], m
            seen.append((20, payload["result"]))
        else:
            assert m["kind"] in (16, 24) and m["wparam_zero"], m
            seen.append((16, payload["count"]) if m["kind"] == 16 else (24, payload["code"], payload["code_class"]))
    return run, seen


def calls(standin, pair):
    """The requests the stand-in received as (verb, target, body length, status): each target's OAuth
    parameters, which must carry the linked pair, read <oauth>, and upload ids read <id1>, <id2>... in
    the order they first appear."""
    token, secret = pair
    oauth = re.compile(f"oauth_consumer_key={standin.app_key}&oauth_token={token}&oauth_nonce=[0-9A-Za-z]+"
                       f"&oauth_timestamp=[0-9]+&oauth_signature_method=PLAINTEXT"
                       f"&oauth_signature={standin.app_secret}%26{secret}&oauth_version=1\\.0")
    ids = {}
    out = []
    for entry in standin.requests():
        target, signed = oauth.subn("<oauth>", entry["path"])
        assert signed == 1, entry["path"]
        target = re.sub(r"upload_id=([A-Za-z0-9_-]{22})&",
                        lambda m: "upload_id=<id%d>&" % ids.setdefault(m.group(1), len(ids) + 1), target)
        out.append((entry["verb"], target, entry["body_length"], entry["status"]))
    return out


def chunk(offset, length, status=200):
    """The expected chunk request at offset: at 0 it opens the upload and carries no id."""
    query = "&" if offset == 0 else "upload_id=<id1>&"
    return ("PUT", f"/1/chunked_upload?{query}offset={offset}&<oauth>", length, status)


def chunks(size):
    """The expected chunk requests of a whole file sent without incident (an empty one: one empty chunk)."""
    return [chunk(offset, min(CHUNK, size - offset)) for offset in range(0, size, CHUNK)] or [chunk(0, 0)]


def committed_new():
    """The lookup that finds nothing, and the commit of a new file."""
    return [("POST", LOOKUP, 0, 404), ("POST", NEW_COMMIT, 0, 200)]


def committed_at(rev):
    """The lookup that finds the file, and the commit at the revision it answered."""
    commit = f"/1/commit_chunked_upload/sandbox/{ENCODED}?overwrite=true&parent_rev={rev}&upload_id=<id1>&<oauth>"
    return [("POST", LOOKUP, 0, 200), ("POST", commit, 0, 200)]


def service_time(text):
    return email.utils.parsedate_to_datetime(text).timestamp()


def assert_uploaded(standin, local, content):
    """The service holds content; the local file still does, with the committed client_mtime as its time."""
    assert standin.read_file(STORED) == content
    assert local.read_bytes() == content
    assert os.stat(local).st_mtime == service_time(standin.metadata(STORED)["client_mtime"])


def assert_not_uploaded(standin, local, content):
    assert standin.list_folder("/User Notes") == []
    assert local.read_bytes() == content and os.stat(local).st_mtime == OLD_MTIME


@pytest.fixture
def account(standin, linked):
    """The linked access pair, with the request log cleared of the linking."""
    standin.clear_requests()
    return linked


@pytest.fixture
def notes_folder(standin):
    standin.seed_folder("/User Notes")


@pytest.mark.parametrize("size", [
    pytest.param(0, id="empty"),
    pytest.param(1, id="one-byte"),
    pytest.param(CHUNK - 1, id="chunk-less-one"),
    pytest.param(CHUNK, id="one-chunk"),
    pytest.param(CHUNK + 1, id="chunk-and-one", marks=pytest.mark.win32),
    pytest.param(3 * 1024 * 1024 + 12345, id="3-MiB-and-more", marks=pytest.mark.win32),
])
def test_file_goes_up_in_chunks_and_is_committed(run_host, standin, account, notes_folder, tmp_path, size):
    content = content_of(size)
    local = local_file(tmp_path, content)
    run, messages = put(run_host, local)
    expected = chunks(size)
    assert calls(standin, account) == expected + committed_new()
    assert messages == [(16, length) for _, _, length, _ in expected] + [(20, 1)]
    assert run.result("BVUpdateRemoteWithFeedback")["result_byte"] == 1
    assert_uploaded(standin, local, content)


@pytest.mark.win32
def test_existing_file_is_committed_at_its_revision(run_host, standin, account, tmp_path):
    old = standin.seed_file(STORED, b"the service's older copy")
    content = content_of(CHUNK + 10)
    local = local_file(tmp_path, content)
    _, messages = put(run_host, local)
    assert calls(standin, account) == chunks(CHUNK + 10) + committed_at(old["rev"])
    assert messages == [(16, CHUNK), (16, 10), (20, 1)]
    assert standin.metadata(STORED)["revision"] > old["revision"]
    assert_uploaded(standin, local, content)


def test_remote_file_changed_between_lookup_and_commit(run_host, standin, account, tmp_path):
    first = standin.seed_file(STORED, b"version 1")
    content = content_of(1000)
    local = local_file(tmp_path, content)
    held = standin.inject("delay", verb="POST", path="/1/commit_chunked_upload", hold=60)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        running = pool.submit(put, run_host, local)
        try:
            assert standin.wait_taken(held, 60)
            # someone else's upload lands while the commit waits
            second = standin.seed_file(STORED, b"version 2 from elsewhere")
        finally:
            standin.release(held)
        _, messages = running.result()
    assert calls(standin, account) == chunks(1000) + committed_at(first["rev"])
    # The stale parent revision makes the service keep both: the other version at the path, this
    # upload as a conflicted copy, whose metadata the commit answered (the library keeps no path).
    copy = "/User Notes/notes (conflicted copy).bin"
    assert standin.read_file(STORED) == b"version 2 from elsewhere"
    assert standin.metadata(STORED)["rev"] == second["rev"]
    assert standin.read_file(copy) == content
    assert messages == [(16, 1000), (20, 1)]
    assert local.read_bytes() == content
    assert os.stat(local).st_mtime == service_time(standin.metadata(copy)["client_mtime"])


# Answers after which the library sends again from the offset the service holds.
@pytest.mark.parametrize("fault, sent", [
    # the service keeps all but the last 1000 bytes of the second chunk: they go again from its offset
    pytest.param(dict(kind="offset_back", path_regex=LATER_CHUNKS, bytes=1000),
                 [chunk(0, CHUNK), chunk(CHUNK, CHUNK), chunk(2 * CHUNK - 1000, 6000)], id="offset-set-back"),
    # a 200 without offset (nor id) to the first chunk: the first chunk again, opening the upload
    pytest.param(dict(kind="status", path_regex=FIRST_CHUNK, status=200, body=NO_OFFSET),
                 [chunk(0, CHUNK)] + chunks(2 * CHUNK + 5000), id="no-offset-first-chunk"),
    # twice without offset to the second chunk: two passes that do not advance are still allowed
    pytest.param(dict(kind="status", path_regex=LATER_CHUNKS, status=200, body=NO_OFFSET, count=2),
                 [chunk(0, CHUNK)] + 3 * [chunk(CHUNK, CHUNK)] + [chunk(2 * CHUNK, 5000)], id="no-offset-twice"),
])
def test_chunk_sent_again_from_service_offset(run_host, standin, account, notes_folder, tmp_path, fault, sent):
    content = content_of(2 * CHUNK + 5000)
    local = local_file(tmp_path, content)
    standin.inject(verb="PUT", **fault)
    _, messages = put(run_host, local)
    assert calls(standin, account) == sent + committed_new()
    assert messages == [(16, length) for _, _, length, _ in sent] + [(20, 1)]
    assert_uploaded(standin, local, content)


# Answers to the second chunk that must end the upload rather than loop: passes that do not advance
# (three in a row), and offsets outside what this upload sent (past the end of the file, beyond the
# bytes sent so far, negative). The chunk counts as accepted, so its progress message comes; then the
# failure message tells why (5008); no lookup, no commit.
@pytest.mark.parametrize("fault, passes", [
    pytest.param(dict(kind="status", body=NO_OFFSET, count=3), 3, id="no-offset-three-times"),
    pytest.param(dict(kind="status", body='{"offset": %d}' % CHUNK, count=3), 3, id="same-offset-three-times"),
    pytest.param(dict(kind="status", body='{"offset": %d}' % (2 * CHUNK + 5001)), 1, id="offset-past-the-end"),
    # the file has 2 * CHUNK + 5000 bytes, but only 2 * CHUNK of them were sent
    pytest.param(dict(kind="status", body='{"offset": %d}' % (2 * CHUNK + 1)), 1, id="offset-beyond-bytes-sent"),
    # the service says it holds bytes it was never sent
    pytest.param(dict(kind="skip_ahead", to=2 * CHUNK + 100), 1, id="service-skips-ahead"),
    pytest.param(dict(kind="status", body='{"offset": -1}'), 1, id="negative-offset"),
])
def test_answers_that_would_loop_end_the_upload(run_host, standin, account, notes_folder, tmp_path, fault, passes):
    content = content_of(2 * CHUNK + 5000)
    local = local_file(tmp_path, content)
    standin.inject(verb="PUT", path_regex=LATER_CHUNKS, **({"status": 200} if fault["kind"] == "status" else {}),
                   **fault)
    run, messages = put(run_host, local)
    assert calls(standin, account) == [chunk(0, CHUNK)] + passes * [chunk(CHUNK, CHUNK)]
    assert messages == [(16, CHUNK)] + passes * [(16, CHUNK)] + [(24, 5008, 2), (20, 0)]
    assert run.result("BVUpdateRemoteWithFeedback")["result_byte"] == 0
    assert_not_uploaded(standin, local, content)


def test_offsets_that_go_back_and_forth_end_within_bound(run_host, standin, account, notes_folder, tmp_path):
    # Every answer after the first lies within the bytes sent, and none repeats the offset it was
    # sent at: the second chunk is answered with 1000, a chunk at 1000 with 2000 and one at 2000 with
    # 1000 again, for ever. The upload of three chunks ends after twice its chunks and three more
    # requests.
    content = content_of(3 * CHUNK)
    local = local_file(tmp_path, content)
    for sent, answered in [(CHUNK, 1000), (1000, 2000), (2000, 1000)]:
        standin.inject("status", verb="PUT", path_regex=f"&offset={sent}&", status=200, count=100,
                       body='{"offset": %d}' % answered)
    run, messages = put(run_host, local)
    offsets = [0, CHUNK] + [1000, 2000] * 3 + [1000]
    assert calls(standin, account) == [chunk(offset, CHUNK) for offset in offsets]
    assert messages == len(offsets) * [(16, CHUNK)] + [(24, 5008, 2), (20, 0)]
    assert_not_uploaded(standin, local, content)


def save_in_place(local, content, mtime):
    """What an editor's in-place save does: the same file, new bytes, then its time as given."""
    with open(local, "r+b") as f:
        f.write(content)
    os.utime(local, (mtime, mtime))


# A notes file saved in place while its first chunk is at the service: the chunks after it come
# from the new version, so the service would hold bytes that never were the local file. The upload
# is not committed; the failure message says why (5007). Same size, other bytes; the time changed,
# or set back to the time the file had when the upload opened it (then only the file's change
# time, which no program can set, shows the save).
@pytest.mark.parametrize("saved_mtime", [
    pytest.param(OLD_MTIME + 3600, id="new-time"),
    pytest.param(OLD_MTIME, id="time-set-back"),
])
def test_file_saved_while_it_uploads_is_not_committed(run_host, standin, account, notes_folder, tmp_path,
                                                       saved_mtime):
    size = 1024 * 1024
    first, second = content_of(size, seed=1), content_of(size, seed=2)
    local = local_file(tmp_path, first)
    held = standin.inject("delay", verb="PUT", path_regex=FIRST_CHUNK, hold=60)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        running = pool.submit(put, run_host, local)
        try:
            assert standin.wait_taken(held, 60)
            save_in_place(local, second, saved_mtime)
        finally:
            standin.release(held)
        run, messages = running.result()
    assert calls(standin, account) == chunks(size)
    assert messages == 4 * [(16, CHUNK)] + [(24, 5007, 2), (20, 0)]
    assert run.result("BVUpdateRemoteWithFeedback")["result_byte"] == 0
    assert standin.list_folder("/User Notes") == []
    assert local.read_bytes() == second and os.stat(local).st_mtime == saved_mtime


def test_file_cut_short_while_it_uploads(run_host, standin, account, notes_folder, tmp_path):
    # Saved shorter while the first chunk is at the service: the next chunk cannot be read whole.
    content = content_of(1024 * 1024)
    local = local_file(tmp_path, content)
    held = standin.inject("delay", verb="PUT", path_regex=FIRST_CHUNK, hold=60)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        running = pool.submit(put, run_host, local)
        try:
            assert standin.wait_taken(held, 60)
            local.write_bytes(content[:CHUNK + 1000])
        finally:
            standin.release(held)
        _, messages = running.result()
    assert calls(standin, account) == [chunk(0, CHUNK)]
    assert messages == [(16, CHUNK), (24, 5007, 2), (20, 0)]
    assert standin.list_folder("/User Notes") == []


def test_file_saved_during_the_commit_keeps_its_own_time(run_host, standin, account, notes_folder, tmp_path):
    # The service holds the version it was sent, whole; the local file is a newer one, and the
    # service's time on it would tell a host that compares times that the new version is in step.
    size = 1024 * 1024
    first, second = content_of(size, seed=1), content_of(size, seed=2)
    local = local_file(tmp_path, first)
    held = standin.inject("delay", verb="POST", path="/1/commit_chunked_upload", hold=60)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        running = pool.submit(put, run_host, local)
        try:
            assert standin.wait_taken(held, 60)
            save_in_place(local, second, OLD_MTIME + 3600)
        finally:
            standin.release(held)
        run, messages = running.result()
    assert calls(standin, account) == chunks(size) + committed_new()
    assert messages == 4 * [(16, CHUNK)] + [(20, 1)]
    assert standin.read_file(STORED) == first
    assert local.read_bytes() == second and os.stat(local).st_mtime == OLD_MTIME + 3600


@pytest.mark.parametrize("fault, failure", [
    pytest.param(dict(kind="error_200", message="Internal error"), (24, 5003, 2), id="error-object"),
    pytest.param(dict(kind="status", status=400, body='{"error": "Submitted input out of alignment"}'),
                 (24, 400, 1), id="400"),
    pytest.param(dict(kind="status", status=403, message="Invalid or missing signature"), (24, 403, 1), id="403"),
    pytest.param(dict(kind="status", status=404, message="Unknown upload_id"), (24, 404, 1), id="404"),
    pytest.param(dict(kind="status", status=503, headers={"Retry-After": "1"}), (24, 503, 1), id="503"),
    pytest.param(dict(kind="status", status=507, message="Over quota"), (24, 507, 1), id="507"),
])
def test_failed_chunk_request_ends_the_upload(run_host, standin, account, notes_folder, tmp_path, fault, failure):
    content = content_of(2 * CHUNK + 5000)
    local = local_file(tmp_path, content)
    standin.inject(verb="PUT", path_regex=LATER_CHUNKS, **fault)
    _, messages = put(run_host, local)
    assert calls(standin, account) == [chunk(0, CHUNK), chunk(CHUNK, CHUNK, status=fault.get("status", 200))]
    assert messages == [(16, CHUNK), failure, (20, 0)]
    assert_not_uploaded(standin, local, content)


# The service refuses the connection of the second chunk this many times (WinINet: 12029); attempts
# is how often the chunk tries to connect. The chunk sender sends again at once up to three times;
# then the exchange's single reopen, in a session with the system's settings, sends once more;
# after that the chunk fails.
@pytest.mark.parametrize("refusals, attempts, uploaded", [
    pytest.param(1, 2, True, id="once"),
    pytest.param(3, 4, True, id="three-times"),
    pytest.param(4, 5, True, id="four-times-the-reopen-gets-through"),
    pytest.param(100, 5, False, id="always"),
])
def test_refused_connection_sent_again_within_bound(run_host, standin, account, notes_folder, tmp_path, refusals,
                                                    attempts, uploaded):
    content = content_of(CHUNK + 5000)
    local = local_file(tmp_path, content)
    standin.inject("refuse_next", verb="PUT", path_regex=FIRST_CHUNK, connections=refusals)
    _, messages = put(run_host, local)
    assert standin.refused_connections() == min(refusals, attempts)
    if uploaded:
        assert calls(standin, account) == chunks(CHUNK + 5000) + committed_new()
        assert messages == [(16, CHUNK), (16, 5000), (20, 1)]
        assert_uploaded(standin, local, content)
    else:
        assert calls(standin, account) == [chunk(0, CHUNK)]
        assert messages == [(16, CHUNK), (24, 12029, 3), (20, 0)]
        assert_not_uploaded(standin, local, content)


@pytest.mark.parametrize("cancel_after, sent", [
    pytest.param(0, 0, id="before-the-first-chunk"),
    pytest.param(1, 1, id="after-the-first-chunk", marks=pytest.mark.win32),
    pytest.param(2, 2, id="after-the-second-chunk"),
])
def test_cancel_stops_before_the_next_chunk(run_host, standin, account, notes_folder, tmp_path, cancel_after, sent):
    content = content_of(2 * CHUNK + 5000)
    local = local_file(tmp_path, content)
    _, messages = put(run_host, local, "--cancel-after", str(cancel_after))
    assert calls(standin, account) == chunks(len(content))[:sent]
    assert messages == sent * [(16, CHUNK)] + [(20, 0)]
    assert_not_uploaded(standin, local, content)


def commit_answer(client_mtime):
    """A commit answer in the service's file key order, with client_mtime as given (left out for None)."""
    time = "" if client_mtime is None else f'"client_mtime": "{client_mtime}", '
    return ('{"revision": 9, "rev": "90b31176a", "thumb_exists": false, "bytes": 3000, '
            f'"modified": "Wed, 29 Oct 2014 19:30:19 +0000", {time}"path": "/User Notes/notes.bin", '
            '"is_dir": false, "icon": "page_white", "root": "app_folder", '
            '"mime_type": "application/octet-stream", "size": "2.9 KB"}')


# The commit's answer, with the upload carried out: what its client_mtime does to the local file.
# A time that does not parse leaves the local time alone (no 1970 stamp).
@pytest.mark.parametrize("body, result, mtime", [
    pytest.param(commit_answer("Wed, 29 Oct 2014 19:30:19 +0000"), 1, 1414611019, id="service-date"),
    pytest.param(commit_answer(None), 1, OLD_MTIME, id="no-client-mtime"),
    pytest.param(commit_answer(""), 1, OLD_MTIME, id="empty"),
    pytest.param(commit_answer("yesterday"), 1, OLD_MTIME, id="no-date"),
    pytest.param(commit_answer("Wed, 29 Okt 2014 19:30:19 +0000"), 1, OLD_MTIME, id="unknown-month"),
    pytest.param('{"error": "Conflict", "client_mtime": "Wed, 29 Oct 2014 19:30:19 +0000"}', 0, OLD_MTIME,
                 id="error-object"),
])
def test_commit_answer_sets_local_time(run_host, standin, account, notes_folder, tmp_path, body, result, mtime):
    content = content_of(3000)
    local = local_file(tmp_path, content)
    standin.inject("status", path="/1/commit_chunked_upload", status=200, body=body, process=True)
    _, messages = put(run_host, local)
    assert calls(standin, account) == chunks(3000) + committed_new()
    assert messages == [(16, 3000), (20, result)]
    assert standin.read_file(STORED) == content
    assert local.read_bytes() == content and os.stat(local).st_mtime == mtime


@pytest.mark.parametrize("fault, result, sent", [
    pytest.param(None, 1, chunks(CHUNK + 5000) + committed_new(), id="uploaded"),
    pytest.param(dict(kind="error_200", verb="PUT", path_regex=LATER_CHUNKS), 0,
                 [chunk(0, CHUNK), chunk(CHUNK, 5000)], id="chunk-failed"),
])
def test_without_window_only_the_result_byte_tells(run_host, standin, account, notes_folder, tmp_path, fault, result,
                                                   sent):
    content = content_of(CHUNK + 5000)
    local = local_file(tmp_path, content)
    if fault:
        standin.inject(**fault)
    run, messages = put(run_host, local, "--null-window")
    assert messages == []
    assert run.result("BVUpdateRemoteWithFeedback") == {"event": "result", "export": "BVUpdateRemoteWithFeedback",
                                                        "return": 0, "result_byte": result}
    assert calls(standin, account) == sent
    if result:
        assert_uploaded(standin, local, content)
    else:
        assert_not_uploaded(standin, local, content)


def test_missing_local_file(run_host, standin, account, tmp_path):
    run, messages = put(run_host, tmp_path / "nothing-here.bin")
    assert messages == [(20, 0)]
    assert run.result("BVUpdateRemoteWithFeedback")["result_byte"] == 0
    assert calls(standin, account) == []


def test_local_file_held_open_by_a_reader(run_host, standin, account, notes_folder, tmp_path):
    # The host keeps the file open and shares it for reading only: an upload that asked for write
    # access to the file's data could not open it.
    content = content_of(CHUNK + 5000)
    local = local_file(tmp_path, content)
    _, messages = put(run_host, local, "--keep-open")
    assert messages == [(16, CHUNK), (16, 5000), (20, 1)]
    assert_uploaded(standin, local, content)


@pytest.mark.win32
def test_offsets_past_2_gib(run_host, standin, account, notes_folder, tmp_path):
    # A sparse local file of 2 GiB and 300,000 bytes, and a session at the service that holds its
    # first 2 GiB already (zeros, as in the local file): the upload goes on from offset 2147483648
    # (the test DLL's hook), so its requests and the answers it reads carry offsets beyond 32 bits,
    # and the service stores what it is sent at those offsets.
    far = 2 ** 31
    tail = content_of(300000, seed=2)
    local = tmp_path / "big.bin"
    with open(local, "wb") as f:
        f.seek(far)
        f.write(tail)
    os.utime(local, (OLD_MTIME, OLD_MTIME))
    session = standin.seed_upload_session(far)
    run = run_host("put-from", session["upload_id"], str(far), REMOTE, windows_path(local), dll="faults")
    assert run.exit_code == 0, run
    assert run.counters["outstanding_blocks"] == 0, run
    assert [(m["kind"], m["payload"].get("count")) for m in run.messages] == \
        [(16, CHUNK), (16, 300000 - CHUNK), (20, None)]
    assert run.result("VelmoraDebugUploadFrom")["result_byte"] == 1
    sent = [chunk(far, CHUNK), chunk(far + CHUNK, 300000 - CHUNK)]
    assert calls(standin, account) == sent + committed_new()
    meta = standin.metadata(STORED)
    assert meta["bytes"] == far + 300000
    assert standin.read_file(STORED, offset=far - 16) == bytes(16) + tail
    assert os.stat(local).st_mtime == service_time(meta["client_mtime"])
