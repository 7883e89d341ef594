"""velmora-sync.exe sync against the stand-in: the decision table as one table of scenarios (each
row checked on both sides' bytes and on the state), first runs, the guards, a dry run, names that
are easy to get wrong, failures in the middle of a run and a host killed at each step."""

import concurrent.futures
import json
import os
import re
import shutil
import time

import pytest

from conftest import windows_path

FOLDERS = ("Highlights", "User Notes", "User Tools")
NOTES = "User Notes"
LISTING_CALL = re.compile(r"^/1/metadata\?root=sandbox&path=%2F(Highlights|User%20Notes|User%20Tools)&")
CONFLICT = re.compile(r"^(?P<stem>.+) \(conflicted copy (?P<host>[A-Za-z0-9_-]+) \d{4}-\d{2}-\d{2}\)(?P<ext>\.\w+)?$")


class Sides:
    """Both sides of a sync: the local folder (with its state file) and the stand-in's account."""

    def __init__(self, standin, root):
        self.standin = standin
        self.root = root

    def local(self, folder=NOTES):
        """{name: bytes} of the files directly in a local folder."""
        path = self.root / folder
        if not path.is_dir():
            return {}
        return {p.name: p.read_bytes() for p in path.iterdir() if p.is_file()}

    def remote(self, folder=NOTES):
        """{name: bytes} of the files of a remote folder."""
        try:
            entries = self.standin.list_folder("/" + folder)
        except Exception:  # the folder does not exist
            return {}
        return {e["path"].rsplit("/", 1)[1]: self.standin.read_file(e["path"]) for e in entries if not e["is_dir"]}

    def revs(self, folder=NOTES):
        try:
            entries = self.standin.list_folder("/" + folder)
        except Exception:  # the folder does not exist
            return {}
        return {e["path"].rsplit("/", 1)[1]: e["rev"] for e in entries if not e["is_dir"]}

    def write(self, name, content, folder=NOTES):
        path = self.root / folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
        return path

    def seed(self, name, content, folder=NOTES):
        return self.standin.seed_file("/%s/%s" % (folder, name), content)

    @property
    def state_file(self):
        return self.root / ".velmora-sync.json"

    def state(self):
        """{(folder, name): entry} of the state file."""
        document = json.loads(self.state_file.read_text(encoding="utf-8"))
        return {(e["folder"], e["name"]): e for e in document["state"]["files"]}

    def snapshot(self):
        """Everything both sides hold, for 'nothing was written'."""
        local = {}
        for path in sorted(self.root.rglob("*")):
            if path.is_file():
                stat = path.stat()
                local[str(path.relative_to(self.root))] = (path.read_bytes(), stat.st_mtime_ns)
        remote = {folder: (self.remote(folder), self.revs(folder) if self.remote(folder) else {})
                  for folder in FOLDERS}
        return local, remote

    def assert_in_step(self, folder=NOTES):
        """Both sides hold the same files, and the state records each as its disk and listing show it."""
        local, remote = self.local(folder), self.remote(folder)
        # Names that differ only in case are one file.
        assert {n.lower(): b for n, b in local.items()} == {n.lower(): b for n, b in remote.items()}
        state = {name: e for (f, name), e in self.state().items() if f == folder}
        assert {n.lower() for n in state} == {n.lower() for n in local}
        revs = {n.lower(): r for n, r in self.revs(folder).items()}
        for name, entry in state.items():
            stat = (self.root / folder / name).stat()
            assert entry["rev"] == revs[name.lower()], name
            assert entry["local_size"] == stat.st_size == entry["remote_size"], name
            assert entry["local_mtime"] == stat.st_mtime_ns // 100 + 116444736000000000, name


@pytest.fixture
def sides(standin, linked, tmp_path):
    root = tmp_path / "local"
    root.mkdir()
    for folder in FOLDERS:
        standin.seed_folder("/" + folder)
    return Sides(standin, root)


@pytest.fixture
def sync(run_host, sides):
    """sync(*options, env=None, crash_at=None) -> HostRun of `sync LOCALDIR OPTIONS` with the test
    DLL; nothing the library handed out may be left (unless the run was killed at crash_at)."""
    def run(*options, env=None, root=None, check_blocks=True, crash_at=None):
        done = run_host("sync", windows_path(root or sides.root), *options, dll="faults", env=env, timeout=120,
                        crash_at=crash_at)
        if check_blocks and crash_at is None:
            assert done.counters["outstanding_blocks"] == 0, done
        return done
    return run


