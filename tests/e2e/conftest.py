"""Fixtures of the end-to-end suite: the reference host under Wine (wine64, or
the 32-bit Wine under emulation), the test prefix's registry, and the service
stand-in. Runs only through scripts/e2e, which provides the namespaces, the
prefix and the wineserver."""

import dataclasses
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The build under test (scripts/e2e --arch): win64 under wine64, or win32, the
# shipped DLL, under the 32-bit Wine of the i386 root, emulated by qemu-i386.
ARCH = os.environ.get("VELMORA_E2E_ARCH", "win64")
WINE = "/usr/lib/wine/wine64"
DLL_NAMES = {
    "win64": {"shipped": "VelmoraSync64.dll", "faults": "VelmoraSync64Faults.dll"},
    "win32": {"shipped": "VelmoraSync.dll", "faults": "VelmoraSyncFaults.dll"},
}[ARCH]
# HostMessage.size of each payload as the host of this build receives it:
# pointers are 8 or 4 bytes, and the 64-bit payloads end aligned to 8.
POINTER_SIZE = {"win64": 8, "win32": 4}[ARCH]
PAYLOAD_SIZES = {
    "win64": {"result": 24, "transfer": 32, "listing": 48, "listing_size": 40, "link_status": 40},
    "win32": {"result": 20, "transfer": 32, "listing": 32, "listing_size": 28, "link_status": 32},
}[ARCH]
# Seconds the outer `timeout` allows beyond the host's own --timeout.
WINE_MARGIN = 30
# Under emulation every program runs several times slower (a warm start takes 0.6 s instead of
# 0.1 s, CPU-bound code 5 to 20 times longer): every time limit grows by this factor there,
# the outer one of each Wine program and each --timeout of the host alike. Assertions never do.
TIME_SCALE = {"win64": 1, "win32": 4}[ARCH]

# The stand-in is optional until the service package has it.
sys.path.insert(0, str(ROOT))
try:
    from service.standin import StandIn, load_constants
except ImportError:  # pragma: no cover - depends on the tree's state
    StandIn = None


def pytest_configure(config):
    if os.environ.get("VELMORA_E2E_INSIDE") != "1":
        pytest.exit("run the e2e suite through scripts/e2e (it sets up the namespaces and the prefix)", 4)
    config.addinivalue_line("markers", "win32: also in the test command's pass over the shipped 32-bit DLL "
                                       "(scripts/e2e --arch win32 -m win32)")
    config.addinivalue_line("markers", "not_win32(reason): cannot run under the 32-bit emulation; skipped there "
                                       "with the reason")


def pytest_collection_modifyitems(config, items):
    if ARCH != "win32":
        return
    for item in items:
        marker = item.get_closest_marker("not_win32")
        if marker is not None:
            reason = marker.kwargs.get("reason") or (marker.args[0] if marker.args else "")
            assert reason, f"{item.nodeid}: not_win32 needs its reason"
            item.add_marker(pytest.mark.skip(reason="not under the 32-bit emulation: " + reason))


def wine_command():
    """The Wine loader of the build under test, as a command prefix: wine64, or the
    32-bit loader inside the session's view of the i386 root (same paths as outside)."""
    if ARCH == "win32":
        return ["chroot", os.environ["VELMORA_E2E_ROOT32"], "/usr/lib/wine/wine"]
    return [WINE]


def build_dir():
    return pathlib.Path(os.environ.get("VELMORA_E2E_BUILD", ROOT / "build" / "win64"))


def windows_path(path):
    """The Z: drive path Wine gives a Unix path."""
    return "Z:" + str(path).replace("/", "\\")


