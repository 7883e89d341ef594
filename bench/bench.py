"""The benchmark's driver, run by scripts/bench-inside (private namespaces, the Wine
prefix and wineserver ready, the stand-in running with its control port).

Prints one `NAME VALUE` line per figure on stdout; notes go to stderr. Times are
wall-clock seconds of whole program runs, taken from here; the DLL and the bare
program pay Wine's program start, curl does not (wine/process-start-seconds
shows that cost on its own). Nothing here fails on a time: a run that fails
to transfer correctly stops the benchmark."""

import argparse
import base64
import hashlib
import json
import os
import pathlib
import secrets
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from service import wire  # noqa: E402  (the stand-in's own reply layout)
from service.store import Entry, Store  # noqa: E402

WINE = "/usr/lib/wine/wine64"
MiB = 1 << 20
CHUNK = 256 * 1024
ORIGIN = "https://localhost"
FOLDER_INDEX = 1           # "User Notes"
FOLDER = "User Notes"
WINE_TIMEOUT = 600


def note(*parts):
    print("bench:", *parts, file=sys.stderr, flush=True)


def figure(name, value):
    print("%s %s" % (name, value), flush=True)


def loadavg():
    return "%.2f %.2f %.2f" % os.getloadavg()


def encode(text):
    """The library's percent-encoding: letters and digits stay, every other UTF-8 byte is %XX."""
    return "".join(chr(b) if chr(b).isascii() and chr(b).isalnum() else "%%%02X" % b for b in text.encode("utf-8"))


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


class Control:
    """The stand-in's plain-HTTP control port."""

    def __init__(self, url):
        self.url = url.rstrip("/")

    def __call__(self, operation, **arguments):
        request = urllib.request.Request(self.url + "/" + operation, data=json.dumps(arguments).encode("utf-8"),
                                         method="POST", headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=300) as reply:
            return json.loads(reply.read())["result"]


class Signer:
    """OAuth 1.0 PLAINTEXT query parameters, fresh (nonce, time) for every request."""

    def __init__(self, constants, token, secret):
        self.key, self.app_secret = constants["app_key"], constants["app_secret"]
        self.token, self.secret = token, secret

    def query(self):
        return ("oauth_consumer_key=%s&oauth_token=%s&oauth_nonce=%s&oauth_timestamp=%d"
                "&oauth_signature_method=PLAINTEXT&oauth_signature=%s%%26%s&oauth_version=1.0"
                % (self.key, self.token, secrets.token_hex(16), int(time.time()), self.app_secret, self.secret))

    def file_url(self, name):
        return "%s/1/files?root=sandbox&path=%s/%s&%s" % (ORIGIN, encode(FOLDER), encode(name), self.query())


class Run:
    """One finished program run: wall time, exit code, output, and the peak resident set
    (VmHWM) of the program the `timeout` wrapper started (the Wine program itself)."""

    def __init__(self, seconds, code, peak_bytes, stdout, stderr):
        self.seconds, self.code, self.peak_bytes = seconds, code, peak_bytes
        self.stdout, self.stderr = stdout, stderr

    def check(self, what):
        if self.code != 0:
            raise SystemExit("bench: %s failed (exit %s)\nstdout: %s\nstderr: %s"
                             % (what, self.code, self.stdout[-2000:], self.stderr[-2000:]))
        return self


class PeakSampler(threading.Thread):
    """Reads VmHWM of the child of `parent` every few milliseconds until stopped; `peak`
    is the last value read, and VmHWM only grows. (The rusage of the wrapper would not
    do: Linux carries a process's high-water mark across exec, so the wrapper reports the
    driver's own peak from before it was started.)"""

    def __init__(self, parent, interval=0.01):
        super().__init__(daemon=True)
        self.parent, self.interval = parent, interval
        self.peak, self.command = 0, None
        self.done = threading.Event()

    def sample(self):
        try:
            with open("/proc/%d/task/%d/children" % (self.parent, self.parent)) as f:
                children = f.read().split()
            if not children:
                return
            with open("/proc/%s/status" % children[0]) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        self.peak = int(line.split()[1]) * 1024
            with open("/proc/%s/cmdline" % children[0], "rb") as f:
                command = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
            self.command = command or self.command  # a process that has ended shows none
        except (OSError, ValueError):
            pass

    def run(self):
        while not self.done.wait(self.interval):
            self.sample()


