"""What the reference host prints. Without --json: lines for people on stdout (a listing once,
as a table), failures on stderr with what to do next, the exit codes in --help. With --json:
nothing but JSON lines on stdout, the library's own diagnostic lines on stderr."""

import dataclasses
import json
import re

import pytest

from conftest import DLL_NAMES, TIME_SCALE, WINE_MARGIN, build_dir, run_wine, windows_path

MTIME = "Wed, 29 Oct 2014 19:30:19 +0000"
# The library's diagnostic lines, as it prints them.
LIBRARY_LINE = re.compile(r"^(Launching |Access token = |Response result: )")


@dataclasses.dataclass
class TextRun:
    exit_code: int
    stdout: list  # lines
    stderr: str


def run_text(*args, env=None, timeout=60):
    """velmora-sync.exe in text mode (no --json), with the shipped DLL, local time UTC."""
    command = [build_dir() / "velmora-sync.exe", "--timeout", str(timeout * TIME_SCALE), "--dll",
               windows_path(build_dir() / DLL_NAMES["shipped"]), *map(str, args)]
    done = run_wine(command, timeout + WINE_MARGIN, {"TZ": "UTC", **(env or {})})
    return TextRun(done.returncode, done.stdout.decode("utf-8").splitlines(), done.stderr.decode("utf-8"))


def columns(line):
    """A table row split at its column gaps (two spaces or more)."""
    return re.split(r" {2,}", line.strip())


# ---- text mode ----

def test_listing_is_shown_once_as_a_table(standin, linked):
    standin.seed_file("/User Notes/b.txt", b"x" * 1536)
    standin.seed_file("/User Notes/a note.txt", b"ten bytes!", client_mtime=MTIME)
    standin.seed_folder("/User Notes/Trip 2014")
    run = run_text("ls", "User%20Notes")
    assert run.exit_code == 0, run
    assert run.stdout[0] == "User Notes: 2 files, 1 folder, 1.5 KiB", run
    rows = [columns(line) for line in run.stdout[1:]]
    assert rows[:3] == [["NAME", "SIZE", "MODIFIED"], ["Trip 2014/", "-"], ["a note.txt", "10 B", "2014-10-29 19:30"]]
    assert rows[3][:2] == ["b.txt", "1.5 KiB"] and re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d", rows[3][2]), rows
    assert len(rows) == 4, rows
    # The listing text itself appears nowhere: not as the library's line, not raw.
    assert not any('"contents"' in line or LIBRARY_LINE.match(line) for line in run.stdout), run
    assert "Response result" not in run.stderr, run.stderr


def test_raw_listing_is_the_text_as_received(standin, linked):
    standin.seed_file("/User Notes/b.txt", b"bytes")
    run = run_text("ls", "User%20Notes", "--raw")
    assert run.exit_code == 0, run
    assert run.stdout == [json.dumps(standin.store.metadata(standin.default_uid, "/User Notes"))], run


def test_link_and_transfers_say_what_they_did(standin, unlinked, browser_log, tmp_path):
    log, env = browser_log
    run = run_text("link", env=env, timeout=30)
    assert run.exit_code == 0, run
    (address,) = log.read_text().splitlines()
    assert run.stdout == ["the authorization page is open in the browser: " + address,
                          f"linked as uid {standin.default_uid}"], run

    local = tmp_path / "Trip notes.txt"
    local.write_bytes(b"n" * 300_000)
    copy = tmp_path / "copy.txt"
    steps = [
        (["put", "User Notes/Trip notes.txt", windows_path(local)],
         r"uploaded User Notes/Trip notes\.txt \(293 KiB in \d+\.\d s\)"),
        (["get", "1", "Trip notes.txt", windows_path(copy)],
         r"downloaded User Notes/Trip notes\.txt \(293 KiB in \d+\.\d s\)"),
        (["count", "User%20Notes"], r"User Notes: 1 file"),
        (["rm", "1", "Trip notes.txt"], r"deleted User Notes/Trip notes\.txt"),
    ]
    for args, line in steps:
        run = run_text(*args)
        assert run.exit_code == 0, (args, run)
        assert len(run.stdout) == 1 and re.fullmatch(line, run.stdout[0]), (args, run)
        assert "\r" not in run.stderr, "no progress line where stderr is no terminal"
    assert copy.read_bytes() == local.read_bytes()