def why(run):
    """What a run said went wrong, for assertion messages."""
    return run.of("abort") + run.of("failed") + run.of("error") + [run.stderr[-2000:]]


def listing_requests_only(standin):
    requests = standin.requests()
    return all(r["verb"] == "POST" and LISTING_CALL.match(r["path"]) for r in requests), len(requests)


def done_events(run, action=None):
    return [e for e in run.of("done") if action is None or e["action"] == action]


# ---- the decision table ----

BASE = b"as last synced\n"
LOCAL = b"edited here\n"
REMOTE = b"edited on another device\n"
SAME = b"the same edit on both sides\n"
# Bystanders keep the deletes of a row under the default delete guard.
BYSTANDERS = {"keep 1.txt": b"one\n", "keep 2.txt": b"two\n"}


def local_op(sides, op, name="f.txt"):
    if op == "delete":
        (sides.root / NOTES / name).unlink()
    elif op is not None:
        sides.write(name, op)


def remote_op(sides, op, name="f.txt"):
    if op == "delete":
        sides.standin.store.delete(sides.standin.default_uid, "/%s/%s" % (NOTES, name))
    elif op is not None:
        sides.seed(name, op)


# name, in the last sync (None: the file is new), local change, remote change,
# expected file on both sides (None: gone), the local file's conflicted copy (None: no copy)
ROWS = [
    pytest.param(True, None, None, BASE, None, id="same-same-nothing"),
    pytest.param(True, LOCAL, None, LOCAL, None, id="changed-same-upload"),
    pytest.param(False, LOCAL, None, LOCAL, None, id="new-absent-upload"),
    pytest.param(True, None, REMOTE, REMOTE, None, id="same-changed-download"),
    pytest.param(False, None, REMOTE, REMOTE, None, id="absent-new-download"),
    pytest.param(True, "delete", None, None, None, id="deleted-same-delete-remotely"),
    pytest.param(True, None, "delete", None, None, id="same-deleted-trash"),
    pytest.param(True, "delete", REMOTE, REMOTE, None, id="deleted-changed-download"),
    pytest.param(True, LOCAL, "delete", LOCAL, None, id="changed-deleted-upload"),
    pytest.param(True, "delete", "delete", None, None, id="deleted-deleted-forget"),
    pytest.param(True, SAME, SAME, SAME, None, id="both-changed-same-bytes"),
    pytest.param(False, SAME, SAME, SAME, None, id="both-new-same-bytes"),
    pytest.param(True, LOCAL, REMOTE, REMOTE, LOCAL, id="both-changed-conflict"),
    pytest.param(False, LOCAL, REMOTE, REMOTE, LOCAL, id="both-new-conflict"),
]


@pytest.mark.parametrize("synced, local_change, remote_change, expected, copy", ROWS)
def test_decision_table(sides, sync, synced, local_change, remote_change, expected, copy):
    for name, content in BYSTANDERS.items():
        sides.seed(name, content)
    if synced:
        sides.seed("f.txt", BASE)
    first = sync()
    assert first.exit_code == 0, why(first)
    revs_before = sides.revs()
    local_op(sides, local_change)
    remote_op(sides, remote_change)
    time.sleep(0.01)
    run = sync()
    assert run.exit_code == 0, why(run)
    local, remote = sides.local(), sides.remote()
    copies = [n for n in local if CONFLICT.match(n)]
    if copy is None:
        assert copies == []
    else:
        (copy_name,) = copies
        assert CONFLICT.match(copy_name)["stem"] == "f"
        assert local[copy_name] == remote[copy_name] == copy
        assert [e["to"] for e in done_events(run, "conflict")] == [copy_name]
    assert local.get("f.txt") == remote.get("f.txt") == expected
    for name, content in BYSTANDERS.items():
        assert local[name] == remote[name] == content
    sides.assert_in_step()
    trashed = sides.root / ".velmora-trash" / NOTES / "f.txt"
    assert trashed.exists() == (remote_change == "delete" and local_change is None)
    if trashed.exists():
        assert trashed.read_bytes() == BASE
    if local_change is None and remote_change is None:
        assert sides.revs() == revs_before and done_events(run) == []


