"""Figures of `velmora-sync.exe sync` under wine64 against the stand-in (run by
scripts/bench-sync-inside): a second run with nothing changed over 1,000 files, and a
first sync of 300 files of 10 KiB in each direction with --jobs 1 and --jobs 8. Prints
one `NAME VALUE` line per figure on stdout, notes on stderr; never fails on a time, only
when a sync goes wrong. The machine is shared: compare figures of one run."""

import argparse
import base64
import os
import pathlib
import re
import shutil
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from bench import WINE, Control, figure, loadavg, note, run, windows_path  # noqa: E402

SUMMARY = re.compile(r"(\d+) up, (\d+) down, .* (\d+) failed in ([0-9.]+) s")


class SyncBench:
    def __init__(self, options):
        self.host = pathlib.Path(options.build) / "velmora-sync.exe"
        self.work = pathlib.Path(options.work) / "sync-bench"
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        self.control = Control(options.control)
        self.uid = 50000000

    def new_account(self):
        """A fresh account with its three folders, linked for the host (the exchange is untimed)."""
        self.uid += 1
        self.control("seed_account", uid=self.uid)
        for folder in ("Highlights", "User Notes", "User Tools"):
            self.control("seed_folder", path="/" + folder, uid=self.uid)
        seeded = self.control("seed_request_token", approved=True, uid=self.uid)
        run([WINE, self.host, "exchange", seeded["token"], seeded["secret"]], 120).check("exchange")
        return self.uid

    def seed(self, uid, count, size, folder="User Notes"):
        for i in range(count):
            self.control("seed_file", path="/%s/f%04d.txt" % (folder, i), uid=uid,
                         content_b64=base64.b64encode(os.urandom(size)).decode("ascii"))

    def local(self, name, count=0, size=0):
        root = self.work / name
        shutil.rmtree(root, ignore_errors=True)
        (root / "User Notes").mkdir(parents=True)
        for i in range(count):
            (root / "User Notes" / ("f%04d.txt" % i)).write_bytes(os.urandom(size))
        return root

    def sync(self, root, *options):
        """One timed run: (wall seconds, the sync's own seconds, requests the stand-in received, counts)."""
        self.control("clear_requests")
        done = run([WINE, self.host, "--timeout", "300", "sync", windows_path(root), *options], 900)
        done.check("sync " + " ".join(options))
        found = SUMMARY.search(done.stdout)
        if not found or found.group(3) != "0":
            raise SystemExit("bench-sync: the sync did not finish cleanly:\n" + done.stdout[-2000:])
        requests = len(self.control("requests"))
        return done.seconds, float(found.group(4)), requests, (int(found.group(1)), int(found.group(2)))

    def unchanged(self, files=1000):
        uid = self.new_account()
        self.seed(uid, files, 100)
        root = self.local("unchanged")
        seconds, own, requests, moved = self.sync(root)
        note("first sync of %d files: %.2f s (%s), %d requests, moved %s" % (files, seconds, own, requests, moved))
        for round_ in range(3):
            seconds, own, requests, moved = self.sync(root)
            note("round %d, load %s: %.3f s wall, %.3f s in the sync, %d requests" % (round_, loadavg(), seconds,
                                                                                      own, requests))
            if moved != (0, 0):
                raise SystemExit("bench-sync: an unchanged run moved files: %s" % (moved,))
        figure("unchanged-%d/requests" % files, requests)
        figure("unchanged-%d/wall-seconds" % files, "%.3f" % seconds)
        figure("unchanged-%d/sync-seconds" % files, "%.3f" % own)

    def first_sync(self, direction, jobs, files=300, size=10240):
        uid = self.new_account()
        if direction == "up":
            root = self.local("first-up-%d" % jobs, files, size)
        else:
            self.seed(uid, files, size)
            root = self.local("first-down-%d" % jobs)
        seconds, own, requests, moved = self.sync(root, "--jobs", str(jobs))
        expected = (files, 0) if direction == "up" else (0, files)
        if moved != expected:
            raise SystemExit("bench-sync: %s with %d jobs moved %s" % (direction, jobs, moved))
        note("first sync %s, %d jobs, load %s: %.2f s wall, %.2f s in the sync, %d requests"
             % (direction, jobs, loadavg(), seconds, own, requests))
        return own, requests

    def jobs(self):
        for direction in self.directions:
            one, one_requests = self.first_sync(direction, 1)
            eight, eight_requests = self.first_sync(direction, 8)
            figure("first-300-%s/jobs-1-seconds" % direction, "%.2f" % one)
            figure("first-300-%s/jobs-8-seconds" % direction, "%.2f" % eight)
            figure("first-300-%s/speedup" % direction, "%.2f" % (one / eight))
            figure("first-300-%s/jobs-1-requests" % direction, one_requests)
            figure("first-300-%s/jobs-8-requests" % direction, eight_requests)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--control", required=True)
    parser.add_argument("--ca")
    parser.add_argument("--only", choices=("unchanged", "jobs"), action="append")
    parser.add_argument("--direction", choices=("up", "down"), action="append", help="of the jobs figures")
    options = parser.parse_args()
    bench = SyncBench(options)
    bench.directions = options.direction or ("up", "down")
    for name in options.only or ("unchanged", "jobs"):
        getattr(bench, name)()


if __name__ == "__main__":
    main()