def wine_env(extra=None):
    """The environment of every Wine program: no display, no proxy variables, no debug output but
    the address-space errors."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                        "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY")}
    # As scripts/lib/wine-environment.sh: a start that dies in Wine's address-space set-up says why.
    env["WINEDEBUG"] = "-all,err+virtual"
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env.update(extra or {})
    return env


def run_wine(args, timeout, env=None):
    """Runs one Wine program under `timeout`; returns the CompletedProcess (bytes).

    Output goes through files, not pipes: Wine's helper processes (winedevice,
    explorer) may inherit the handles and outlive the program, and a pipe would
    then never reach its end. A program that dies of a signal fails the test,
    whatever it printed before."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(["timeout", "--kill-after=5", str(timeout * TIME_SCALE), *wine_command(),
                               *map(str, args)],
                              env=wine_env(env), stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        out.seek(0)
        err.seek(0)
        done = subprocess.CompletedProcess(done.args, done.returncode, out.read(), err.read())
    if done.returncode < 0:
        pytest.fail(f"{' '.join(map(str, args))}: killed by {signal.Signals(-done.returncode).name}\n"
                    f"stdout: {done.stdout.decode('utf-8', 'replace')}\nstderr: {done.stderr.decode('utf-8', 'replace')}")
    return done


