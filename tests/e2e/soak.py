"""The concurrency soak: rounds of mixed operations that many host threads start at once against
one stand-in, random faults in their way; every round checks what the host saw against what the
stand-in and the local disk hold. Run by tests/e2e/test_soak.py (20 s) and scripts/soak (longer)."""

import dataclasses
import os
import random
import time

import nonce_log
from conftest import ACCOUNTS_KEY, TEST_USER, TIME_SCALE, Registry, StandIn, build_dir, load_constants, windows_path
from host_session import HostSession
from service.store import ServiceError

OLD_TIME = 1262347200  # 2010-01-01 12:00:00 UTC: a time the stand-in never writes
MTIME = "Wed, 29 Oct 2014 19:30:19 +0000"
MTIME_POSIX = 1414611019
# ConvertToFILETIME of MTIME: 100 ns ticks since 1601.
MTIME_FILETIME = (MTIME_POSIX + 11644473600) * 10_000_000
STATIC = "/soak-static"
# The thread table's size: no round starts more host threads than it has slots.
MAX_STARTERS = 30
# Requests that fall silent are given up after this long (longer under emulation).
TRANSFER_TIMEOUT_MS = 4000 * TIME_SCALE

# Faults a round may put in any request's way (the next one that comes): (kind, params).
FAULTS = [
    ("status", dict(status=500, message="Internal Server Error")),
    ("status", dict(status=503, message="Rate limited", headers={"Retry-After": "1"})),
    ("status", dict(status=401, message="Token is invalid.")),
    ("status", dict(status=404, message="Path not found")),
    ("error_200", dict(message="Internal error")),
    ("drop", {}),
    ("truncate_body", {}),
    ("truncate_body", dict(send=-1)),
    ("chunked", dict(send=-16)),
    ("no_length", dict(send=-16)),
    ("chunked", {}),
    ("no_length", {}),
    ("delay", dict(delay=0.5)),
    ("big_headers", dict(bytes=20000)),
    ("stall", dict(seconds=20)),
]


@dataclasses.dataclass
class Totals:
    operations: int = 0
    faults: int = 0
    leaked: int = 0
    repeats_unread: int = 0    # nonces repeated only by requests the stand-in dropped unread
    mismatches: int = 0
    rounds: int = 0
    seconds: float = 0.0
    problems: list = dataclasses.field(default_factory=list)

    def line(self):
        return (f"soak: {self.operations} operations, {self.faults} faults, {self.leaked} leaked blocks, "
                f"{self.mismatches} mismatches, {self.seconds:.0f} s")


def content(rng, size):
    return rng.randbytes(size)


