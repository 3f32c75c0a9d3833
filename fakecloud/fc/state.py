"""Everything one run of the stand-in holds: users, files, tokens, sessions,
faults, the request record and the page settings."""

import base64
import hashlib
import hmac
import json
import secrets
import threading
import time

from .content import Content

RECORD_LIMIT = 20000    # the record keeps the last this many requests

# Tokens carry their own description and a MAC made with this key, so a token
# issued by one run is still understood by the next (revocations are per run).
TOKEN_KEY = b"fakecloud token key, for tests only"

GIB = 1 << 30
TIB = 1 << 40


def b64u(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def unb64u(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def iso(t):
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(t))


def iso_ms(t):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % int((t % 1) * 1000)


RULES = ("classic", "live")


class State:
    def __init__(self, auto=False, rules="classic"):
        self.lock = threading.RLock()
        self.auto_default = auto
        self.rules = rules  # kept through /reset
        self.reset()

    @property
    def live(self):
        """Today's published rules of the services (--rules live)."""
        return self.rules == "live"

    def now(self):
        """The services' clock: every expiry is measured by it; the control
        API moves it forward so that tests need not wait."""
        return time.time() + self.clock_offset

    # ---------------------------------------------------------------- setup
    def reset(self):
        with self.lock:
            self.seq = 0
            self.clock_offset = 0.0
            self.record = []
            self.faults = []
            self.fault_seq = 0
            self.tls = {"mode": "normal", "hosts": None}
            self.sink = False           # upload bodies counted only (POST /sink)
            self.auto = {
                "enabled": self.auto_default,
                "delay_ms": 800,
                "email": None,          # account that auto sign-in uses (first user when null)
                "consent": "allow",     # or "deny"
                "chooser": "pick",      # or "cancel"
                "dropbox_pick": None,   # file name to pick; first listed file when null
                "google_pick": None,
            }
            # seconds, 0 = never expires; Dropbox's short-lived tokens last 4 hours today
            self.token_lifetime = {"dropbox": 14400 if self.live else 0, "google": 3599}
            self.revoked_tokens = set()
            self.revoked_refresh = set()  # nonces of refresh tokens revoked, with every access token they gave
            self.expired_tokens = set()
            self.revoked_before = {}    # (service, email) -> time: grants older than this are revoked
            self.expired_before = {}
            self.codes = {}             # authorization codes
            self.granted = set()        # (email, client id) pairs a Google user has allowed
            self.clients = {"dropbox": None, "google": None}  # None: any client id is accepted
            self.db_redirects = {}      # app key -> its registered redirect URIs (live rules)
            # plain-http host -> (status, body); the player's ping host answers from the start
            self.extra_hosts = {"ping.qovi.com": {"status": 204, "body": ""}}
            # cursors and page tokens name the listing they were made in: a new one makes them stale
            self.cursor_epoch = {"dropbox": secrets.token_hex(4), "google": secrets.token_hex(4)}
            self.listings = {}          # Drive searches already sorted, by user, file count and query
            self.db_sessions = {}
            self.db_committed = {}      # finished upload session id -> email (the session is spent)
            self.g_sessions = {}
            self.db_users = {}
            self.g_users = {}
            self.id_seq = 0
            self.add_dropbox_user("alice@example.com", "alice-password", "Alice", "Example")
            self.add_google_user("alice@example.com", "alice-password", "Alice", "Example")
            self.seed_default_files()

    def new_id(self, n=16):
        self.id_seq += 1
        return secrets.token_urlsafe(n).replace("-", "x").replace("_", "y")[:n]

    def add_dropbox_user(self, email, password, given="User", surname="Example",
                         allocated=2 * TIB, account_id=None, uid=None, used_extra=0):
        with self.lock:
            key = email.lower()
            digest = hashlib.sha256(("dropbox:" + key).encode()).digest()
            u = {
                "email": email, "password": password, "given_name": given, "surname": surname,
                "account_id": account_id or "dbid:AA" + b64u(digest)[:41],
                "uid": uid or str(10000000 + int.from_bytes(digest[:4], "big") % 89999999),
                "allocated": allocated, "used_extra": used_extra,
                "files": {"": {"folder": True, "path_display": "", "name": "", "id": "id:root"}},
            }
            self.db_users[key] = u
            return u

    def add_google_user(self, email, password, given="User", surname="Example",
                        quota_total=2 * TIB, used_extra=0):
        with self.lock:
            key = email.lower()
            digest = hashlib.sha256(("google:" + key).encode()).digest()
            root = "0A" + b64u(digest)[:17] + "Uk9PVA"
            u = {
                "email": email, "password": password, "given_name": given, "surname": surname,
                "permission_id": str(int.from_bytes(digest[:8], "big"))[:20],
                "root_id": root, "quota_total": quota_total, "used_extra": used_extra,
                "files": {root: {"id": root, "name": "My Drive", "mimeType": FOLDER_MIME,
                                  "parents": [], "trashed": False, "content": None,
                                  "created": self.now()}},
            }
            self.g_users[key] = u
            return u

    def seed_default_files(self):
        alice_db = self.db_users["alice@example.com"]
        for path, size in [("/Videos/Big Buck Bunny.mp4", 5 << 20), ("/Videos/clip.mkv", 2 << 20),
                           ("/holiday.mov", 3 << 20), ("/Documents/notes.txt", 1200)]:
            self.dropbox_put_file(alice_db, path, Content(size, pattern=path))
        alice_g = self.g_users["alice@example.com"]
        videos = self.google_make_folder(alice_g, "Videos", alice_g["root_id"])
        for name, mime, size, parent in [("Big Buck Bunny.mp4", "video/mp4", 5 << 20, alice_g["root_id"]),
                                         ("clip.mkv", "video/x-matroska", 2 << 20, alice_g["root_id"]),
                                         ("holiday.mov", "video/quicktime", 3 << 20, videos["id"]),
                                         ("notes.txt", "text/plain", 1200, alice_g["root_id"])]:
            self.google_put_file(alice_g, name, mime, parent, Content(size, pattern=name))

    # -------------------------------------------------------------- dropbox
    def dropbox_user(self, email=None):
        with self.lock:
            if email is None:
                return next(iter(self.db_users.values()), None)
            return self.db_users.get(email.lower())

    def dropbox_used(self, u):
        return u["used_extra"] + sum(f["content"].size for f in u["files"].values() if not f["folder"])

    def sorted_paths(self, u):
        """The user's Dropbox paths (lower case), sorted; sorted again only
        when their number changed (entries are never removed)."""
        if u.get("sorted_count") != len(u["files"]):
            u["sorted_paths"], u["sorted_count"] = sorted(u["files"]), len(u["files"])
        return u["sorted_paths"]

    def dropbox_ensure_folders(self, u, path_display):
        parts = [p for p in path_display.split("/") if p]
        cur = ""
        for p in parts:
            cur += "/" + p
            low = cur.lower()
            f = u["files"].get(low)
            if f is None:
                u["files"][low] = {"folder": True, "path_display": cur, "name": p,
                                   "id": "id:" + self.new_id(22)}
            elif not f["folder"]:
                return False
            else:
                cur = f["path_display"]  # existing folders keep their letter case
        return True

    def dropbox_put_file(self, u, path_display, content):
        with self.lock:
            parent = path_display.rsplit("/", 1)[0]
            self.dropbox_ensure_folders(u, parent)
            now = self.now()
            entry = {"folder": False, "path_display": path_display,
                     "name": path_display.rsplit("/", 1)[1], "id": "id:" + self.new_id(22),
                     "content": content, "rev": "0" + secrets.token_hex(8),
                     "client_modified": now, "server_modified": now}
            u["files"][path_display.lower()] = entry
            return entry

    # --------------------------------------------------------------- google
    def google_user(self, email=None):
        with self.lock:
            if email is None:
                return next(iter(self.g_users.values()), None)
            return self.g_users.get(email.lower())

    def google_used(self, u):
        return u["used_extra"] + sum(f["content"].size for f in u["files"].values() if f.get("content"))

    def google_make_folder(self, u, name, parent):
        with self.lock:
            fid = "1" + self.new_id(32)
            f = {"id": fid, "name": name, "mimeType": FOLDER_MIME, "parents": [parent],
                 "trashed": False, "content": None, "created": self.now()}
            u["files"][fid] = f
            return f

    def google_put_file(self, u, name, mime, parent, content):
        with self.lock:
            fid = "1" + self.new_id(32)
            f = {"id": fid, "name": name, "mimeType": mime, "parents": [parent] if parent else [u["root_id"]],
                 "trashed": False, "content": content, "created": self.now()}
            u["files"][fid] = f
            return f

    # --------------------------------------------------------------- tokens
    def issue_token(self, service, kind, email, client_id="", lifetime=None, extra=None):
        """A token and its payload. An access token given for a refresh token
        carries that token's nonce in `r` (extra), so that revoking the
        refresh token refuses it too."""
        now = self.now()
        if lifetime is None:
            lifetime = self.token_lifetime.get(service, 0) if kind == "access" else 0
        payload = {"s": service, "k": kind, "e": email, "i": now,
                   "x": (now + lifetime) if lifetime else 0, "c": client_id,
                   "n": secrets.token_hex(4)}
        if extra:
            payload.update(extra)
        body = b64u(json.dumps(payload, separators=(",", ":")).encode())
        mac = b64u(hmac.new(TOKEN_KEY, body.encode(), hashlib.sha256).digest()[:18])
        prefix = {("dropbox", "access"): "sl.", ("google", "access"): "ya29.",
                  ("google", "refresh"): "1//0"}.get((service, kind), "")
        return prefix + body + "." + mac, payload

    def check_token(self, service, kind, token):
        """Returns (payload, problem): problem is None, "invalid", "expired" or "revoked"."""
        if not token:
            return None, "invalid"
        prefix = {("dropbox", "access"): "sl.", ("google", "access"): "ya29.",
                  ("google", "refresh"): "1//0"}.get((service, kind), "")
        if not token.startswith(prefix):
            return None, "invalid"
        body, dot, mac = token[len(prefix):].rpartition(".")
        if not dot:
            return None, "invalid"
        want = b64u(hmac.new(TOKEN_KEY, body.encode(), hashlib.sha256).digest()[:18])
        if not hmac.compare_digest(want, mac):
            return None, "invalid"
        try:
            payload = json.loads(unb64u(body))
        except Exception:
            return None, "invalid"
        if payload.get("s") != service or payload.get("k") != kind:
            return None, "invalid"
        with self.lock:
            users = self.db_users if service == "dropbox" else self.g_users
            if payload["e"].lower() not in users:
                return payload, "invalid"
            key = (service, payload["e"].lower())
            if token in self.revoked_tokens or payload["i"] <= self.revoked_before.get(key, 0) \
                    or payload.get("r" if kind == "access" else "n") in self.revoked_refresh:
                return payload, "revoked"
            if token in self.expired_tokens or (kind == "access" and payload["i"] <= self.expired_before.get(key, 0)):
                return payload, "expired"
        if payload.get("x") and self.now() > payload["x"]:
            return payload, "expired"
        return payload, None

    # ---------------------------------------------------------------- record
    def add_record(self, entry):
        with self.lock:
            self.seq += 1
            entry["seq"] = self.seq
            self.record.append(entry)
            if len(self.record) > RECORD_LIMIT:
                del self.record[:len(self.record) - RECORD_LIMIT]
            return entry

    # ---------------------------------------------------------------- faults
    def add_fault(self, settings):
        with self.lock:
            self.fault_seq += 1
            f = dict(settings)
            f["id"] = self.fault_seq
            f.setdefault("times", None)
            f.setdefault("skip", 0)
            f["hits"] = 0
            self.faults.append(f)
            return f

    def take_fault(self, host, path, method):
        """The first fault matching this request, counted as used; or None."""
        with self.lock:
            for f in self.faults:
                if f.get("host") and f["host"].lower() != host:
                    continue
                if f.get("method") and f["method"].upper() != method:
                    continue
                pat = f.get("path")
                if pat:
                    if pat.endswith("*"):
                        if not path.startswith(pat[:-1]):
                            continue
                    elif pat != path:
                        continue
                if f["skip"] > 0:
                    f["skip"] -= 1
                    continue
                if f["times"] is not None:
                    if f["times"] <= 0:
                        continue
                    f["times"] -= 1
                f["hits"] += 1
                return dict(f)
            return None


FOLDER_MIME = "application/vnd.google-apps.folder"