def tcp_opens():
    """TCP connections opened so far in this network namespace (clients' connect calls; Wine
    makes its sockets in the wineserver, which runs in this namespace too)."""
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Tcp:")]
    return int(rows[1][rows[0].index("ActiveOpens")])


def run(args, timeout=WINE_TIMEOUT):
    """Runs a program under `timeout`, output through files (Wine helpers may keep pipes open)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        opens = tcp_opens()
        start = time.perf_counter()
        process = subprocess.Popen(["timeout", "--kill-after=5", str(timeout), *map(str, args)],
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        sampler = PeakSampler(process.pid)
        sampler.start()
        process.wait()
        seconds = time.perf_counter() - start
        sampler.done.set()
        sampler.join()
        out.seek(0)
        err.seek(0)
        done = Run(seconds, process.returncode, sampler.peak, out.read().decode("utf-8", "replace"),
                   err.read().decode("utf-8", "replace"))
        done.sampled = sampler.command
        done.connections = tcp_opens() - opens
        return done


def bare_report(stdout):
    """The numbers of bench-wininet.exe's last line ("bytes N seconds S [messages M] [flush F move M]")."""
    words = stdout.split()
    return {key: float(value) for key, value in zip(words[::2], words[1::2])}


def median(values):
    return statistics.median(values)


def seconds_text(value):
    return "%.3f" % value


