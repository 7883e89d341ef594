"""What the tests that make the library's system calls fail share: one stand-in with one linked
account for a whole module (each run then costs one Wine process), the host run under fault
rules, the fault loop with its checks, and the states of a local file that runs report."""

import contextlib
import os

import pytest

from conftest import (ACCOUNTS_KEY, DLL_NAMES, PAYLOAD_SIZES, TEST_USER, TIME_SCALE, WINE_MARGIN, HostRun, Registry,
                      build_dir, parse_output, run_wine, scaled_timeouts, stored_pairs, windows_path)

try:
    from service.standin import StandIn, load_constants
except ImportError:  # pragma: no cover - depends on the tree's state
    StandIn = None

# Seconds each run may wait for its final message.
RUN_TIMEOUT = 3
# The message kinds that end an operation (with a ResultPayload or a listing payload).
FINAL_KINDS = {17, 18, 15, 19, 20, 21, 22, 23}
# The final kinds that also carry a TransferPayload on the way, told apart by size.
FETCH_KINDS = {15, 17, 18}
FILETIME_OF_1970 = 116444736000000000


def filetime(posix_seconds):
    return posix_seconds * 10_000_000 + FILETIME_OF_1970


def fnv1a64(data):
    value = 14695981039346656037
    for byte in data:
        value = ((value ^ byte) * 1099511628211) % (1 << 64)
    return value


def host(*args, env=None, timeout=60):
    """velmora-sync.exe --json with the test DLL, as the test user; returns the HostRun."""
    exe = build_dir() / "velmora-sync.exe"
    dll = build_dir() / DLL_NAMES["faults"]
    command = [exe, "--json", "--timeout", str(timeout * TIME_SCALE), "--dll", windows_path(dll),
               *scaled_timeouts(args)]
    done = run_wine(command, timeout + WINE_MARGIN, {"USER": TEST_USER, **(env or {})})
    events, other = parse_output(done.stdout)
    return HostRun(done.returncode, events, other, done.stderr.decode("utf-8", "replace"))


@contextlib.contextmanager
def linked_service(root):
    """A stand-in under root and an account linked for the test user, for as long as the block
    runs; no stored pair before or after. Yields (standin, (token, secret))."""
    pki = os.environ.get("VELMORA_E2E_PKI")
    if StandIn is None or not pki:
        pytest.skip("service stand-in or test PKI not available")
    constants_file = build_dir() / "service_constants.json"
    constants = load_constants(constants_file) if constants_file.exists() else None
    registry = Registry()
    registry.delete(ACCOUNTS_KEY)
    try:
        with StandIn(str(root), port=443, pki_dir=pki, constants=constants) as standin:
            seeded = standin.seed_request_token(approved=True)
            run = host("exchange", seeded["token"], seeded["secret"])
            assert run.result("CheckForAccessTokenResponse")["return"] == 0, run
            yield standin, stored_pairs(standin)[-1]
    finally:
        registry.delete(ACCOUNTS_KEY)


def faulted(rules, *args, env=None, timeout=RUN_TIMEOUT, injected=True):
    """Runs the command once (--repeat 1) under VELMORA_FAULTS=rules and checks what every such
    run must show: the rules struck (or, injected False, never did: the call was not made),
    the workers ended, every block the library handed out came back and none was left
    behind. Returns the run (its events, and its summary)."""
    run = host("--repeat", "1", "--timeout", str(timeout), *args, env={"VELMORA_FAULTS": rules, **(env or {})},
               timeout=timeout + 60)
    (only,) = run.runs
    summary = only.summary
    assert (summary["injected"] >= 1) == injected, (rules, summary)
    assert summary["workers_ended"], summary
    assert summary["outstanding_before"] == summary["outstanding_after"] == 0, summary
    assert run.counters["outstanding_blocks"] == 0, run.counters
    assert all(m.get("free_failures", 0) == 0 for m in only.messages), only.messages
    return only


def finals(run):
    """The final messages of a run (kinds of FINAL_KINDS that carry no TransferPayload). By size
    only for the fetch kinds: a 32-bit ListingPayload is as long as a TransferPayload."""
    return [m for m in run.messages if m.get("kind") in FINAL_KINDS
            and (m["kind"] not in FETCH_KINDS or m.get("size") == PAYLOAD_SIZES["result"])]


def transfers(run, kind):
    return [m["payload"] for m in run.messages if m.get("kind") == kind and m.get("size") == PAYLOAD_SIZES["transfer"]]


def fault_loop(kind, *args, watch=None, env=None, lost_final=False):
    """Runs the command in one host process once per N with its N-th call of kind failing
    ("KIND:ERROR" names the error), until a run meets no failure, and checks what every run
    must show: exactly one injected failure (none in the last), the workers ended, no block
    left, no release that failed, at most one final message per worker, and no wait for a
    final message that never came (unless lost_final: an allocation loop, where the one
    failure may take the final message with it). Returns the runs."""
    options = ["--fault-loop", kind, "--timeout", str(RUN_TIMEOUT)]
    if watch is not None:
        options += ["--watch-file", windows_path(watch)]
    run = host(*options, *args, env=env, timeout=600)
    assert run.exit_code == 0, run
    runs = run.fault_loop_runs(kind.split(":")[0])
    for n, each in enumerate(runs, 1):
        summary = each.summary
        assert summary["outstanding_before"] == summary["outstanding_after"] == 0, (n, summary)
        assert all(m.get("free_failures", 0) == 0 for m in each.messages), (n, each.messages)
        threads = [m["thread_id"] for m in finals(each)]
        assert len(threads) == len(set(threads)), (n, each.messages)
        assert each.exit_code in ((0, 1, 3) if lost_final else (0, 1)), (n, each)
    assert runs[-1].exit_code == 0, runs[-1]
    return runs


def file_state(path):
    """A local file as --watch-file reports it: {"exists", "size", "last_write", "fnv1a64", "others"}."""
    if not path.exists():
        return {"exists": False, "others": len(list(path.parent.iterdir()))}
    data = path.read_bytes()
    return {"exists": True, "size": len(data), "last_write": path.stat().st_mtime_ns // 100 + FILETIME_OF_1970,
            "fnv1a64": fnv1a64(data), "others": len(list(path.parent.iterdir())) - 1}


# The fixtures of a module that shares one linked stand-in among its rows (import both).
@pytest.fixture(scope="module")
def service(tmp_path_factory):
    with linked_service(tmp_path_factory.mktemp("service")) as (standin, _):
        yield standin


@pytest.fixture
def standin(service):
    """The module's stand-in, with no fault pending and an empty request log."""
    service.clear_faults()
    service.clear_requests()
    yield service
    service.clear_faults()
