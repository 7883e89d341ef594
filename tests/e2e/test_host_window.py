"""The reference host's message-only window when many hosts start at once on a
closed desktop: each of them may start the desktop's owner (explorer.exe) and
asks for its window while those settle."""

import concurrent.futures
import os
import pathlib
import threading
import time

from conftest import TIME_SCALE

HOSTS_AT_ONCE = 24


def desktop_owners():
    """Pids of running explorer.exe processes of the test prefix."""
    prefix = ("WINEPREFIX=" + os.environ["WINEPREFIX"]).encode()
    owners = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if (entry / "comm").read_text().strip() != "explorer.exe":
                continue
            if prefix in (entry / "environ").read_bytes().split(b"\0"):
                owners.append(int(entry.name))
        except OSError:
            continue
    return owners


def test_hosts_started_together_all_get_their_window(run_host, standin):
    # The desktop closes a second after its last user has gone.
    deadline = time.monotonic() + 30 * TIME_SCALE
    while desktop_owners():
        assert time.monotonic() < deadline, f"the desktop stays open: {desktop_owners()}"
        time.sleep(0.1)
    together = threading.Barrier(HOSTS_AT_ONCE)

    def link(_):
        together.wait()
        return run_host("link", "--request-only", timeout=120)

    with concurrent.futures.ThreadPoolExecutor(HOSTS_AT_ONCE) as pool:
        runs = list(pool.map(link, range(HOSTS_AT_ONCE)))
    for run in runs:
        assert run.exit_code == 0 and run.of("error") == [], run
        assert [message["kind"] for message in run.messages] == [23], run
