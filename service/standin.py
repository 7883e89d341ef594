"""StandIn: the whole stand-in in one object, started in-process by tests or by the command line."""

import json
import os
import threading
import time

from . import calls, certs, faults, oauth, wire
from .server import TlsServer
from .store import ServiceError, Store

DEFAULT_CONSTANTS = {"app_key": "k7w2q9x4m1v8r3t", "app_secret": "s5n8d2f6h1j9l4p",
                     "api_origin": "https://localhost", "content_origin": "https://localhost",
                     "web_origin": "https://localhost"}

# texts the real service never had recorded; settable through `messages=`
DEFAULT_MESSAGES = {
    "exists": "A file or folder already exists at path '%s'",
    "too_many": "Too many file entries to return",
    "conflict": "Conflict: the file has changed since parent_rev",
}


def load_constants(path):
    """The constants file written by the build (app_key, app_secret, origins) merged over the defaults."""
    with open(path, encoding="utf-8") as f:
        return dict(DEFAULT_CONSTANTS, **json.load(f))


class StandIn:
    """The service stand-in: HTTPS API on `host:port`, optional plain-HTTP control port, storage under `root`.

    Use as a context manager or call start()/stop(). All seeding, reading and fault methods are
    thread-safe and also reachable through the control port (see control.py).
    """

    def __init__(self, root, port=443, pki_dir=None, constants=None, control_port=None, host="127.0.0.1",
                 default_uid=12345678, default_namespace=0x0B31176A, oauth_window=300, upload_expiry=86400,
                 messages=None, other_port=None):
        self.root = os.path.abspath(root)
        os.makedirs(self.root, exist_ok=True)
        self.constants = dict(DEFAULT_CONSTANTS, **(constants or {}))
        self.app_key = self.constants["app_key"]
        self.app_secret = self.constants["app_secret"]
        self.pki = certs.make_test_pki(pki_dir or os.path.join(self.root, "pki"))
        self.messages = dict(DEFAULT_MESSAGES, **(messages or {}))
        self.clock_offset = 0.0
        self.frozen_at = None
        self.store = Store(self.root, self.now, upload_expiry)
        realm = self.constants["api_origin"].rstrip("/") + "/"
        self.checker = oauth.Checker(self.store, self.app_key, self.app_secret, self.now, oauth_window, realm)
        self.faults = faults.FaultBook()
        self.api = calls.Api(self)
        self.default_uid = int(default_uid)
        self.store.add_account(self.default_uid, default_namespace)
        self._log = []
        self._log_lock = threading.Lock()
        # False: every reply closes its connection, so each request opens a new one (a
        # certificate fault then meets the very next request, whatever the client keeps pooled).
        self.keep_alive = True
        self._host, self._port, self._control_port, self._other_port = host, port, control_port, other_port
        self._server = self._control = self._other = None
        self._threads = []

    # life cycle

    def start(self):
        self._server = TlsServer((self._host, self._port), self)
        self._threads.append(threading.Thread(target=self._server.serve_forever, args=(0.05,), name="standin-https",
                                             daemon=True))
        if self._other_port is not None:
            # A second origin of the same service (same storage, same certificate name), for
            # redirects to another HTTPS host.
            self._other = TlsServer((self._host, self._other_port), self)
            self._threads.append(threading.Thread(target=self._other.serve_forever, args=(0.05,),
                                                  name="standin-https-other", daemon=True))
        if self._control_port is not None:
            from .control import ControlServer
            self._control = ControlServer((self._host, self._control_port), self)
            self._threads.append(threading.Thread(target=self._control.serve_forever, args=(0.05,),
                                                  name="standin-control", daemon=True))
        for t in self._threads:
            t.start()
        return self

    def stop(self):
        """Stop serving, cut open connections, join every thread and close the sockets."""
        for srv in (self._server, self._other, self._control):
            if srv is not None:
                srv.shutdown()
        for t in self._threads:
            t.join()
        self._threads = []
        for srv in (self._server, self._other):
            if srv is not None:
                srv.close_connections()
                srv.server_close()
        if self._control is not None:
            self._control.server_close()
        self._server = self._control = self._other = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self._server.server_address[1]

    @property
    def other_origin(self):
        """The second HTTPS origin ("https://localhost:PORT"), when the stand-in was made with other_port."""
        return "https://localhost:%d" % self._other.server_address[1] if self._other else None

    @property
    def control_port(self):
        return self._control.server_address[1] if self._control else None

    @property
    def ca_file(self):
        return self.pki.ca_cert

    def now(self):
        """The stand-in's clock: the frozen time if set, else real time plus the offset."""
        if self.frozen_at is not None:
            return self.frozen_at
        return time.time() + self.clock_offset

    # seeding

    def seed_account(self, uid, namespace=None, display_name=None):
        """Add an account (no-op when present). Returns its uid and namespace id."""
        acc = self.store.add_account(uid, namespace, display_name)
        return {"uid": acc.uid, "namespace": acc.namespace}

    def seed_request_token(self, token=None, secret=None, approved=False, uid=None, callback=None):
        """Add a request token, approved for `uid` (default account) when `approved`."""
        owner = int(uid or self.default_uid) if approved else None
        token, secret = self.store.add_request_token(token, secret, owner, callback)
        return {"token": token, "secret": secret, "uid": owner}

    def seed_access_token(self, token=None, secret=None, uid=None):
        uid = int(uid or self.default_uid)
        token, secret = self.store.add_access_token(uid, token, secret)
        return {"token": token, "secret": secret, "uid": uid}

    def seed_folder(self, path, uid=None):
        """Create a folder (and its parents); an existing folder is kept. Returns its metadata."""
        uid = int(uid or self.default_uid)
        try:
            return self.store.create_folder(uid, path)
        except ServiceError as err:
            if err.status != 403:
                raise
            return self.metadata(path, uid)

    def seed_file(self, path, content, uid=None, client_mtime=None):
        """Write a file (parents made as needed). `client_mtime`: POSIX time or a date text."""
        if isinstance(content, str):
            content = content.encode("utf-8")
        if isinstance(client_mtime, str):
            client_mtime = wire.parse_date(client_mtime)
        return self.store.put_file(int(uid or self.default_uid), path, bytes(content), client_mtime=client_mtime)

    def seed_upload_session(self, offset, uid=None):
        """An upload session that already holds `offset` bytes (zeros, stored as a hole), for a client that
        goes on with it from there. Returns its state as a chunk reply has it: expires, upload_id, offset."""
        return self.store.seed_session(int(uid or self.default_uid), offset)

    def set_clock_offset(self, seconds):
        """Move the stand-in's clock (dates it writes, OAuth timestamp window) by `seconds`."""
        self.clock_offset = float(seconds)
        return self.clock_offset

    def freeze_clock(self, when=None):
        """Stop the stand-in's clock at `when` (POSIX time or date text); None lets it run again."""
        self.frozen_at = wire.parse_date(when) if isinstance(when, str) else when
        return self.frozen_at

    def approve(self, token, uid=None):
        """Approve a request token as the authorization page would; False when it is unknown."""
        return self.store.approve(token, int(uid or self.default_uid)) is not None

    # request log

    def log_request(self, entry):
        with self._log_lock:
            self._log.append(entry)

    def requests(self, clear=False):
        """Requests received so far: dicts of verb, path (raw target), headers, body_length, body, status, time."""
        with self._log_lock:
            out = [dict(e) for e in self._log]
            if clear:
                self._log.clear()
            return out

    def clear_requests(self):
        with self._log_lock:
            self._log.clear()

    # faults

    def inject(self, kind, verb=None, path=None, path_regex=None, count=1, **params):
        """Queue a fault for the next `count` matching requests (or new connections); returns its id.

        Request kinds and their params: status(status, body, message, headers, content_type),
        error_200(message), drop(process=False), redirect(location, status=302), delay(delay),
        raw_status_line(line), big_headers(bytes), omit_headers(names), truncate_body(send),
        chunked(send, names), no_length(send, names), stall(send, seconds), offset_back(bytes),
        skip_ahead(to), refuse_next(connections).
        truncate_body, chunked, no_length and stall also take status, body and content_type: that
        reply, framed their way, instead of the call's. Every request kind also takes delay=seconds and
        hold=seconds (wait for release(id), at most that long). Connection kinds: untrusted_cert, wrong_name_cert.
        """
        if kind == "delay" and "delay" not in params and "seconds" in params:
            params["delay"] = params.pop("seconds")
        return self.faults.add(kind, verb=verb, path=path, path_regex=path_regex, count=count, **params)

    def pending_faults(self):
        return self.faults.pending()

    def wait_taken(self, fault_id, timeout=30):
        """Wait until a request has used the fault (a held one is then waiting); False after `timeout` seconds."""
        return self.faults.get(fault_id).taken.wait(float(timeout))

    def release(self, fault_id):
        """Let the requests held by a `hold` fault go on (and any that come later, at once)."""
        self.faults.get(fault_id).released.set()
        return True

    def refused_connections(self):
        """Connection attempts refused so far by refuse_next faults."""
        return self._server.refuser.refused

    def clear_faults(self):
        self.faults.clear()

    def set_id_suffix(self, text):
        """A text every upload id and rev handed out from now on ends with ("" for none)."""
        self.store.id_suffix = str(text)
        return self.store.id_suffix

    def set_keep_alive(self, keep):
        """Whether replies keep their connection open for the next request (default True)."""
        self.keep_alive = bool(keep)
        return self.keep_alive

    # reading the storage

    def read_file(self, path, uid=None, offset=0, length=None):
        """A stored file's bytes: all, or `length` bytes (all to the end when None) from `offset`."""
        meta, f = self.store.open_file(int(uid or self.default_uid), path)
        with f:
            f.seek(int(offset))
            return f.read() if length is None else f.read(int(length))

    def metadata(self, path, uid=None, include_deleted=True):
        """Metadata of a path as the service would answer it (folders without listing)."""
        return self.store.metadata(int(uid or self.default_uid), path, listing=False,
                                   include_deleted=include_deleted)

    def list_folder(self, path="/", uid=None, include_deleted=False):
        return self.store.list_folder(int(uid or self.default_uid), path, include_deleted)

    def listing_text(self, path, uid=None):
        """The exact body the library's listing request for folder `path` gets now (its bytes)."""
        meta = self.store.metadata(int(uid or self.default_uid), path, True, False, 25000, None,
                                   self.messages["too_many"])
        return wire.dumps(meta).encode("utf-8")

    def info(self):
        return {"port": self.port, "control_port": self.control_port, "ca_file": self.pki.ca_cert,
                "root": self.root, "default_uid": self.default_uid, "app_key": self.app_key,
                "clock_offset": self.clock_offset}
