"""One reference host for many operations: velmora-sync.exe's `session` command under Wine,
fed one step per line on stdin, so a test can change the stand-in between two operations and
pay for Wine's start once."""

import json
import queue
import subprocess
import tempfile
import threading

import pytest

from conftest import DLL_NAMES, TIME_SCALE, HostRun, build_dir, windows_path, wine_command, wine_env

# Seconds a step may take beyond the host's own --timeout before the session counts as hung.
STEP_MARGIN = 30


class HostSession:
    """velmora-sync.exe --json --timeout TIMEOUT --dll DLL session, kept running.

    step(command, *args) sends one step (a command of the host with its arguments, or
    setenv/access) and returns its HostRun: the step's events (without the closing "step"
    event, which is its summary: code, workers_ended, outstanding_blocks, out_of_memory)."""

    def __init__(self, dll="faults", env=None, timeout=60, lifetime=3600):
        # Every time limit, the host's --timeout among them, grows by TIME_SCALE under emulation.
        self.timeout = timeout * TIME_SCALE
        exe = build_dir() / "velmora-sync.exe"
        command = ["timeout", "--kill-after=5", str(lifetime * TIME_SCALE), *wine_command(), str(exe), "--json",
                   "--timeout", str(self.timeout), "--dll", windows_path(build_dir() / DLL_NAMES[dll]), "session"]
        self._stderr = tempfile.TemporaryFile()
        self._process = subprocess.Popen(command, env=wine_env(env), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=self._stderr)
        self._lines = queue.Queue()
        # A daemon: Wine's helper processes may keep the pipe open after the host has gone.
        self._reader = threading.Thread(target=self._read, name="host-session-reader", daemon=True)
        self._reader.start()
        self.steps = 0

    def _read(self):
        for line in self._process.stdout:
            self._lines.put(line)
        self._lines.put(None)

    def step(self, *fields, wait=None):
        """Runs one step; fails the test when the host ends or stays silent longer than the step may take."""
        line = "\t".join(map(str, fields))
        assert "\n" not in line
        self._process.stdin.write(line.encode("utf-8") + b"\n")
        self._process.stdin.flush()
        self.steps += 1
        events, other = [], []
        deadline = wait if wait is not None else self.timeout + STEP_MARGIN * TIME_SCALE
        while True:
            try:
                raw = self._lines.get(timeout=deadline)
            except queue.Empty:
                pytest.fail(f"host session: no end of step {self.steps} ({line!r}) within {deadline} s")
            if raw is None:
                pytest.fail(f"host session ended during step {self.steps} ({line!r}): {self.stderr()}")
            text = raw.decode("utf-8", "replace").strip()
            event = None
            if text.startswith("{"):
                try:
                    event = json.loads(text)
                except ValueError:
                    pass
            if event is None:
                if text:
                    other.append(text)
                continue
            if event.get("iteration") != self.steps:
                pytest.fail(f"host session: event of another step in step {self.steps}: {event}")
            if event["event"] == "step":
                return HostRun(event["code"], events, other, "", event)
            events.append(event)

    def stderr(self):
        self._stderr.seek(0)
        return self._stderr.read().decode("utf-8", "replace")

    def close(self):
        """Ends the session; fails the test when the host does not exit cleanly."""
        try:
            self._process.stdin.write(b"end\n")
            self._process.stdin.close()
        except OSError:
            pass
        try:
            code = self._process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self._process.kill()
            code = self._process.wait()
        self._stderr.close()
        return code