def test_second_run_makes_only_the_listing_requests(sides, sync):
    for i in range(5):
        sides.seed("remote %d.txt" % i, b"r%d" % i)
        sides.write("local %d.txt" % i, b"l%d" % i, folder="Highlights")
    assert sync().exit_code == 0
    state = sides.state_file.read_bytes()
    sides.standin.clear_requests()
    run = sync()
    assert run.exit_code == 0, why(run)
    only_listings, count = listing_requests_only(sides.standin)
    assert only_listings and count == 6, sides.standin.requests()
    assert sides.state_file.read_bytes() == state
    assert done_events(run) == []


# ---- first runs ----

def test_first_sync_into_an_empty_folder(sides, sync):
    sides.seed("a.txt", b"a")
    sides.seed("b.json", b"{}", folder="Highlights")
    run = sync()
    assert run.exit_code == 0, why(run)
    assert sides.local() == {"a.txt": b"a"} and sides.local("Highlights") == {"b.json": b"{}"}
    assert (sides.root / "User Tools").is_dir()
    for folder in FOLDERS:
        sides.assert_in_step(folder)


def test_first_sync_from_an_empty_account(standin, linked, tmp_path, run_host):
    # No application folder at all: the first run makes them.
    root = tmp_path / "local"
    sides = Sides(standin, root)
    sides.write("n.txt", b"note")
    sides.write("t.bin", b"\x00tool", folder="User Tools")
    run = run_host("sync", windows_path(root), dll="faults", timeout=120)
    assert run.exit_code == 0, why(run)
    assert sides.remote() == {"n.txt": b"note"} and sides.remote("User Tools") == {"t.bin": b"\x00tool"}
    for folder in FOLDERS:
        sides.assert_in_step(folder)


def test_first_sync_deletes_nothing_and_keeps_both(sides, sync):
    sides.seed("both.txt", REMOTE)
    sides.write("both.txt", LOCAL)
    sides.seed("same.txt", SAME)
    sides.write("same.txt", SAME)
    run = sync()
    assert run.exit_code == 0, why(run)
    local = sides.local()
    (copy,) = [n for n in local if CONFLICT.match(n)]
    assert local["both.txt"] == REMOTE and local[copy] == LOCAL
    assert local == sides.remote()
    assert run.of("done") and not done_events(run, "delete_remote") and not done_events(run, "trash")
    sides.assert_in_step()


def test_resync_deletes_nothing(sides, sync):
    sides.seed("a.txt", b"a")
    sides.seed("b.txt", b"b")
    assert sync().exit_code == 0
    (sides.root / NOTES / "a.txt").unlink()
    run = sync("--resync")
    assert run.exit_code == 0, why(run)
    assert sides.local() == sides.remote() == {"a.txt": b"a", "b.txt": b"b"}
    sides.assert_in_step()