class Soak:
    def __init__(self, root, standin, session, rng):
        self.root = root
        self.standin = standin
        self.session = session
        self.rng = rng
        self.totals = Totals()
        self.static_text = None
        self.nonces = []
        self.outstanding = 0  # blocks the loaded library held after the last round

    def problem(self, text):
        self.totals.mismatches += 1
        if len(self.totals.problems) < 50:
            self.totals.problems.append(text)

    # ---- One round ----

    def plan(self, number):
        """The round's operations (with what each touches) and the plan file's lines."""
        rng = self.rng
        starters = rng.randint(4, MAX_STARTERS)
        base = self.root / f"round-{number}"
        base.mkdir()
        ops = []
        for starter in range(starters):
            for _ in range(rng.randint(1, 3)):
                kind = rng.choice(["size", "ls", "get", "get", "rm", "put", "put", "creds", "date"])
                i = len(ops)
                op = {"starter": starter, "kind": kind}
                if kind in ("size", "ls"):
                    op["args"] = [STATIC[1:]]
                elif kind == "get":
                    remote = f"/User Notes/r{number}-g{i}.bin"
                    data = content(rng, rng.choice([0, 1, 5000, 70000, 200000]))
                    self.standin.seed_file(remote, data, client_mtime=MTIME)
                    folder = base / f"get-{i}"
                    folder.mkdir()
                    local = folder / "file.bin"
                    old = None
                    if rng.random() < 0.7:
                        old = content(rng, rng.randint(1, 3000))
                        local.write_bytes(old)
                        os.utime(local, (OLD_TIME, OLD_TIME))
                    op.update(args=["1", remote.rsplit("/", 1)[1], windows_path(local)], remote=remote, data=data,
                              local=local, old=old)
                elif kind == "rm":
                    remote = f"/Highlights/r{number}-d{i}.txt"
                    self.standin.seed_file(remote, b"to be deleted %d" % i)
                    op.update(args=["0", remote.rsplit("/", 1)[1]], remote=remote)
                elif kind == "put":
                    remote = f"/User Tools/r{number}-p{i}.bin"
                    old = None
                    if rng.random() < 0.5:
                        old = content(rng, rng.randint(0, 5000))
                        self.standin.seed_file(remote, old, client_mtime=MTIME)
                    data = content(rng, rng.choice([0, 10, 100000, 262144, 300000, 600000]))
                    folder = base / f"put-{i}"
                    folder.mkdir()
                    local = folder / "file.bin"
                    local.write_bytes(data)
                    os.utime(local, (OLD_TIME, OLD_TIME))
                    op.update(args=[remote[1:], windows_path(local)], remote=remote, data=data, old=old,
                              local=local)
                elif kind == "date":
                    op["args"] = [MTIME]
                else:
                    op["args"] = []
                ops.append(op)
        lines = ["\t".join([str(op["starter"]), op["kind"], *op["args"]]) for op in ops]
        plan = base / "plan.txt"
        plan.write_text("\n".join(lines) + "\n", encoding="utf-8")
        return ops, plan

    def inject(self):
        count = self.rng.randint(0, 8)
        for _ in range(count):
            kind, params = self.rng.choice(FAULTS)
            self.standin.inject(kind, **params)
        return count

    def run_round(self, number, destroy, unload):
        ops, plan = self.plan(number)
        injected = self.inject()
        args = ["soak-round", windows_path(plan)]
        if destroy:
            args += ["--destroy-after", str(self.rng.randint(20, 1500))]
        if unload:
            args.append("--unload")
        run = self.session.step(*args)
        # Whatever was not met goes; held replies are let go.
        pending = len(self.standin.pending_faults())
        self.standin.clear_faults()
        self.totals.faults += injected - pending
        self.collect_nonces()
        errors = run.of("error")
        if errors or run.exit_code != 0:
            self.problem(f"round {number}: host error {errors} code {run.exit_code}")
        (summary,) = run.of("round")
        seen = run.of("op")
        self.check_round(number, summary, destroy, unload)
        self.check_operations(number, ops, seen, destroy)
        self.totals.rounds += 1
        return run

    def check_round(self, number, summary, destroy, unload):
        # The counters are the library's since it was loaded: a round's leak is what it added.
        outstanding = summary["outstanding_blocks"]
        leaked = outstanding - self.outstanding if outstanding >= 0 else 1
        if leaked != 0:
            self.totals.leaked += leaked
            if len(self.totals.problems) < 50:
                self.totals.problems.append(f"round {number}{' (window destroyed)' if destroy else ''}: "
                                            f"{leaked} blocks left")
        self.outstanding = 0 if unload else outstanding
        expect = {"hung": False, "workers_ended": True, "table_free": 30, "stray_finals": 0, "bad_records": 0,
                  "out_of_memory": 0}
        if not destroy:
            expect["released_undelivered"] = 0
        if unload:
            expect.update(unloaded=True, reloaded=True)
        for key, value in expect.items():
            if summary[key] != value:
                self.problem(f"round {number}: {key} is {summary[key]}, not {value}")

    def check_operations(self, number, ops, seen, destroy):
        asynchronous = [e for e in seen if e["op"] != "ls-listing"]
        if len(asynchronous) != len(ops):
            self.problem(f"round {number}: {len(asynchronous)} operations reported, {len(ops)} planned")
            return
        for op, event in zip(ops, asynchronous):
            self.totals.operations += 1
            self.check_operation(number, op, event, destroy)
        listings = [e for e in seen if e["op"] == "ls-listing"]
        self.totals.operations += len(listings)
        for event in listings:
            self.check_messages(number, event, destroy)
            if event["result"] == 1 and event["finals"] == 1 and event["listing"] != self.static_text:
                self.problem(f"round {number}: listing {event['listing']!r:.80} is not the folder's")
            if event["result"] == 0 and event["listing"] is not None:
                self.problem(f"round {number}: a failed listing came with a text")

    def check_messages(self, number, event, destroy):
        """One final message per started operation (none allowed only once the window is gone),
        no kind 24 with a success, at most one kind 24."""
        what = f"round {number} op {event['index']} {event['op']}"
        if event["return"] != 0:
            if not (destroy and event["return"] == -2) and event["op"] not in ("creds", "date"):
                self.problem(f"{what}: returned {event['return']}")
            return
        if event["result"] not in (0, 1):
            self.problem(f"{what}: result byte {event['result']}")
        if event["op"] in ("creds", "date"):
            return
        if event["finals"] != 1 and not (destroy and event["finals"] == 0):
            self.problem(f"{what}: {event['finals']} final messages")
        if len(event["failures"]) > 1 or (event["failures"] and event["result"] == 1):
            self.problem(f"{what}: kind 24 {event['failures']} with result {event['result']}")

    def check_operation(self, number, op, event, destroy):
        what = f"round {number} op {event['index']} {op['kind']}"
        if event["op"] != op["kind"]:
            self.problem(f"{what}: reported as {event['op']}")
            return
        self.check_messages(number, event, destroy)
        started = event["return"] == 0
        done = started and event["result"] == 1
        kind = op["kind"]
        if not started and destroy and event["return"] == -2:
            # The window went before this starter came to it: nothing may have changed.
            if kind == "get":
                self.check_get(what, op, False)
            elif kind == "rm" and self.stored(op["remote"]) is None:
                self.problem(f"{what}: never started, yet gone")
            elif kind == "put":
                self.check_put(what, op, False, False, event)
        elif kind == "creds":
            if (event["return"], event["value"]) != (0, 1):
                self.problem(f"{what}: GetAccessCreds {event['return']} texts {event['value']}")
        elif kind == "date":
            if event["value"] != MTIME_FILETIME:
                self.problem(f"{what}: ConvertToFILETIME gave {event['value']}")
        elif kind in ("size", "ls"):
            expected = len(self.static_text.encode()) if done else 0
            if event["size"] != expected:
                self.problem(f"{what}: size {event['size']} with result {event['result']}")
        elif kind == "get":
            self.check_get(what, op, done)
        elif kind == "rm":
            gone = self.stored(op["remote"]) is None
            # A delete the service carried out before its reply broke is gone though it failed.
            if done and not gone:
                self.problem(f"{what}: reported deleted, still stored")
        elif kind == "put":
            self.check_put(what, op, done, started, event)

    def check_get(self, what, op, done):
        local = op["local"]
        names = sorted(p.name for p in local.parent.iterdir())
        if done:
            if not local.exists() or local.read_bytes() != op["data"]:
                self.problem(f"{what}: reported downloaded, local bytes differ")
            elif int(local.stat().st_mtime) != MTIME_POSIX:
                self.problem(f"{what}: downloaded with time {local.stat().st_mtime}")
        elif op["old"] is None:
            if names:
                self.problem(f"{what}: failed, left {names}")
        elif local.read_bytes() != op["old"] or int(local.stat().st_mtime) != OLD_TIME:
            self.problem(f"{what}: failed, local file changed")
        if names not in ([], ["file.bin"]):
            self.problem(f"{what}: left {names}")

    def check_put(self, what, op, done, started, event):
        local = op["local"]
        if local.read_bytes() != op["data"]:
            self.problem(f"{what}: the upload changed the local bytes")
        stored = self.stored(op["remote"])
        if done:
            if stored != op["data"]:
                self.problem(f"{what}: reported uploaded, stored bytes differ")
            elif event["progress_bytes"] != len(op["data"]) and event["finals"] == 1:
                self.problem(f"{what}: progress {event['progress_bytes']} of {len(op['data'])}")
        elif stored != op["old"] and (not started or stored != op["data"]):
            # Failed: the old version stays, unless the commit was carried out before its reply broke.
            self.problem(f"{what}: failed, stored {None if stored is None else len(stored)} bytes")
        if not done and int(local.stat().st_mtime) != OLD_TIME:
            self.problem(f"{what}: failed, local time changed")

    def stored(self, path):
        """A stored file's bytes; None when the stand-in holds none at path."""
        try:
            return self.standin.read_file(path)
        except ServiceError:
            return None

    # ---- Nonces ----

    def collect_nonces(self):
        self.nonces.extend(nonce_log.nonce_keys(self.standin.requests(clear=True)))

    def repeated_nonces(self):
        """Nonces the service saw twice. A request the stand-in dropped unread (status None) was
        never seen by the service: WinINet sends such a request again by itself, unchanged, when
        the connection it reused gave no reply at all (as a stale kept-alive one does), so only
        requests the service took count here; repeats_unread counts the others."""
        taken = [(key, request) for key, request in self.nonces if request[2] is not None]
        self.totals.repeats_unread = len(self.nonces) - len({key for key, _ in self.nonces}) - \
            (len(taken) - len({key for key, _ in taken}))
        return nonce_log.repeated(taken)