class Bench:
    def __init__(self, options):
        self.build = pathlib.Path(options.build)
        self.work = pathlib.Path(options.work) / "bench"
        self.work.mkdir(parents=True, exist_ok=True)
        self.ca = options.ca
        self.rounds = options.rounds
        self.control = Control(options.control)
        self.constants = json.loads((self.build / "service_constants.json").read_text())
        # The host and the DLL as the package ships them. The build's own host
        # carries some 37 MB of debug information, which Wine reads in at start:
        # it would be most of the peak working set, and none of it the library's.
        self.host = self.build / "stripped" / "velmora-sync.exe"
        self.bare = self.build / "bench-wininet.exe"
        self.curl = "curl"

    # setting up

    def link(self):
        """The DLL's own pair, through the exchange as the host links; a second pair for the
        bare program and curl."""
        seeded = self.control("seed_request_token", approved=True)
        run([WINE, self.host, "exchange", seeded["token"], seeded["secret"]], 120).check("exchange")
        pair = self.control("seed_access_token")
        self.signer = Signer(self.constants, pair["token"], pair["secret"])

    def local_file(self, name, size):
        path = self.work / name
        if not path.exists() or path.stat().st_size != size:
            path.write_bytes(os.urandom(size))
        return path

    def seed_remote(self, name, size):
        content = os.urandom(size)
        self.control("seed_file", path="/%s/%s" % (FOLDER, name),
                     content_b64=base64.b64encode(content).decode("ascii"))
        return hashlib.sha256(content).hexdigest()

    # downloads

    def get_dll(self, name, size, target, window=True):
        args = [WINE, self.host, "--timeout", WINE_TIMEOUT - 30, "get", FOLDER_INDEX, name, windows_path(target),
                "--size", size]
        return run(args + ([] if window else ["--null-window"]))

    def get_bare(self, name, size, target, *flags):
        """The bare loop; flags "--messages" (the floor: a host message per piece to a window of
        another thread) and "--flushed" (a temporary file, flushed and moved into place)."""
        done = run([WINE, self.bare, "get", self.signer.file_url(name), windows_path(target), *flags])
        done.reported = bare_report(done.stdout) if done.code == 0 else {}
        return done

    def get_curl(self, name, size, target):
        return run([self.curl, "-sS", "--fail", "--cacert", self.ca, "-o", target, self.signer.file_url(name)])

    def download(self, method, name, size, digest):
        target = self.work / ("got-%s" % method)
        target.unlink(missing_ok=True)
        os.sync()
        getter = {"dll": self.get_dll, "bare": self.get_bare, "curl": self.get_curl,
                  "dll-no-window": lambda n, s, t: self.get_dll(n, s, t, window=False),
                  "bare-flushed": lambda n, s, t: self.get_bare(n, s, t, "--flushed"),
                  "floor": lambda n, s, t: self.get_bare(n, s, t, "--messages"),
                  "floor-flushed": lambda n, s, t: self.get_bare(n, s, t, "--messages", "--flushed")}[method]
        done = getter(name, size, target).check("download through " + method)
        data = target.read_bytes()
        if len(data) != size or hashlib.sha256(data).hexdigest() != digest:
            raise SystemExit("bench: download through %s gave %d bytes, not the file" % (method, len(data)))
        target.unlink()
        return done

    def bench_downloads(self):
        big, small, tiny = 100 * MiB, 10 * MiB, MiB
        note("seeding the files to download")
        names = {big: "bench-100m.bin", small: "bench-10m.bin", tiny: "bench-1m.bin"}
        digests = {size: self.seed_remote(name, size) for size, name in names.items()}
        methods = ["dll", "dll-no-window", "bare", "bare-flushed", "floor", "floor-flushed", "curl"]
        for method in methods:  # warm-up: program files and the stand-in's file in the page cache
            self.download(method, names[small], small, digests[small])
        times = {m: [] for m in methods}
        connections = {}
        peaks = []
        steps = {"flush": [], "move": []}  # the bare loop's own timing of the library's last file steps
        for r in range(self.rounds):
            order = methods[r % len(methods):] + methods[:r % len(methods)]
            for method in order:
                done = self.download(method, names[big], big, digests[big])
                times[method].append(done.seconds)
                connections[method] = done.connections
                if method == "dll":
                    peaks.append(done.peak_bytes)
                    if r == 0:
                        note("peak working set: VmHWM of %r" % done.sampled)
                if method == "bare-flushed":
                    for step in steps:
                        steps[step].append(done.reported[step])
                if method == "floor" and r == 0:
                    note("floor: %d messages for %d bytes" % (done.reported["messages"], big))
            note("download round %d: %s; flush %.3f s, move %.3f s (load %s)" % (r + 1, ", ".join(
                "%s %.3f s (%d connections)" % (m, times[m][-1], connections[m]) for m in methods),
                steps["flush"][-1], steps["move"][-1], loadavg()))
        small_peaks = [self.download("dll", names[small], small, digests[small]).peak_bytes for _ in range(3)]
        fixed = self.fixed_costs(names[tiny], tiny, digests[tiny])
        dll = median(times["dll"])
        no_window = median(times["dll-no-window"])
        figure("download/dll-seconds", seconds_text(dll))
        figure("download/bare-wininet-seconds", seconds_text(median(times["bare"])))
        figure("download/curl-seconds", seconds_text(median(times["curl"])))
        figure("download/bare-wininet", "%.3f" % (median(times["bare"]) / dll))
        figure("download/curl", "%.3f" % (median(times["curl"]) / dll))
        figure("download/floor-seconds", seconds_text(median(times["floor"])))
        figure("download/floor", "%.3f" % (median(times["floor"]) / dll))
        figure("download/floor-flushed-seconds", seconds_text(median(times["floor-flushed"])))
        figure("download/floor-flushed", "%.3f" % (median(times["floor-flushed"]) / dll))
        figure("download/dll-no-window-seconds", seconds_text(no_window))
        figure("download/no-window", "%.3f" % (median(times["bare"]) / no_window))
        figure("download/bare-wininet-flushed-seconds", seconds_text(median(times["bare-flushed"])))
        figure("download/no-window-flushed", "%.3f" % (median(times["bare-flushed"]) / no_window))
        figure("download/flush-seconds", seconds_text(median(steps["flush"])))
        figure("download/move-seconds", seconds_text(median(steps["move"])))
        figure("download/dll-no-window-1MiB-seconds", seconds_text(fixed["dll-no-window"]))
        figure("download/bare-wininet-flushed-1MiB-seconds", seconds_text(fixed["bare-flushed"]))
        figure("download/fixed-seconds", seconds_text(fixed["dll-no-window"] - fixed["bare-flushed"]))
        figure("download/peak-working-set-bytes", max(peaks))
        figure("download/peak-working-set-bytes-10MiB", max(small_peaks))

    def fixed_costs(self, name, size, digest, runs=7):
        """Median seconds of the DLL without a window and of the flushed bare loop on a small
        file, alternating: what a run costs apart from moving the bytes."""
        methods = ["dll-no-window", "bare-flushed"]
        times = {m: [] for m in methods}
        for r in range(runs):
            for method in methods[r % 2:] + methods[:r % 2]:
                times[method].append(self.download(method, name, size, digest).seconds)
        note("1 MiB runs: %s (load %s)" % ("; ".join(
            "%s %s" % (m, " ".join("%.3f" % t for t in times[m])) for m in methods), loadavg()))
        return {m: median(times[m]) for m in methods}

    # uploads

    def put_dll(self, local, remote, chunks):
        return run([WINE, self.host, "--timeout", WINE_TIMEOUT - 30, "put", remote, windows_path(local)])

    def put_bare(self, local, remote, chunks, query_proxy=False):
        return run([WINE, self.bare, "put", windows_path(local), ORIGIN, encode(remote), self.signer.key,
                    self.signer.app_secret, self.signer.token, self.signer.secret]
                   + (["--query-proxy"] if query_proxy else []))

    def put_curl(self, local, remote, chunks):
        """One curl for the first chunk (it opens the upload and names its id), one curl for all
        the other chunks in order on its kept-alive connection (each answer's offset checked
        after), one curl for the commit. Timed as a whole."""
        curl = [self.curl, "-sS", "--fail", "--cacert", self.ca]
        start = time.perf_counter()
        first = run(curl + ["-T", chunks[0], "%s/1/chunked_upload?&offset=0&%s" % (ORIGIN, self.signer.query())])
        first.check("curl: first chunk")
        state = json.loads(first.stdout)
        upload_id, offset = state["upload_id"], state["offset"]
        if len(chunks) > 1:
            config = self.work / "curl-chunks.conf"
            lines = []
            for index, chunk in enumerate(chunks[1:], 1):
                lines.append('upload-file = "%s"' % chunk)
                lines.append('url = "%s/1/chunked_upload?upload_id=%s&offset=%d&%s"'
                             % (ORIGIN, upload_id, index * CHUNK, self.signer.query()))
            config.write_text("\n".join(lines) + "\n")
            rest = run(curl + ["-w", "\\n", "-K", config]).check("curl: chunks")
            answers = [json.loads(line) for line in rest.stdout.splitlines() if line.strip()]
            expected, total = [], offset
            for chunk in chunks[1:]:
                total += os.path.getsize(chunk)
                expected.append(total)
            if [a["offset"] for a in answers] != expected:
                raise SystemExit("bench: curl's chunks were not taken in order")
        commit = run(curl + ["-X", "POST", "--data-binary", "", "%s/1/commit_chunked_upload/sandbox/%s?upload_id=%s&%s"
                             % (ORIGIN, encode(remote), upload_id, self.signer.query())])
        commit.check("curl: commit")
        done = Run(time.perf_counter() - start, 0, 0, commit.stdout, "")
        done.connections = first.connections + commit.connections + (rest.connections if len(chunks) > 1 else 0)
        return done

    def upload(self, method, local, size, chunks):
        remote = "%s/bench-up-%s.bin" % (FOLDER, method)
        os.sync()
        putter = {"dll": self.put_dll, "bare": self.put_bare, "curl": self.put_curl,
                  "bare-proxy-query": lambda l, r, c: self.put_bare(l, r, c, query_proxy=True)}[method]
        done = putter(local, remote, chunks).check("upload through " + method)
        meta = self.control("metadata", path="/" + remote)
        if meta.get("bytes") != size:
            raise SystemExit("bench: upload through %s left %s bytes at the stand-in" % (method, meta.get("bytes")))
        self.control("clear_requests")
        return done

    def split(self, local, size):
        folder = self.work / ("chunks-%d" % size)
        folder.mkdir(exist_ok=True)
        chunks = []
        with open(local, "rb") as source:
            for index in range((size + CHUNK - 1) // CHUNK):
                path = folder / ("%05d" % index)
                path.write_bytes(source.read(CHUNK))
                chunks.append(path)
        return chunks

    def bench_uploads(self):
        big, small = 100 * MiB, 10 * MiB
        files = {big: self.local_file("up-100m.bin", big), small: self.local_file("up-10m.bin", small)}
        chunks = {size: self.split(path, size) for size, path in files.items()}
        methods = ["dll", "bare", "bare-proxy-query", "curl"]
        # Warm-up, and what the DLL asks of the stand-in for one upload.
        self.control("clear_requests")
        self.put_dll(files[small], "%s/bench-up-dll.bin" % FOLDER, chunks[small]).check("upload through dll")
        asked = [(r["verb"], r["path"].split("?", 1)[0]) for r in self.control("requests", clear=True)]
        note("one DLL upload of 10 MiB asked: %s" % ", ".join(
            "%d x %s %s" % (asked.count(k), *k) for k in sorted(set(asked), key=asked.index)))
        for method in methods:
            self.upload(method, files[small], small, chunks[small])
        times = {m: [] for m in methods}
        connections = {}
        peaks = []
        for r in range(self.rounds):
            order = methods[r % len(methods):] + methods[:r % len(methods)]
            for method in order:
                done = self.upload(method, files[big], big, chunks[big])
                times[method].append(done.seconds)
                connections[method] = done.connections
                if method == "dll":
                    peaks.append(done.peak_bytes)
            note("upload round %d: %s (load %s)" % (r + 1, ", ".join(
                "%s %.3f s (%d connections)" % (m, times[m][-1], connections[m]) for m in methods), loadavg()))
        small_peaks = [self.upload("dll", files[small], small, chunks[small]).peak_bytes for _ in range(3)]
        dll = median(times["dll"])
        figure("upload/dll-seconds", seconds_text(dll))
        figure("upload/bare-wininet-seconds", seconds_text(median(times["bare"])))
        figure("upload/curl-seconds", seconds_text(median(times["curl"])))
        figure("upload/bare-wininet", "%.3f" % (median(times["bare"]) / dll))
        figure("upload/curl", "%.3f" % (median(times["curl"]) / dll))
        figure("upload/bare-wininet-proxy-query-seconds", seconds_text(median(times["bare-proxy-query"])))
        figure("upload/peak-working-set-bytes", max(peaks))
        figure("upload/peak-working-set-bytes-10MiB", max(small_peaks))

    # the listing count

    def write_listing(self, entries):
        """A folder listing of `entries` files, made by the stand-in's own store and layout."""
        with tempfile.TemporaryDirectory() as scratch:
            store = Store(scratch, time.time)
            account = store.add_account(12345678, 0x0B31176A)
            base = 1414611019
            folder = Entry("/" + FOLDER, True, account.next_revision(), base)
            account.entries[folder.path.lower()] = folder
            for index in range(entries):
                path = "/%s/Note %05d.txt" % (FOLDER, index)
                entry = Entry(path, False, account.next_revision(), base + index, base + index // 2,
                              size=1000 + index * 37 % 90000)
                account.entries[path.lower()] = entry
            listing = store.metadata(account.uid, "/" + FOLDER, True, False, file_limit=entries)
        path = self.work / ("listing-%d.json" % entries)
        path.write_text(wire.dumps(listing))
        return path

    def bench_count(self, entries=25000, runs=7):
        path = self.write_listing(entries)
        micros = []
        for _ in range(runs):
            done = run([WINE, self.host, "--json", "count", "--file", windows_path(path)], 120).check("count")
            result = next(json.loads(line) for line in done.stdout.splitlines()
                          if line.startswith("{") and '"GetNumberOfRemoteFiles"' in line)
            if result["return"] != entries:
                raise SystemExit("bench: the count gave %s for %d entries" % (result["return"], entries))
            micros.append(result["microseconds"])
        note("count runs on a %d-byte listing (microseconds): %s" % (path.stat().st_size, micros))
        figure("count/%d-entries" % entries, "%.6f" % (median(micros) / 1e6))

    def bench_start(self, runs=5):
        run([WINE, self.bare, "noop"]).check("noop")
        times = [run([WINE, self.bare, "noop"]).check("noop").seconds for _ in range(runs)]
        figure("wine/process-start-seconds", seconds_text(median(times)))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--control", required=True)
    parser.add_argument("--ca", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--only", choices=("download", "upload", "count"), action="append")
    options = parser.parse_args()
    bench = Bench(options)
    only = set(options.only or ("download", "upload", "count"))
    started = time.time()
    note("start %s, load %s" % (time.strftime("%Y-%m-%d %H:%M:%S"), loadavg()))
    bench.link()
    bench.bench_start()
    if "download" in only:
        bench.bench_downloads()
    if "upload" in only:
        bench.bench_uploads()
    if "count" in only:
        bench.bench_count()
    note("end %s after %.0f s, load %s" % (time.strftime("%Y-%m-%d %H:%M:%S"), time.time() - started, loadavg()))


if __name__ == "__main__":
    main()