@pytest.mark.parametrize("account, args, exit_code, says", [
    pytest.param("unlinked", ["ls", "User%20Notes"], 1, ["error: not linked", "run velmora-sync link"],
                 id="not-linked"),
    pytest.param("linked", ["get", "1", "absent.txt", "{local}"], 1,
                 ["error: the download of User Notes/absent.txt failed: the service did not send the file "
                  "(code 4003: its answer was not 200 OK) ({local} is as it was)",
                  "check the name: velmora-sync ls FOLDER lists the folder"], id="no-such-file"),
    pytest.param("linked", ["rm", "7", "a.txt"], 1,
                 ["error: no folder has index 7", "the folder index is 0 (Highlights), 1 (User Notes) or 2 "
                  "(User Tools)"], id="no-such-folder"),
    pytest.param("linked", ["ls"], 2, ["error: usage: ls FOLDER [--raw] [--length BYTES]"], id="usage"),
])
def test_failures_say_what_to_do_next(request, standin, tmp_path, account, args, exit_code, says):
    request.getfixturevalue(account)
    local = windows_path(tmp_path / "absent.txt")
    run = run_text(*[arg.replace("{local}", local) for arg in args])
    assert run.exit_code == exit_code, run
    assert run.stdout == [], run
    assert run.stderr.splitlines() == [line.replace("{local}", local) for line in says], run.stderr


def test_verbose_shows_the_library_lines_on_stderr(standin, linked):
    standin.seed_file("/User Notes/b.txt", b"bytes")
    quiet = run_text("count", "User%20Notes")
    verbose = run_text("--verbose", "count", "User%20Notes")
    assert quiet.stdout == verbose.stdout == ["User Notes: 1 file"], (quiet, verbose)
    assert quiet.stderr == ""
    assert [line for line in verbose.stderr.splitlines() if LIBRARY_LINE.match(line)] == [
        "Response result: " + json.dumps(standin.store.metadata(standin.default_uid, "/User Notes"))]


def test_help_lists_the_commands_and_the_exit_codes():
    run = run_text("--help")
    assert run.exit_code == 0 and run.stderr == "", run
    text = "\n".join(run.stdout)
    for command in ("link", "creds", "init", "size", "ls", "count", "get", "rm", "put", "sync", "proxy", "crack",
                    "date"):
        assert re.search(rf"^  {command}( |$)", text, re.M), command
    codes = text[text.index("exit codes:"):].splitlines()
    assert codes[1:5] == ["  0  done", "  1  the operation failed (stderr says what went wrong and what to do next)",
                          "  2  bad options or arguments", "  3  the library did not finish within --timeout"], codes


# ---- --json ----

@pytest.mark.parametrize("account, command, starts", [
    pytest.param("unlinked", ["link"], ("Launching ", "Access token = "), id="link"),
    pytest.param("linked", ["ls", "User%20Notes"], ("Response result: ",), id="ls"),
])
def test_json_stdout_holds_only_events(request, run_host, standin, browser_log, account, command, starts):
    """The library prints on the C runtime's stdout, which the host shares: with --json its lines
    must reach stderr, never the events' stdout."""
    request.getfixturevalue(account)
    standin.seed_file("/User Notes/b.txt", b"bytes")
    run = run_host(*command, env=browser_log[1])
    assert run.exit_code == 0, run
    assert run.other_lines == [], run.other_lines
    for start in starts:
        assert [line for line in run.stderr_lines if line.startswith(start)], (start, run.stderr)