@pytest.mark.parametrize("spoil, read", [
    pytest.param(("state",), "backup", id="state-corrupt-backup-read"),
    pytest.param(("state", "backup"), "none", id="both-corrupt-no-state"),
])
def test_corrupt_state_falls_back(sides, sync, spoil, read):
    for name in ("a.txt", "b.txt", "c.txt"):
        sides.seed(name, name.encode())
    assert sync().exit_code == 0
    files = {"state": sides.state_file, "backup": sides.root / ".velmora-sync.json.bak"}
    assert files["backup"].exists()
    for which in spoil:
        text = files[which].read_bytes()
        files[which].write_bytes(text[:len(text) // 2])
    sides.write("new.txt", b"new")
    run = sync()
    assert run.exit_code == 0, why(run)
    (state_event,) = [e for e in run.of("state") if "read" in e]
    assert state_event["read"] == read and state_event["used"] == (read != "none")
    assert sides.remote() == {"a.txt": b"a.txt", "b.txt": b"b.txt", "c.txt": b"c.txt", "new.txt": b"new"}
    sides.assert_in_step()


# ---- guards: nothing written ----

def assert_nothing_written(sides, before, run):
    assert sides.snapshot() == before
    assert all(r["verb"] == "POST" and LISTING_CALL.match(r["path"]) for r in sides.standin.requests()), \
        sides.standin.requests()


@pytest.fixture
def synced(sides, sync):
    """Four synced notes; the request log cleared."""
    for i in range(4):
        sides.seed("n%d.txt" % i, b"note %d" % i)
    assert sync().exit_code == 0
    sides.standin.clear_requests()
    return sides


def test_listing_failure_mid_run_writes_nothing(synced, sync):
    synced.write("new.txt", b"new")
    synced.seed("n0.txt", b"changed remotely")
    (synced.root / NOTES / "n1.txt").unlink()
    before = synced.snapshot()
    synced.standin.clear_requests()
    # The size query of the tools folder answers as usual (faults match in order); its listing fails.
    synced.standin.inject("delay", verb="POST", path_regex=r"path=%2FUser%20Tools&", delay=0)
    synced.standin.inject("status", verb="POST", path_regex=r"path=%2FUser%20Tools&", status=500)
    run = sync()
    assert run.exit_code == 2, why(run)
    assert "listing of User Tools failed" in run.of("abort")[0]["reason"]
    assert len([r for r in synced.standin.requests() if "User%20Tools" in r["path"]]) == 2
    assert_nothing_written(synced, before, run)


def test_local_folder_deleted_aborts(synced, sync):
    shutil.rmtree(synced.root / NOTES)
    before = synced.snapshot()
    run = sync()
    assert run.exit_code == 2, why(run)
    assert "missing" in run.of("abort")[0]["reason"]
    assert_nothing_written(synced, before, run)
    assert len(synced.remote()) == 4


def test_whole_local_root_gone_aborts(synced, sync):
    shutil.rmtree(synced.root)
    run = sync()
    assert run.exit_code == 2, why(run)
    assert synced.standin.requests() == [] and len(synced.remote()) == 4


@pytest.mark.parametrize("max_delete, exit_code", [
    pytest.param(None, 2, id="default-50-percent"),
    pytest.param("75", 0, id="allowed-75-percent"),
])
def test_delete_guard(synced, sync, max_delete, exit_code):
    for i in range(3):
        (synced.root / NOTES / ("n%d.txt" % i)).unlink()
    before = synced.snapshot()
    run = sync(*(["--max-delete", max_delete] if max_delete else []))
    assert run.exit_code == exit_code, why(run)
    if exit_code == 2:
        assert_nothing_written(synced, before, run)
    else:
        assert synced.remote() == {"n3.txt": b"note 3"}
        synced.assert_in_step()


def test_one_side_emptied_aborts(synced, sync):
    for entry in synced.standin.list_folder("/" + NOTES):
        synced.standin.store.delete(synced.standin.default_uid, entry["path"])
    before = synced.snapshot()
    run = sync("--max-delete", "99")
    assert run.exit_code == 2, why(run)
    assert "remote folders hold no file" in run.of("abort")[0]["reason"]
    assert_nothing_written(synced, before, run)


def test_dry_run_writes_nothing(synced, sync):
    synced.write("new.txt", b"new")
    synced.seed("n0.txt", b"changed remotely")
    (synced.root / NOTES / "n1.txt").unlink()
    synced.standin.clear_requests()
    before = synced.snapshot()
    run = sync("--dry-run")
    assert run.exit_code == 0, why(run)
    planned = {(e["name"], e["action"]) for e in run.of("decision") if e["action"] != "none"}
    assert planned == {("new.txt", "upload"), ("n0.txt", "download"), ("n1.txt", "delete_remote")}
    assert_nothing_written(synced, before, run)


def test_two_syncs_of_one_folder_at_once(synced, sync, tmp_path):
    # A held listing keeps the first sync running while the second starts.
    held = synced.standin.inject("delay", verb="POST", path_regex=r"path=%2FHighlights&", hold=60)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        first = pool.submit(sync)
        assert synced.standin.wait_taken(held, 60)
        second = sync()
        synced.standin.release(held)
        assert first.result().exit_code == 0
    assert second.exit_code == 2 and "another sync" in second.of("abort")[0]["reason"], second


# ---- names ----

NAMES = ["with spaces.txt", "Café – ½.txt", "a]b [c].txt", "Ωμέγα.md"]


def test_names_that_are_easy_to_get_wrong(sides, sync):
    for name in NAMES:
        sides.seed(name, name.encode())
    sides.write("local ] one.txt", b"up")
    # A case-only difference between the sides is one file.
    sides.seed("Report.TXT", b"report")
    sides.write("report.txt", b"report")
    run = sync()
    assert run.exit_code == 0, why(run)
    local = sides.local()
    assert {n: local[n] for n in NAMES} == {n: n.encode() for n in NAMES}
    assert sides.remote()["local ] one.txt"] == b"up"
    assert [n for n in local if n.lower() == "report.txt"] == ["report.txt"]
    assert [n for n in sides.remote() if n.lower() == "report.txt"] == ["Report.TXT"]
    assert not [n for n in local if CONFLICT.match(n)]
    sides.assert_in_step()
    sides.standin.clear_requests()
    again = sync()
    assert again.exit_code == 0 and done_events(again) == [], again
    assert listing_requests_only(sides.standin) == (True, 6)


def test_remote_names_that_collide_are_skipped(sides, sync):
    sides.seed("other.txt", b"other")
    listing = json.loads(json.dumps(sides.standin.store.metadata(sides.standin.default_uid, "/" + NOTES)))
    twin = dict(listing["contents"][0], path="/User Notes/Twin.txt", rev="99" + listing["contents"][0]["rev"][-8:])
    listing["contents"] += [dict(twin), dict(twin, path="/User Notes/twin.TXT")]
    body = json.dumps(listing)
    # The size query and the listing of the notes (not the folder creation) answer with it.
    sides.standin.inject("status", verb="POST", path_regex=r"^/1/metadata\?root=sandbox&path=%2FUser%20Notes&",
                         status=200, body=body, content_type="text/javascript", count=2)
    run = sync()
    assert run.exit_code == 0, why(run)
    skipped = sorted(e["name"] for e in run.of("decision") if e["action"] == "skip")
    assert skipped == ["Twin.txt", "twin.TXT"]
    assert sides.local() == {"other.txt": b"other"}


def test_temporary_download_files_are_never_synced(sides, sync):
    sides.write("~vs0123abcd", b"half a download")
    sides.write("kept.txt", b"kept")
    run = sync()
    assert run.exit_code == 0, why(run)
    assert sides.remote() == {"kept.txt": b"kept"}


# ---- failures in one transfer ----

@pytest.mark.parametrize("direction, fault", [
    pytest.param("down", dict(verb="GET", path_regex=r"^/1/files\?.*f2%2Etxt"), id="download"),
    pytest.param("up", dict(verb="POST", path_regex=r"^/1/commit_chunked_upload/sandbox/User%20Notes%2Ff2%2Etxt"),
                 id="upload-commit"),
])
def test_dropped_connection_in_one_transfer(sides, sync, direction, fault):
    for i in range(4):
        if direction == "down":
            sides.seed("f%d.txt" % i, b"file %d" % i)
        else:
            sides.write("f%d.txt" % i, b"file %d" % i)
    sides.standin.inject("drop", count=10, **fault)
    run = sync()
    assert run.exit_code == 1, why(run)
    assert [e["name"] for e in run.of("failed")] == ["f2.txt"]
    side = sides.local() if direction == "down" else sides.remote()
    assert set(side) == {"f0.txt", "f1.txt", "f3.txt"}
    assert set(n for _, n in sides.state()) == {"f0.txt", "f1.txt", "f3.txt"}
    sides.standin.clear_faults()
    again = sync()
    assert again.exit_code == 0, why(again)
    assert [e["name"] for e in done_events(again)] == ["f2.txt"]
    sides.assert_in_step()


NOTES_LISTING = r"^/1/metadata\?root=sandbox&path=%2FUser%20Notes&"


# A change on the other side while the run is under way: the sync looks again just before it
# acts (the listing before an upload or a delete, the local file before a download replaces it),
# and an edit found there is never overwritten nor deleted.
@pytest.mark.parametrize("local_change, remote_change, held, expected, copy", [
    # the listing that opens the upload's wave is held (the run's own listing pair passes first)
    pytest.param(LOCAL, None, "relisting", REMOTE, LOCAL, id="upload-remote-edited-meanwhile"),
    pytest.param("delete", None, "relisting", REMOTE, None, id="delete-remote-edited-meanwhile"),
    # the download is held
    pytest.param(None, REMOTE, "download", REMOTE, LOCAL, id="download-local-edited-meanwhile"),
])
def test_change_during_the_run_is_kept(sides, sync, local_change, remote_change, held, expected, copy):
    for name, content in BYSTANDERS.items():
        sides.seed(name, content)
    sides.seed("f.txt", BASE)
    assert sync().exit_code == 0
    local_op(sides, local_change)
    remote_op(sides, remote_change)
    if held == "relisting":
        sides.standin.inject("delay", verb="POST", path_regex=NOTES_LISTING, delay=0, count=2)
        hold = sides.standin.inject("delay", verb="POST", path_regex=NOTES_LISTING, hold=60)
    else:
        hold = sides.standin.inject("delay", verb="GET", path_regex=r"^/1/files\?.*f%2Etxt", hold=60)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        running = pool.submit(sync)
        try:
            assert sides.standin.wait_taken(hold, 60)
            if held == "relisting":
                sides.seed("f.txt", REMOTE)
            else:
                sides.write("f.txt", LOCAL)
        finally:
            sides.standin.release(hold)
        run = running.result()
    assert run.exit_code == 0, why(run)
    local, remote = sides.local(), sides.remote()
    assert local == remote
    assert local["f.txt"] == expected
    copies = [n for n in local if CONFLICT.match(n)]
    assert [local[n] for n in copies] == ([copy] if copy else [])
    sides.assert_in_step()


def test_stale_parent_revision_copy_is_mirrored(sides, sync, run_host):
    sides.seed("s.txt", BASE)
    assert sync().exit_code == 0
    sides.write("s.txt", LOCAL)
    held = sides.standin.inject("delay", verb="POST", path="/1/commit_chunked_upload", hold=60)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        running = pool.submit(sync)
        try:
            assert sides.standin.wait_taken(held, 60)
            sides.seed("s.txt", REMOTE)  # another device commits while ours waits
        finally:
            sides.standin.release(held)
        first = running.result()
    assert sides.remote() == {"s.txt": REMOTE, "s (conflicted copy).txt": LOCAL}
    assert first.exit_code == 0, why(first)
    run = sync()
    assert run.exit_code == 0, why(run)
    assert sides.local() == sides.remote() == {"s.txt": REMOTE, "s (conflicted copy).txt": LOCAL}
    sides.assert_in_step()


# ---- a host killed at each step ----

def crash_scenario(sides):
    """One change of every kind, after a synced start."""
    for name in ("up.txt", "down.txt", "del.txt", "trash.txt", "both.txt", "k1.txt", "k2.txt", "k3.txt", "k4.txt"):
        sides.seed(name, BASE)


@pytest.mark.parametrize("step", ["listed", "downloaded", "uploaded", "deleted", "trashed", "conflict-renamed",
                                  "state-saved", "between-state-moves"])
def test_killed_at_each_step_converges(sides, sync, step):
    crash_scenario(sides)
    assert sync().exit_code == 0
    sides.write("up.txt", LOCAL)
    sides.seed("down.txt", REMOTE)
    (sides.root / NOTES / "del.txt").unlink()
    remote_op(sides, "delete", "trash.txt")
    sides.write("both.txt", LOCAL)
    sides.seed("both.txt", REMOTE)
    killed = sync("--jobs", "1", crash_at=step)
    assert killed.killed_at == step, (killed.exit_code, why(killed))
    run = sync()
    assert run.exit_code == 0, why(run)
    local, remote = sides.local(), sides.remote()
    assert local == remote
    (copy,) = [n for n in local if CONFLICT.match(n)]
    assert local["both.txt"] == REMOTE and local[copy] == LOCAL
    assert local["up.txt"] == LOCAL and local["down.txt"] == REMOTE
    assert "del.txt" not in local and "trash.txt" not in local
    sides.assert_in_step()
    sides.standin.clear_requests()
    assert done_events(sync()) == []
    assert listing_requests_only(sides.standin) == (True, 6)


# ---- many files at once ----

@pytest.mark.win32
def test_big_listings_at_once_leave_the_host_free(sides, run_host):
    """Three listings of over 100 KB each at once: the library prints each as one diagnostic
    line, which waits on the host's output pipe while the host's reader forwards the line
    before it to stderr. A line that held a lock of the runtime's that the reader needs
    while it waited stopped both for good."""
    name = "a rather long file name, so that each entry of the listing takes room %03d.txt"
    for folder in FOLDERS:
        for i in range(300):
            sides.seed(name % i, b"x", folder=folder)
    for _ in range(4):
        run = run_host("sync", windows_path(sides.root), "--dry-run", dll="faults", timeout=20)
        assert run.exit_code == 0, why(run)
        assert [e["name"] for e in run.of("phase")][:3] == ["prepared", "window", "listed"]
        assert min(m["size"] for m in run.messages if m.get("op") == "size") > 100_000


def test_hundreds_of_small_files_with_eight_jobs(sides, sync):
    for i in range(150):
        sides.seed("r%03d.txt" % i, b"remote %d\n" % i)
        sides.write("l%03d.txt" % i, b"local %d\n" % i, folder="User Tools")
    run = sync("--jobs", "8")
    assert run.exit_code == 0, why(run)
    assert len(done_events(run, "down")) == 150 and len(done_events(run, "up")) == 150
    for folder in FOLDERS:
        sides.assert_in_step(folder)
    sides.standin.clear_requests()
    assert done_events(sync()) == []
    assert listing_requests_only(sides.standin) == (True, 6)
