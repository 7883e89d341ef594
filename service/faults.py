"""Scripted misbehaviour: faults waiting for the next matching request or the next new connection."""

import itertools
import re
import threading
import urllib.parse

# faults that replace the reply; the request is not carried out (unless `process` says so)
REPLACING = ("status", "error_200", "drop", "redirect")
# faults that carry the request out and then bend the reply
BENDING = ("delay", "raw_status_line", "big_headers", "omit_headers", "truncate_body", "chunked", "no_length",
           "stall", "offset_back", "skip_ahead", "refuse_next")
CONNECTION = ("untrusted_cert", "wrong_name_cert")
KINDS = REPLACING + BENDING + CONNECTION
# bending faults that change how the body travels; with a `status` (and `body`) they carry that reply
# instead of the call's, which is then not carried out
FRAMING = ("truncate_body", "chunked", "no_length", "stall")


def replaces_reply(kind, params):
    """True when the fault's reply takes the place of the call's (the call is then not carried out)."""
    return kind in REPLACING or (kind in FRAMING and "status" in params)


class Fault:
    """One scripted fault. `params` holds the kind's own settings (see StandIn.inject)."""

    def __init__(self, fault_id, kind, verb=None, path=None, path_regex=None, count=1, **params):
        if kind not in KINDS:
            raise ValueError("unknown fault kind %r (known: %s)" % (kind, ", ".join(KINDS)))
        if int(count) < 1:
            raise ValueError("count must be at least 1")
        self.id = fault_id
        self.kind = kind
        self.verb = verb.upper() if verb else None
        self.path = path
        self.path_regex = re.compile(path_regex) if path_regex else None
        self.count = int(count)
        self.params = params
        self.taken = threading.Event()     # set when a request (or connection) first uses the fault
        self.released = threading.Event()  # ends the wait of a `hold`

    def matches(self, verb, target):
        if self.verb and self.verb != verb.upper():
            return False
        if self.path and not (target.startswith(self.path) or urllib.parse.unquote(target).startswith(self.path)):
            return False
        if self.path_regex and not self.path_regex.search(target):
            return False
        return True

    def describe(self):
        return dict(id=self.id, kind=self.kind, verb=self.verb, path=self.path,
                    path_regex=self.path_regex.pattern if self.path_regex else None, count=self.count, **self.params)


class FaultBook:
    """Pending faults, first added first used; each use counts one down."""

    def __init__(self):
        self._lock = threading.Lock()
        self._faults = []
        self._known = {}  # id -> Fault, used up or not, for wait_taken and release
        self._ids = itertools.count(1)

    def add(self, kind, **options):
        with self._lock:
            fault = Fault(next(self._ids), kind, **options)
            self._faults.append(fault)
            self._known[fault.id] = fault
            return fault.id

    def get(self, fault_id):
        """The fault of that id, pending or used up; KeyError when it never existed."""
        with self._lock:
            return self._known[int(fault_id)]

    def _use(self, fault):
        fault.taken.set()
        fault.count -= 1
        if fault.count == 0:
            self._faults.remove(fault)
        return fault

    def take_request(self, verb, target):
        """The first request fault matching this request, used once; None when there is none."""
        with self._lock:
            for f in self._faults:
                if f.kind not in CONNECTION and f.matches(verb, target):
                    return self._use(f)
        return None

    def take_connection(self):
        """Certificate fault for a newly accepted connection, used once; None when there is none."""
        with self._lock:
            for f in self._faults:
                if f.kind in CONNECTION:
                    return self._use(f)
        return None

    def pending(self):
        with self._lock:
            return [f.describe() for f in self._faults]

    def clear(self):
        """Drops the pending faults and lets every held request go on."""
        with self._lock:
            self._faults.clear()
            for fault in self._known.values():
                fault.released.set()
