"""Accounts, tokens, files, revisions and upload sessions; file bytes live in a folder on disk."""

import hashlib
import itertools
import os
import secrets
import shutil
import string
import threading

from . import wire

_ALNUM = string.ascii_lowercase + string.digits


class ServiceError(Exception):
    """An error reply: status, message, extra members put before "error", extra headers."""

    def __init__(self, status, message, extra=None, headers=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.extra = extra or {}
        self.headers = headers or []

    def body(self):
        return wire.dumps(dict(self.extra, error=self.message))


def not_found(path):
    return ServiceError(404, "Path '%s' not found" % path)


def new_token():
    """15 lower-case letters and digits."""
    return "".join(secrets.choice(_ALNUM) for _ in range(15))


def normalize(raw):
    """Canonical form `/a/b` of a decoded path (root is `/`); ServiceError 400 when unusable."""
    if raw is None:
        raise ServiceError(400, "Missing parameter: path")
    parts = [p for p in raw.replace("\\", "/").split("/") if p]
    for p in parts:
        if p in (".", "..") or "\x00" in p or len(p.encode("utf-8", "surrogatepass")) > 255:
            raise ServiceError(400, "Invalid path: '%s'" % raw)
        try:
            p.encode("utf-8")
        except UnicodeEncodeError:
            raise ServiceError(400, "Invalid path: not UTF-8") from None
    return "/" + "/".join(parts)


def parent_of(path):
    return path.rsplit("/", 1)[0] or "/"


class Entry:
    """One file or folder of an account, live or deleted."""

    def __init__(self, path, is_dir, revision, modified, client_mtime=None, size=0):
        self.path = path
        self.is_dir = is_dir
        self.revision = revision
        self.modified = modified
        self.client_mtime = client_mtime if client_mtime is not None else modified
        self.size = size
        self.deleted = False


class Account:
    def __init__(self, uid, namespace, directory, display_name):
        self.uid = uid
        self.namespace = namespace
        self.dir = directory
        self.display_name = display_name
        self.counter = 0
        self.entries = {}  # lower-case path -> Entry

    def next_revision(self):
        self.counter += 1
        return self.counter

    def disk(self, path):
        return os.path.join(self.dir, *path.strip("/").split("/")) if path != "/" else self.dir


class Session:
    def __init__(self, upload_id, uid, file, expires):
        self.upload_id = upload_id
        self.uid = uid
        self.file = file
        self.offset = 0
        self.expires = expires


class Store:
    """All state of the stand-in. Every public method takes the lock; metadata comes back as ordered dicts."""

    def __init__(self, root, clock, upload_expiry=86400):
        self.root = os.path.abspath(root)
        self.clock = clock
        self.upload_expiry = upload_expiry
        self.lock = threading.RLock()
        self.accounts = {}
        self.request_tokens = {}  # token -> {"secret", "uid" (None until approved), "callback"}
        self.access_tokens = {}   # token -> {"secret", "uid"}
        self.sessions = {}
        # A text every upload id and rev handed out ends with (and that the calls must bring back):
        # lets a test hand the client ids with characters a URL must escape.
        self.id_suffix = ""
        for sub in ("accounts", "uploads"):
            shutil.rmtree(os.path.join(self.root, sub), ignore_errors=True)
            os.makedirs(os.path.join(self.root, sub))

    # accounts and tokens

    def add_account(self, uid, namespace=None, display_name=None):
        with self.lock:
            uid = int(uid)
            if uid in self.accounts:
                return self.accounts[uid]
            if namespace is None:
                namespace = int.from_bytes(os.urandom(4), "big") | 0x01000000
            directory = os.path.join(self.root, "accounts", str(uid))
            os.makedirs(directory, exist_ok=True)
            acc = Account(uid, int(namespace), directory, display_name or "User %d" % uid)
            self.accounts[uid] = acc
            return acc

    def account(self, uid):
        acc = self.accounts.get(int(uid))
        if acc is None:
            raise ServiceError(404, "No account %s" % uid)
        return acc

    def add_request_token(self, token=None, secret=None, uid=None, callback=None):
        with self.lock:
            token = token or new_token()
            self.request_tokens[token] = {"secret": secret or new_token(), "uid": uid, "callback": callback}
            return token, self.request_tokens[token]["secret"]

    def approve(self, token, uid):
        with self.lock:
            record = self.request_tokens.get(token)
            if record is None:
                return None
            self.account(uid)
            record["uid"] = int(uid)
            return record

    def add_access_token(self, uid, token=None, secret=None):
        with self.lock:
            self.account(uid)
            token = token or new_token()
            self.access_tokens[token] = {"secret": secret or new_token(), "uid": int(uid)}
            return token, self.access_tokens[token]["secret"]

    def exchange(self, request_token):
        """Trade an approved request token (used once) for a new access token."""
        with self.lock:
            record = self.request_tokens.pop(request_token)
            token, secret = self.add_access_token(record["uid"])
            return token, secret, record["uid"]

    # metadata

    def rev_of(self, acc, entry):
        """The rev the service gives an entry (with the id suffix in force)."""
        return wire.rev(entry.revision, acc.namespace) + self.id_suffix

    def new_session_id(self):
        """A new upload id (with the id suffix in force) and the name of its session file."""
        return secrets.token_urlsafe(16) + self.id_suffix, secrets.token_hex(16)

    def meta(self, acc, entry, deleted_flag=None):
        values = {"revision": entry.revision, "rev": self.rev_of(acc, entry), "thumb_exists": False,
                  "bytes": entry.size, "modified": wire.http_date(entry.modified), "path": entry.path,
                  "is_dir": entry.is_dir, "root": "app_folder", "size": wire.human_size(entry.size)}
        if entry.is_dir:
            values["icon"] = "folder"
            out = wire.ordered(values, wire.FOLDER_KEYS)
        else:
            values["client_mtime"] = wire.http_date(entry.client_mtime)
            values["mime_type"], values["icon"] = wire.file_type(entry.path)
            out = wire.ordered(values, wire.FILE_KEYS)
        if entry.deleted if deleted_flag is None else deleted_flag:
            out = dict({"is_deleted": True}, **out)
        return out

    def _children(self, acc, path):
        low = path.lower()
        prefix = "/" if low == "/" else low + "/"
        return [e for k, e in acc.entries.items() if k.startswith(prefix) and "/" not in k[len(prefix):]]

    def _hash(self, path, children):
        h = hashlib.md5(path.lower().encode("utf-8"))
        for e in sorted(children, key=lambda c: c.path.lower()):
            h.update(("\n%s:%d:%d" % (e.path.lower(), e.revision, e.deleted)).encode("utf-8"))
        return h.hexdigest()

    def metadata(self, uid, path, listing=True, include_deleted=False, file_limit=10000, known_hash=None,
                 limit_message="Too many file entries to return"):
        """Metadata of `path` (a folder with `hash` and `contents` when listing).

        Returns None when `known_hash` matches the folder's hash (the caller answers 304).
        """
        with self.lock:
            acc = self.account(uid)
            path = normalize(path)
            if path == "/":
                entry = None
            else:
                entry = acc.entries.get(path.lower())
                if entry is None:
                    raise not_found(path)
                if entry.deleted or not entry.is_dir or not listing:
                    return self.meta(acc, entry)
            children = self._children(acc, path)
            digest = self._hash(path, children)
            if known_hash is not None and known_hash == digest:
                return None
            shown = [c for c in children if include_deleted or not c.deleted]
            if len([c for c in shown if not c.deleted]) > file_limit:
                raise ServiceError(406, limit_message)
            shown.sort(key=lambda c: (c.path.rsplit("/", 1)[-1].lower(), c.path))
            contents = [self.meta(acc, c) for c in shown]
            if entry is None:
                values = {"hash": digest, "thumb_exists": False, "bytes": 0, "path": "/", "is_dir": True,
                          "size": "0 bytes", "root": "app_folder", "contents": contents, "icon": "folder"}
                return wire.ordered(values, wire.ROOT_KEYS)
            values = dict(self.meta(acc, entry), hash=digest, contents=contents)
            return wire.ordered(values, wire.LISTING_KEYS)

    def list_folder(self, uid, path, include_deleted=False):
        """Children metadata of a folder, sorted as in listings."""
        result = self.metadata(uid, path, True, include_deleted, file_limit=10 ** 9)
        if "contents" not in result:
            raise ServiceError(400, "Not a folder: %s" % path)
        return result["contents"]

    # changes

    def _live(self, acc, path):
        e = acc.entries.get(path.lower())
        return e if e is not None and not e.deleted else None

    def _canonical(self, acc, path):
        """`path` with its parent folders spelled as they already exist."""
        parent = parent_of(path)
        if parent == "/":
            return path
        folder = self._live(acc, parent)
        base = folder.path if folder is not None else self._canonical(acc, parent)
        return base + "/" + path.rsplit("/", 1)[-1]

    def _ensure_folder(self, acc, path):
        """Live folder at `path`, made with its parents when missing; 403 when a file is in the way."""
        if path == "/":
            return None
        existing = self._live(acc, path)
        if existing is not None:
            if not existing.is_dir:
                raise ServiceError(403, "Cannot create folder: a file exists at '%s'" % existing.path)
            return existing
        self._ensure_folder(acc, parent_of(path))
        path = self._canonical(acc, path)
        now = self.clock()
        entry = Entry(path, True, acc.next_revision(), now)
        acc.entries[path.lower()] = entry
        os.makedirs(acc.disk(path), exist_ok=True)
        return entry

    def create_folder(self, uid, path, exists_message="A file or folder already exists at path '%s'"):
        with self.lock:
            acc = self.account(uid)
            path = normalize(path)
            existing = self._live(acc, path) if path != "/" else True
            if existing is not None:
                raise ServiceError(403, exists_message % (existing.path if existing is not True else "/"))
            return self.meta(acc, self._ensure_folder(acc, path))

    def _free_name(self, acc, path, numbered):
        """First free `stem (conflicted copy).ext`, `... (conflicted copy 2)...`, or `stem (1).ext`, `(2)`..."""
        parent, name = path.rsplit("/", 1)
        stem, dot, ext = name.rpartition(".")
        if not stem:
            stem, dot, ext = name, "", ""
        for n in itertools.count(1):
            tag = str(n) if numbered else ("conflicted copy" if n == 1 else "conflicted copy %d" % n)
            candidate = "%s/%s (%s)%s%s" % (parent, stem, tag, dot, ext)
            if self._live(acc, candidate) is None:
                return candidate

    def put_file(self, uid, path, source, client_mtime=None, overwrite=True, parent_rev=None, autorename=True,
                 conflict_message="Conflict: the file has changed since parent_rev"):
        """Store a file from `source` (bytes, or the path of a file to move in); returns its metadata."""
        with self.lock:
            acc = self.account(uid)
            path = normalize(path)
            if path == "/":
                raise ServiceError(400, "Cannot write to the root folder")
            self._ensure_folder(acc, parent_of(path))
            path = self._canonical(acc, path)
            current = self._live(acc, path)
            if current is not None:
                stale = parent_rev is not None and parent_rev != self.rev_of(acc, current)
                if current.is_dir or stale or not overwrite:
                    if not autorename:
                        raise ServiceError(409, conflict_message)
                    path = self._free_name(acc, path, numbered=not (current.is_dir or stale))
                    current = None
            now = self.clock()
            disk = acc.disk(path if current is None else current.path)
            if isinstance(source, (bytes, bytearray)):
                tmp = disk + ".part"
                with open(tmp, "wb") as f:
                    f.write(source)
                source, size = tmp, len(source)
            else:
                size = os.path.getsize(source)
            os.replace(source, disk)
            if current is not None:
                current.revision, current.modified, current.size = acc.next_revision(), now, size
                current.client_mtime = client_mtime if client_mtime is not None else now
                entry = current
            else:
                entry = Entry(path, False, acc.next_revision(), now, client_mtime, size)
                acc.entries[path.lower()] = entry
            return self.meta(acc, entry)

    def delete(self, uid, path):
        """Mark `path` (and all under it) deleted; returns the deleted item's metadata."""
        with self.lock:
            acc = self.account(uid)
            path = normalize(path)
            if path == "/":
                raise ServiceError(403, "Cannot delete the root folder")
            entry = self._live(acc, path)
            if entry is None:
                raise not_found(path)
            low = entry.path.lower()
            now = self.clock()
            for key in sorted(acc.entries):
                e = acc.entries[key]
                if (key == low or key.startswith(low + "/")) and not e.deleted:
                    e.deleted, e.revision, e.modified, e.size = True, acc.next_revision(), now, 0
            disk = acc.disk(entry.path)
            if entry.is_dir:
                shutil.rmtree(disk, ignore_errors=True)
            elif os.path.exists(disk):
                os.remove(disk)
            return self.meta(acc, entry)

    def open_file(self, uid, path):
        """(metadata, open binary file) of a live file; 404 otherwise. The caller closes the file."""
        with self.lock:
            acc = self.account(uid)
            path = normalize(path)
            entry = self._live(acc, path) if path != "/" else None
            if entry is None or entry.is_dir:
                raise not_found(path)
            return self.meta(acc, entry), open(acc.disk(entry.path), "rb")

    # upload sessions

    def _session(self, uid, upload_id):
        s = self.sessions.get(upload_id)
        if s is None or s.uid != uid or s.expires <= self.clock():
            raise ServiceError(404, "Unknown upload_id")
        return s

    def chunk_state(self, s):
        return wire.ordered({"expires": wire.http_date(s.expires), "upload_id": s.upload_id, "offset": s.offset},
                            wire.CHUNK_KEYS)

    def open_session(self, uid, upload_id, offset):
        """Session a chunk goes into (a new one without id); 400 with the state when `offset` is off."""
        with self.lock:
            if upload_id is None:
                if offset not in (None, 0):
                    raise ServiceError(400, "Submitted input out of alignment: got [%d] expected [0]" % offset)
                upload_id, name = self.new_session_id()
                s = Session(upload_id, uid, os.path.join(self.root, "uploads", name),
                            self.clock() + self.upload_expiry)
                open(s.file, "wb").close()
                self.sessions[upload_id] = s
                return s
            s = self._session(uid, upload_id)
            if offset is not None and offset != s.offset:
                raise ServiceError(400, "Submitted input out of alignment: got [%d] expected [%d]" % (offset, s.offset),
                                   extra=self.chunk_state(s))
            return s

    def seed_session(self, uid, offset):
        """A new session that holds `offset` bytes already, as if an upload had sent them: a hole of zeros
        in the session file (no disk blocks). The next chunk must come at `offset` with its id."""
        with self.lock:
            self.account(uid)
            offset = int(offset)
            if offset < 0:
                raise ServiceError(400, "offset must not be negative")
            upload_id, name = self.new_session_id()
            s = Session(upload_id, uid, os.path.join(self.root, "uploads", name), self.clock() + self.upload_expiry)
            with open(s.file, "wb") as f:
                f.truncate(offset)
            s.offset = offset
            self.sessions[upload_id] = s
            return self.chunk_state(s)

    def set_back(self, s, n):
        """Forget the last `n` bytes of a session."""
        with self.lock:
            s.offset = max(0, s.offset - n)
            with open(s.file, "r+b") as f:
                f.truncate(s.offset)

    def skip_to(self, s, offset):
        """Move a session forward to `offset` as if the bytes up to it had arrived: the session file grows
        to that length with a hole (zeros, no disk blocks). Never moves a session back."""
        with self.lock:
            s.offset = max(s.offset, int(offset))
            with open(s.file, "r+b") as f:
                f.truncate(s.offset)

    def commit(self, uid, path, upload_id, **options):
        with self.lock:
            if not upload_id:
                raise ServiceError(400, "Missing parameter: upload_id")
            s = self.sessions.get(upload_id)
            if s is None or s.uid != uid or s.expires <= self.clock():
                raise ServiceError(400, "Invalid upload_id")
            result = self.put_file(uid, path, s.file, **options)
            del self.sessions[upload_id]
            return result