def run_soak(root, seconds, seed=None):
    """Runs rounds for about `seconds` and returns the totals. Needs the e2e environment."""
    pki = os.environ.get("VELMORA_E2E_PKI")
    if StandIn is None or not pki:
        raise RuntimeError("service stand-in or test PKI not available")
    seed = seed if seed is not None else int(time.time())
    rng = random.Random(seed)
    constants_file = build_dir() / "service_constants.json"
    constants = load_constants(constants_file) if constants_file.exists() else None
    registry = Registry()
    registry.delete(ACCOUNTS_KEY)
    started = time.monotonic()
    with StandIn(str(root / "service"), port=443, pki_dir=pki, constants=constants) as standin:
        session = HostSession(env={"USER": TEST_USER, "VELMORA_TRANSFER_TIMEOUT_MS": str(TRANSFER_TIMEOUT_MS)},
                              timeout=120)
        soak = Soak(root, standin, session, rng)
        soak.totals.problems.append(f"seed {seed}")
        try:
            seeded = standin.seed_request_token(approved=True)
            linked = session.step("access", seeded["token"], seeded["secret"])
            assert linked.result("CheckForAccessTokenResponse")["return"] == 0, linked
            for i in range(12):
                standin.seed_file(f"{STATIC}/s{i}.txt", b"s" * (i * 100))
            soak.static_text = standin.listing_text(STATIC).decode()
            number = 0
            while number == 0 or time.monotonic() - started < seconds:
                soak.run_round(number, destroy=number % 3 == 2, unload=number % 4 == 3)
                number += 1
            repeated = soak.repeated_nonces()
            if repeated:
                soak.problem(f"nonces repeated: {list(repeated.items())[:5]}")
        finally:
            code = session.close()
        if code != 0:
            soak.problem(f"host session ended with {code}")
    registry.delete(ACCOUNTS_KEY)
    soak.totals.seconds = time.monotonic() - started
    return soak.totals