def run_wine_to_crash_point(args, step, timeout, env=None):
    """Runs one Wine program with VELMORA_SYNC_CRASH_AT=step and, once it says on stderr that it
    has stopped there, kills it with SIGKILL, as a power cut would end it: nothing of Wine's
    exit runs. Returns the CompletedProcess (bytes) and whether it was killed at the step.

    Output goes through files, as in run_wine; stderr is read with pread, which leaves the
    offset the program writes at alone."""
    mark = f"crash point: {step}\n".encode()
    killed_at_step = False
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        process = subprocess.Popen([*wine_command(), *map(str, args)],
                                   env=wine_env(dict(env or {}, VELMORA_SYNC_CRASH_AT=step)),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        deadline = time.monotonic() + timeout * TIME_SCALE
        while process.poll() is None:
            if mark in os.pread(err.fileno(), 1 << 20, 0):
                process.kill()
                killed_at_step = True
                break
            if time.monotonic() > deadline:
                process.kill()
                break
            time.sleep(0.02)
        process.wait()
        out.seek(0)
        err.seek(0)
        done = subprocess.CompletedProcess(process.args, process.returncode, out.read(), err.read())
    return done, killed_at_step


@dataclasses.dataclass
class HostRun:
    """One run of velmora-sync.exe --json: its exit code, the JSON events, any other stdout lines
    (none: the host keeps the library's diagnostic lines off its stdout) and stderr."""
    exit_code: int
    events: list
    other_lines: list
    stderr: str
    summary: dict = None  # of one run of --repeat or --fault-loop: its closing "run" event
    killed_at: str = None  # the crash point at which the harness killed it (run_host's crash_at)

    def of(self, event):
        return [e for e in self.events if e["event"] == event]

    def results(self, export):
        return [e for e in self.of("result") if e["export"] == export]

    def result(self, export):
        """The one result event of `export`."""
        found = self.results(export)
        assert len(found) == 1, f"{export}: {len(found)} results in {self.events}"
        return found[0]

    @property
    def messages(self):
        return self.of("message")

    @property
    def stderr_lines(self):
        """The non-empty lines of stderr, stripped: with --json the library's own diagnostic
        lines ("Launching ...", "Access token = ...", "Response result: ...") are among them."""
        return [line.strip() for line in self.stderr.splitlines() if line.strip()]

    @property
    def runs(self):
        """The runs of --repeat or --fault-loop in order, each a HostRun of the events
        tagged with its iteration: exit_code is the command's code, summary the closing
        "run" event (open handles, outstanding blocks, failed allocations)."""
        grouped = {}
        for event in self.events:
            if "iteration" in event:
                grouped.setdefault(event["iteration"], []).append(event)
        assert list(grouped) == list(range(1, len(grouped) + 1)), list(grouped)
        runs = []
        for events in grouped.values():
            (summary,) = [e for e in events if e["event"] == "run"]
            runs.append(HostRun(summary["code"], [e for e in events if e is not summary], [], "", summary))
        return runs

    def fault_loop_runs(self, kind="alloc"):
        """The runs of --fault-loop KIND, checked to be what the loop promises: run N
        met exactly one injected failure (its N-th call of the kind), the last run
        none, every run's workers had ended before its counters were read, and
        only allocation failures count as out of memory."""
        runs = self.runs
        assert self.of("fault_loop") == [{"event": "fault_loop", "kind": kind, "runs": len(runs), "clean": True}], \
            self.events
        for n, run in enumerate(runs, 1):
            assert run.summary["workers_ended"], (n, run.summary)
            failures = 0 if n == len(runs) else 1
            assert run.summary["injected"] == failures, (n, run.summary)
            assert run.summary["out_of_memory"] == (failures if kind == "alloc" else 0), (n, run.summary)
        # The loop's size, shown for a passed test with pytest -rP.
        print(f"fault loop {kind}: {len(runs)} runs")
        return runs

    @property
    def counters(self):
        found = self.of("counters")
        assert len(found) == 1, f"no counters event (faults DLL?) in {self.events}"
        return found[0]


def parse_output(stdout):
    events, other = [], []
    for line in stdout.decode("utf-8", "replace").splitlines():
        text = line.strip()
        if text.startswith("{"):
            try:
                events.append(json.loads(text))
                continue
            except ValueError:
                pass
        if text:
            other.append(text)
    return events, other


def scaled_timeouts(args):
    """The host's arguments with the seconds of each --timeout among them times TIME_SCALE."""
    args = list(args)
    for i, arg in enumerate(args[:-1]):
        if arg == "--timeout" and str(args[i + 1]).isdigit():
            args[i + 1] = str(int(args[i + 1]) * TIME_SCALE)
    return args


@pytest.fixture
def run_host():
    """run_host(*args, dll="shipped"|"faults", env=None, timeout=60, crash_at=None) -> HostRun.

    Runs `velmora-sync.exe --json --timeout TIMEOUT --dll DLL ARGS...` in the test prefix; `env` adds
    environment variables (they reach programs the host starts, such as the fake browser).
    crash_at=STEP kills the host at that crash point of a sync (run_wine_to_crash_point); the
    run's killed_at is then STEP, or None when it ended otherwise."""
    def run(*args, dll="shipped", env=None, timeout=60, crash_at=None):
        exe = build_dir() / "velmora-sync.exe"
        dll_path = build_dir() / DLL_NAMES[dll]
        command = [exe, "--json", "--timeout", str(timeout * TIME_SCALE), "--dll", windows_path(dll_path),
                   *scaled_timeouts(args)]
        killed_at = None
        if crash_at is None:
            done = run_wine(command, timeout + WINE_MARGIN, env)
        else:
            done, killed = run_wine_to_crash_point(command, crash_at, timeout + WINE_MARGIN, env)
            killed_at = crash_at if killed else None
        events, other = parse_output(done.stdout)
        return HostRun(done.returncode, events, other, done.stderr.decode("utf-8", "replace"), killed_at=killed_at)
    return run


class Registry:
    """Values in the prefix's registry through `wine64 reg`; set() restores the old value at teardown."""

    def __init__(self):
        self._restore = []

    # By its full path: Wine starts a bare program name through start.exe and
    # ShellExecuteEx, which now and then fails under load ("ShellExecuteEx
    # failed: Internal error", exit code 1) before reg has run at all.
    REG_EXE = r"C:\windows\system32\reg.exe"

    @classmethod
    def _reg(cls, *args):
        done = run_wine([cls.REG_EXE, *args], 60)
        return done.returncode, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")

    @staticmethod
    def _says_absent(code, out, err):
        """reg's answer for a key or value that does not exist."""
        return code == 1 and "Unable to find the specified registry" in out + err

    def query(self, key, name):
        """(type, data text) of a value, or None when reg says it is absent; REG_DWORD data reads as an
        int. Any other answer of reg fails the test with what reg printed."""
        code, out, err = self._reg("query", key, "/v", name)
        if code == 0:
            for line in out.splitlines():
                parts = line.strip().split(None, 2)
                if len(parts) >= 2 and parts[0].lower() == name.lower() and parts[1].startswith("REG_"):
                    data = parts[2] if len(parts) == 3 else ""
                    return parts[1], int(data, 16) if parts[1] == "REG_DWORD" else data
        elif self._says_absent(code, out, err):
            return None
        pytest.fail(f"reg query {key} /v {name}: exit code {code}\nstdout: {out!r}\nstderr: {err!r}")

    def add(self, key, name, reg_type, data):
        code, out, err = self._reg("add", key, "/v", name, "/t", reg_type, "/d", str(data), "/f")
        assert code == 0, f"reg add {key} {name}: exit code {code}\nstdout: {out!r}\nstderr: {err!r}"

    def delete(self, key, name=None):
        """Deletes a value, or the whole key when no name is given; absent already is fine."""
        args = ["delete", key, *(["/v", name] if name is not None else []), "/f"]
        code, out, err = self._reg(*args)
        if code != 0 and not self._says_absent(code, out, err):
            pytest.fail(f"reg {' '.join(args)}: exit code {code}\nstdout: {out!r}\nstderr: {err!r}")

    def set(self, key, name, reg_type, data):
        """add() now, and put back the earlier state (value or absence) when the test ends."""
        self._restore.append((key, name, self.query(key, name)))
        self.add(key, name, reg_type, data)

    def restore(self):
        for key, name, old in reversed(self._restore):
            if old is None:
                self.delete(key, name)
            else:
                self.add(key, name, old[0], old[1])
        self._restore.clear()


@pytest.fixture
def registry():
    """A Registry for the test prefix; values changed with set() are restored afterwards."""
    reg = Registry()
    yield reg
    reg.restore()


# The credential store's key in the test prefix. Wine reports $USER as the
# Windows logon name; every test runs as TEST_USER unless it names another.
ACCOUNTS_KEY = r"HKCU\Software\Brevant\Accounts"
TEST_USER = "velmora-user"


def account_key(user=TEST_USER):
    return ACCOUNTS_KEY + "\\" + user


@pytest.fixture
def unlinked(registry, monkeypatch):
    """The test user, with no stored pair of any user before and after the test."""
    monkeypatch.setenv("USER", TEST_USER)
    registry.delete(ACCOUNTS_KEY)
    yield
    registry.delete(ACCOUNTS_KEY)


def stored_pairs(standin):
    """Access pairs the stand-in has handed out, oldest first: [(token, secret)]."""
    return [(token, record["secret"]) for token, record in standin.store.access_tokens.items()]


def link(run_host, standin, user=TEST_USER):
    """Stores a fresh access pair for user through the library's exchange; returns (token, secret)."""
    seeded = standin.seed_request_token(approved=True)
    run = run_host("exchange", seeded["token"], seeded["secret"], env={"USER": user})
    assert run.result("CheckForAccessTokenResponse")["return"] == 0, run
    return stored_pairs(standin)[-1]


@pytest.fixture
def linked(run_host, standin, unlinked):
    """An account linked for the test user: its access pair (token, secret)."""
    return link(run_host, standin)


def stored_pair(standin):
    """The one access pair the stand-in has handed out: (token, secret)."""
    pairs = stored_pairs(standin)
    assert len(pairs) == 1, pairs
    return pairs[0]


def assert_stored_layout(registry, user=TEST_USER):
    """Four values: sizes as REG_DWORD, payloads as REG_BINARY one byte longer than their size."""
    for prefix in ("DBToken", "DBPassword"):
        size = registry.query(account_key(user), prefix + "BlobPayloadSize")
        payload = registry.query(account_key(user), prefix + "BlobPayload")
        assert size is not None and size[0] == "REG_DWORD", size
        assert payload is not None and payload[0] == "REG_BINARY", payload
        assert len(payload[1]) // 2 == size[1] + 1


@pytest.fixture
def browser_log(tmp_path):
    """The fake browser's log file and the environment that points it there."""
    path = tmp_path / "browser.log"
    return path, {"VELMORA_FAKE_BROWSER_LOG": str(path)}


def browser_urls(path):
    """The addresses the fake browser was started with, one per start."""
    return path.read_text().splitlines() if path.exists() else []


@pytest.fixture
def standin(tmp_path):
    """The service stand-in on 127.0.0.1:443 with the run's test PKI and the build's constants,
    storage under the test's tmp_path. Skips when the service package or the PKI is missing."""
    pki = os.environ.get("VELMORA_E2E_PKI")
    if StandIn is None or not pki:
        pytest.skip("service stand-in or test PKI not available")
    constants_file = build_dir() / "service_constants.json"
    constants = load_constants(constants_file) if constants_file.exists() else None
    with StandIn(str(tmp_path / "service"), port=443, pki_dir=pki, constants=constants) as server:
        yield server
