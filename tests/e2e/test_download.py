"""The download of one file (getRemoteMergeFile) through the reference host's `get`, against
the stand-in: the request, the pieces, the final notice, the file on disk and its time, and
that a failed or cancelled download never costs the user a byte of an existing local file."""

import concurrent.futures
import os
import pathlib
import re
import subprocess
import time

import pytest

from conftest import ARCH, PAYLOAD_SIZES, windows_path

MTIME = "Wed, 29 Oct 2014 19:30:19 +0000"
MTIME_POSIX = 1414611019
FILES_CALL = re.compile(r"^/1/files\?root=sandbox&path=(?P<path>[^&]+)&oauth_consumer_key=[^&]+&oauth_token=[^&]+"
                        r"&oauth_nonce=[^&]+&oauth_timestamp=\d+&oauth_signature_method=PLAINTEXT"
                        r"&oauth_signature=[^&]+&oauth_version=1\.0$")
# The stand-in's metadata header for a reply that must carry one of our own.
METADATA = "x-dropbox-metadata"
OLD_CONTENT = b"the user's own copy, which no failed download may touch\n"
OLD_TIME = 1262347200  # 2010-01-01 12:00:00 UTC
KIND_BY_MODE = {0: 17, 1: 18, 2: 15}


def body_of(size):
    return bytes((i * 7 + i // 251) % 256 for i in range(size))


def get(run_host, local, name="notes.txt", index=1, *options):
    run = run_host("get", str(index), name, windows_path(local), *map(str, options), dll="faults")
    assert run.counters["outstanding_blocks"] == 0, run
    return run


def transfer_messages(run, kind):
    return [m for m in run.messages if m["kind"] == kind and m["size"] == PAYLOAD_SIZES["transfer"]]


def final_notice(run, mode=0):
    """The one finishing notice: the mode's kind with a ResultPayload, sent with the window."""
    finals = [m for m in run.messages if m["kind"] == KIND_BY_MODE[mode] and m["payload"].get("result") is not None]
    assert len(finals) == 1, run.messages
    assert run.messages[-1] is finals[0], "the finishing notice comes last"
    assert finals[0]["wparam_is_window"]
    assert run.result("KillDropBoxThread")["return"] == 1
    return finals[0]


def failure(run):
    (failed,) = transfer_messages(run, 24)
    assert failed["wparam_zero"] and failed["payload"]["count"] == 0
    return failed["payload"]["code"], failed["payload"]["code_class"]


def leftovers(folder, target):
    """Files other than the target in the target's folder (temporary files left behind)."""
    return sorted(p.name for p in folder.iterdir() if p.name != target.name)


@pytest.fixture
def existing(tmp_path):
    """A local file the download would replace, with content and time of its own."""
    target = tmp_path / "local" / "notes.txt"
    target.parent.mkdir()
    target.write_bytes(OLD_CONTENT)
    os.utime(target, (OLD_TIME, OLD_TIME))
    return target


def assert_untouched(target):
    assert target.read_bytes() == OLD_CONTENT
    assert int(target.stat().st_mtime) == OLD_TIME
    assert leftovers(target.parent, target) == []


@pytest.mark.parametrize("size, pieces", [
    pytest.param(40000, [16384, 16384, 7232], id="40000-bytes", marks=pytest.mark.win32),
    pytest.param(16384, [16384], id="one-whole-piece"),
    pytest.param(1, [1], id="one-byte"),
    pytest.param(0, [], id="empty-file", marks=pytest.mark.win32),
])
def test_download_writes_file_and_time(run_host, standin, linked, existing, size, pieces):
    content = body_of(size)
    standin.seed_file("/User Notes/notes.txt", content, client_mtime=MTIME)
    standin.clear_requests()
    run = get(run_host, existing)
    assert run.exit_code == 0, run
    assert [m["payload"]["count"] for m in transfer_messages(run, 16)] == pieces
    assert all(m["wparam_zero"] and m["payload"]["code_class"] == 0 for m in transfer_messages(run, 16))
    notice = final_notice(run)
    assert notice["tag_ok"] and notice["size"] == PAYLOAD_SIZES["result"] and notice["payload"]["result"] == 1
    assert existing.read_bytes() == content
    assert int(existing.stat().st_mtime) == MTIME_POSIX
    assert leftovers(existing.parent, existing) == []
    (request,) = standin.requests()
    assert request["verb"] == "GET" and request["body_length"] == 0
    assert request["headers"].get("user-agent") == "Velmora Resilient Download"
    assert FILES_CALL.match(request["path"])["path"] == "User%20Notes/notes%2Etxt"


@pytest.mark.parametrize("mode, index, folder", [
    pytest.param(1, 2, "/User Tools", id="mode-1-tools"),
    pytest.param(2, 0, "/Highlights", id="mode-2-highlights"),
    pytest.param(0, 1, "/User Notes", id="mode-0-notes"),
])
def test_mode_and_folder_chosen_independently(run_host, standin, linked, tmp_path, mode, index, folder):
    standin.seed_file(folder + "/notes.txt", b"abc")
    run = get(run_host, tmp_path / "out.txt", "notes.txt", index, "--mode", mode)
    assert run.exit_code == 0, run
    assert final_notice(run, mode)["payload"]["result"] == 1
    assert (tmp_path / "out.txt").read_bytes() == b"abc"
    (request,) = [r for r in standin.requests() if r["path"].startswith("/1/files")]
    assert FILES_CALL.match(request["path"])["path"] == folder[1:].replace(" ", "%20") + "/notes%2Etxt"


@pytest.mark.parametrize("name, encoded", [
    pytest.param("Café notes.txt", "Caf%C3%A9%20notes%2Etxt", id="non-ascii-and-space"),
    pytest.param("a+b&c=d#e.txt", "a%2Bb%26c%3Dd%23e%2Etxt", id="query-characters"),
    pytest.param("Trip 2014/day 1.txt", "Trip%202014%2Fday%201%2Etxt", id="subfolder"),
])
def test_names_sent_as_utf8_escapes(run_host, standin, linked, tmp_path, name, encoded):
    standin.seed_file("/User Notes/" + name, name.encode())
    run = get(run_host, tmp_path / "out.txt", name)
    assert run.exit_code == 0, run
    assert (tmp_path / "out.txt").read_bytes() == name.encode()
    (request,) = [r for r in standin.requests() if r["path"].startswith("/1/files")]
    assert FILES_CALL.match(request["path"])["path"] == "User%20Notes/" + encoded


def test_file_beginning_like_an_error_object_is_downloaded(run_host, standin, linked, existing):
    content = b'{"error": "this is the user\'s own text, not the service\'s"}'
    standin.seed_file("/User Notes/notes.txt", content)
    run = get(run_host, existing)
    assert run.exit_code == 0, run
    assert existing.read_bytes() == content


# Replies the download must refuse; each leaves the existing local file exactly as it was.
@pytest.mark.parametrize("fault, code", [
    pytest.param(dict(kind="status", status=404, message="Path '/User Notes/notes.txt' not found"), (4003, 2),
                 id="404", marks=pytest.mark.win32),
    pytest.param(dict(kind="status", status=500), (4003, 2), id="500"),
    # A header value that reads like a success line does not make a 403 one.
    pytest.param(dict(kind="status", status=403, headers={"X-Note": "HTTP/1.1 200 OK"}), (4003, 2),
                 id="status-line-text-in-a-header"),
    # The service's error object in place of the file: 200 without a metadata header.
    pytest.param(dict(kind="error_200", message="Internal error"), (4009, 2), id="error-object"),
    pytest.param(dict(kind="big_headers", bytes=20000), (122, 3), id="headers-over-16k"),
])
def test_refused_reply_leaves_local_file(run_host, standin, linked, existing, fault, code):
    standin.seed_file("/User Notes/notes.txt", body_of(1000), client_mtime=MTIME)
    standin.inject(path="/1/files", **fault)
    run = get(run_host, existing)
    assert run.exit_code == 1, run
    assert failure(run) == code
    assert transfer_messages(run, 16) == []
    notice = final_notice(run)
    assert notice["tag_ok"] and notice["payload"]["result"] == 0
    assert_untouched(existing)


def test_short_body_fails(run_host, standin, linked, existing):
    standin.seed_file("/User Notes/notes.txt", body_of(100000), client_mtime=MTIME)
    standin.inject("truncate_body", path="/1/files", send=40000)
    run = get(run_host, existing)
    assert run.exit_code == 1, run
    assert failure(run) == (4010, 2)
    assert final_notice(run)["payload"]["result"] == 0
    assert_untouched(existing)


def test_http_10_status_line_succeeds(run_host, standin, linked, existing):
    standin.seed_file("/User Notes/notes.txt", body_of(20000), client_mtime=MTIME)
    standin.inject("raw_status_line", path="/1/files", line="HTTP/1.0 200 OK")
    run = get(run_host, existing)
    assert run.exit_code == 0, run
    assert existing.read_bytes() == body_of(20000)
    assert int(existing.stat().st_mtime) == MTIME_POSIX


@pytest.mark.parametrize("headers", [
    pytest.param(None, id="no-metadata-header"),
    pytest.param({METADATA: '{"client_mtime": "not a date", "bytes": 5}'}, id="unparseable-client-mtime"),
    pytest.param({METADATA: '{"client_mtime": "Wed, 29 Oct 2014 19:30:19 +0000'}, id="no-closing-quote"),
    pytest.param({METADATA: '{"bytes": 5}'}, id="no-client-mtime"),
])
def test_without_a_usable_time_the_file_keeps_its_own(run_host, standin, linked, existing, headers):
    if headers is None:
        standin.seed_file("/User Notes/notes.txt", b"hello", client_mtime=MTIME)
        standin.inject("omit_headers", path="/1/files", names=[METADATA])
    else:
        standin.inject("status", path="/1/files", status=200, body="hello", content_type="text/plain",
                       headers=headers)
    run = get(run_host, existing)
    assert run.exit_code == 0, run
    assert existing.read_bytes() == b"hello"
    # Written now: neither 1970 nor the old time.
    assert abs(existing.stat().st_mtime - standin.now()) < 600


@pytest.mark.win32
@pytest.mark.parametrize("cancel_after, pieces", [
    pytest.param(0, 0, id="before-the-first-piece"),
    pytest.param(2, 2, id="after-two-pieces"),
])
def test_cancel_leaves_local_file(run_host, standin, linked, existing, cancel_after, pieces):
    standin.seed_file("/User Notes/notes.txt", body_of(100000), client_mtime=MTIME)
    run = get(run_host, existing, "notes.txt", 1, "--mode", 1, "--cancel-after", cancel_after)
    assert run.exit_code == 1, run
    assert len(transfer_messages(run, 16)) == pieces
    # The cancel notice (kind of the mode, TransferPayload), then 4008, then the finishing notice.
    kinds = [(m["kind"], m["size"]) for m in run.messages if m["kind"] != 16]
    transfer, result = PAYLOAD_SIZES["transfer"], PAYLOAD_SIZES["result"]
    assert kinds == [(18, transfer), (24, transfer), (18, result)], run.messages
    assert failure(run) == (4008, 2)
    notice = final_notice(run, 1)
    assert notice["payload"]["result"] == 0
    assert not notice["tag_ok"], "a cancelled fetch ends with a zeroed tag"
    assert_untouched(existing)


def test_connection_closed_mid_body_without_a_length(run_host, standin, linked, existing):
    # No Content-Length: the closed connection ends the reading like the end of
    # the body would; only the metadata's size tells the 50,000 bytes from the file.
    standin.seed_file("/User Notes/notes.txt", body_of(200000), client_mtime=MTIME)
    standin.inject("no_length", path="/1/files", send=50000)
    run = get(run_host, existing)
    assert run.exit_code == 1, run
    assert failure(run) == (4010, 2)
    assert sum(m["payload"]["count"] for m in transfer_messages(run, 16)) == 50000
    assert final_notice(run)["payload"]["result"] == 0
    assert_untouched(existing)


# The framings proxies and content networks give a reply: the file's size in the
# metadata proves a body whole whatever the framing, and nothing else can when
# there is no Content-Length.
@pytest.mark.parametrize("fault, whole", [
    pytest.param(dict(kind="chunked"), True, id="chunked"),
    pytest.param(dict(kind="chunked", send=40000), False, id="chunked-cut-inside-a-chunk"),
    pytest.param(dict(kind="chunked", send=32768), False, id="chunked-cut-between-chunks"),
    pytest.param(dict(kind="no_length"), True, id="closed-at-the-end"),
    pytest.param(dict(kind="no_length", send=40000), False, id="closed-early"),
    pytest.param(dict(kind="chunked", names=[METADATA]), False, id="chunked-without-a-size"),
    pytest.param(dict(kind="no_length", names=[METADATA]), False, id="closed-without-a-size"),
])
def test_length_proven_whatever_the_framing(run_host, standin, linked, existing, fault, whole):
    content = body_of(100000)
    standin.seed_file("/User Notes/notes.txt", content, client_mtime=MTIME)
    standin.inject(path="/1/files", **fault)
    run = get(run_host, existing)
    notice = final_notice(run)
    if whole:
        assert run.exit_code == 0, run
        assert notice["payload"]["result"] == 1
        assert existing.read_bytes() == content
        assert int(existing.stat().st_mtime) == MTIME_POSIX
        assert leftovers(existing.parent, existing) == []
    else:
        assert run.exit_code == 1, run
        assert failure(run) == (4010, 2)
        assert notice["payload"]["result"] == 0
        assert_untouched(existing)


@pytest.mark.parametrize("size", [
    pytest.param(7, id="metadata-names-more"),
    pytest.param(3, id="metadata-names-fewer"),
])
def test_metadata_size_other_than_the_body_fails(run_host, standin, linked, existing, size):
    # The body ("hello", 5 bytes) agrees with its Content-Length, not with the file's size.
    standin.inject("status", path="/1/files", status=200, body="hello", content_type="text/plain",
                   headers={METADATA: '{"bytes": %d, "client_mtime": "%s"}' % (size, MTIME)})
    run = get(run_host, existing)
    assert run.exit_code == 1, run
    assert failure(run) == (4010, 2)
    assert_untouched(existing)


def test_replace_failure_reported(run_host, standin, linked, tmp_path):
    # The target is a folder: the whole body arrives, but it cannot take the folder's place.
    target = tmp_path / "local" / "notes.txt"
    target.mkdir(parents=True)
    standin.seed_file("/User Notes/notes.txt", b"hello")
    run = get(run_host, target)
    assert run.exit_code == 1, run
    code, code_class = failure(run)
    assert code_class == 3 and code != 0
    assert target.is_dir() and leftovers(target.parent, target) == []


def test_not_linked_sends_no_request(run_host, standin, unlinked, existing):
    run = get(run_host, existing)
    assert run.exit_code == 1, run
    assert [m["kind"] for m in run.messages] == [17]
    assert final_notice(run)["payload"]["result"] == 0
    assert standin.requests() == []
    assert_untouched(existing)


def test_null_window_writes_result_only(run_host, standin, linked, tmp_path):
    standin.seed_file("/User Notes/notes.txt", body_of(40000), client_mtime=MTIME)
    run = get(run_host, tmp_path / "out.txt", "notes.txt", 1, "--null-window")
    assert run.exit_code == 0, run
    assert run.messages == []
    assert run.result("getRemoteMergeFile")["result_byte"] == 1
    assert (tmp_path / "out.txt").read_bytes() == body_of(40000)


@pytest.mark.parametrize("index", [3, 4294967295])
def test_folder_index_out_of_range_refused(run_host, standin, linked, tmp_path, index):
    standin.clear_requests()
    run = get(run_host, tmp_path / "out.txt", "notes.txt", index)
    start = run.result("getRemoteMergeFile")
    assert (start["return"], start["result_byte"]) == (1, 0)
    assert run.messages == [] and standin.requests() == []


# ---- Replacing the target ----

FILE_ATTRIBUTE_HIDDEN = 0x2
FILE_ATTRIBUTE_SYSTEM = 0x4
FILE_ATTRIBUTE_ARCHIVE = 0x20
# A creation time of the user's copy: 2005-06-01 00:00:00 UTC in FILETIME ticks.
OLD_CREATED = 127621152000000000


def file_info(run_host, path, *changes):
    """The file as Windows sees it (attributes, created, written, size), after the changes
    ("--attributes", N, "--created", TICKS) the host makes first."""
    run = run_host("file-info", windows_path(path), *map(str, changes))
    assert run.exit_code == 0, run
    (info,) = run.of("file")
    return info


@pytest.mark.parametrize("attributes", [
    pytest.param(None, id="new-file"),
    pytest.param(FILE_ATTRIBUTE_ARCHIVE, id="plain-target"),
    pytest.param(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE, id="hidden-system-target"),
])
def test_replaced_target_keeps_its_attributes(run_host, standin, linked, tmp_path, attributes):
    # The temporary file is hidden; what becomes the target shows the target's
    # own attributes, or a new file's.
    target = tmp_path / "local" / "notes.txt"
    target.parent.mkdir()
    if attributes is not None:
        target.write_bytes(OLD_CONTENT)
        assert file_info(run_host, target, "--attributes", attributes)["attributes"] == attributes
    standin.seed_file("/User Notes/notes.txt", b"new content", client_mtime=MTIME)
    run = get(run_host, target)
    assert run.exit_code == 0, run
    assert target.read_bytes() == b"new content"
    info = file_info(run_host, target)
    assert info["attributes"] & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) == (attributes or 0) & (
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), info
    assert leftovers(target.parent, target) == []


def test_replaced_target_keeps_its_creation_time(run_host, standin, linked, existing):
    info = file_info(run_host, existing, "--created", OLD_CREATED)
    if info["created"] != OLD_CREATED:
        pytest.skip(f"this system keeps no creation time that a program sets (reads back {info['created']})")
    standin.seed_file("/User Notes/notes.txt", b"new content", client_mtime=MTIME)
    run = get(run_host, existing)
    assert run.exit_code == 0, run
    info = file_info(run_host, existing)
    assert (info["created"], info["size"]) == (OLD_CREATED, len(b"new content")), info


def test_target_held_briefly_is_replaced_once_released(run_host, standin, linked, existing):
    # The host holds the target open (sharing reads only) until a quarter of a
    # second after the download's one piece: the first replace is refused, a
    # later one, within about a second, goes through.
    standin.seed_file("/User Notes/notes.txt", b"new content", client_mtime=MTIME)
    run = get(run_host, existing, "notes.txt", 1, "--hold-target", 250)
    assert run.exit_code == 0, run
    assert final_notice(run)["payload"]["result"] == 1
    assert existing.read_bytes() == b"new content"
    assert int(existing.stat().st_mtime) == MTIME_POSIX
    assert leftovers(existing.parent, existing) == []


def test_target_held_for_good_fails_and_stays(run_host, standin, linked, existing):
    standin.seed_file("/User Notes/notes.txt", b"new content", client_mtime=MTIME)
    run = get(run_host, existing, "notes.txt", 1, "--hold-target", 0)
    assert run.exit_code == 1, run
    code, code_class = failure(run)
    # Windows answers 32 or 1175, Wine 32.
    assert code_class == 3 and code in (5, 32, 33, 1175, 1176), (code, code_class)
    assert final_notice(run)["payload"]["result"] == 0
    assert_untouched(existing)


# ---- Temporary files ----

TEMPORARY_NAME = re.compile(r"^~vs[0-9a-f]{8}$")


@pytest.mark.parametrize("length", [240, 250, 255])
def test_names_up_to_the_limit_download(run_host, standin, linked, tmp_path, length):
    # The longest names a folder can hold: the temporary file's own short name always fits beside them.
    name = ("n" * length)[:length - 4] + ".txt"
    target = tmp_path / "local" / name
    target.parent.mkdir()
    standin.seed_file("/User Notes/notes.txt", body_of(40000), client_mtime=MTIME)
    run = get(run_host, target)
    assert run.exit_code == 0, run
    assert target.read_bytes() == body_of(40000)
    assert leftovers(target.parent, target) == []


@pytest.mark.parametrize("folder_length, name", [
    pytest.param(250, "n.txt", id="folder-near-max-path"),
    pytest.param(300, "notes.txt", id="past-max-path"),
])
def test_long_paths_download(run_host, standin, linked, tmp_path, folder_length, name):
    folder = tmp_path / "local"
    while len(windows_path(folder / ("f" * 60))) < folder_length:
        folder = folder / ("f" * 60)
    folder = folder / ("f" * (folder_length - len(windows_path(folder)) - 1))
    assert len(windows_path(folder)) == folder_length
    folder.mkdir(parents=True)
    target = folder / name
    target.write_bytes(OLD_CONTENT)
    standin.seed_file("/User Notes/notes.txt", body_of(40000), client_mtime=MTIME)
    run = get(run_host, target)
    assert run.exit_code == 0, run
    assert target.read_bytes() == body_of(40000)
    assert leftovers(folder, target) == []


def test_temporary_file_is_hidden_and_named_by_the_pattern(run_host, standin, linked, existing):
    # The reply stops after its first piece until the test lets it go on: the
    # temporary file is looked at while the download waits.
    standin.seed_file("/User Notes/notes.txt", body_of(100000), client_mtime=MTIME)
    fault = standin.inject("stall", path="/1/files", send=16384, seconds=120)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        download = pool.submit(get, run_host, existing)
        try:
            assert standin.wait_taken(fault, 60)
            deadline = time.monotonic() + 60
            while not leftovers(existing.parent, existing) and time.monotonic() < deadline:
                time.sleep(0.05)
            (temporary,) = leftovers(existing.parent, existing)
            assert TEMPORARY_NAME.match(temporary), temporary
            names = {e["name"]: e["attributes"] for e in run_host("names", windows_path(existing.parent)).of("name")}
            assert names[temporary] & FILE_ATTRIBUTE_HIDDEN, names
            assert not names[existing.name] & FILE_ATTRIBUTE_HIDDEN, names
            assert existing.read_bytes() == OLD_CONTENT
        finally:
            standin.release(fault)
        run = download.result(timeout=120)
    assert run.exit_code == 0, run
    assert existing.read_bytes() == body_of(100000)
    assert not file_info(run_host, existing)["attributes"] & FILE_ATTRIBUTE_HIDDEN
    assert leftovers(existing.parent, existing) == []


# ---- A full disk ----

@pytest.fixture
def small_disk(tmp_path):
    """A 256 KiB tmpfs (mounted inside the suite's own mount namespace) holding the user's copy.
    The 32-bit Wine runs in the i386 root, whose /tmp is a bind made before the test: a mount
    below /tmp reaches it only when bound there as well, at the same path."""
    mount = tmp_path / "small"
    mount.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)], check=True)
    views = [mount]
    try:
        if ARCH == "win32":
            inside = pathlib.Path(os.environ["VELMORA_E2E_ROOT32"] + str(mount))
            subprocess.run(["mount", "--bind", str(mount), str(inside)], check=True)
            views.insert(0, inside)
        target = mount / "notes.txt"
        target.write_bytes(OLD_CONTENT)
        os.utime(target, (OLD_TIME, OLD_TIME))
        yield target
    finally:
        for view in views:
            subprocess.run(["umount", str(view)], check=True)


def test_full_disk_reports_its_error_and_keeps_the_target(run_host, standin, linked, small_disk):
    standin.seed_file("/User Notes/notes.txt", body_of(1 << 20), client_mtime=MTIME)
    run = get(run_host, small_disk)
    assert run.exit_code == 1, run
    assert failure(run) == (112, 3)
    assert final_notice(run)["payload"]["result"] == 0
    assert_untouched(small_disk)
