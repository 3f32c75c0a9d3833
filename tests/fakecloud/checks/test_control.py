"""The control API: reset, users, files, tokens, clients, the record and bad calls."""

import hashlib, json, os, time, urllib.parse
from .support import SPACE, StandInCase, dig, dropbox_hash

ALICE, ALICE_USED = "alice@example.com", (5 << 20) + (2 << 20) + (3 << 20) + 1200
FORM = {"Content-Type": "application/x-www-form-urlencoded"}


sha = lambda data: hashlib.sha256(data).hexdigest()  # noqa: E731


class Control(StandInCase):
    def refresh(self, token, client, secret):
        r = self.https("POST", "https://oauth2.googleapis.com/token", urllib.parse.urlencode({"grant_type": "refresh_token",
                       "refresh_token": token, "client_id": client, "client_secret": secret}), FORM)
        return r.status, json.loads(r.body).get("error")

    def test_settings_last_until_reset(self):
        start = self.ctl("GET", "/state")
        self.assertEqual((start["auto"]["enabled"], start["tls"], start["token_lifetime"], start["faults"]),
                         (False, {"mode": "normal", "hosts": None}, {"dropbox": 0, "google": 3599}, []))
        for path, body in [("/auto", {"enabled": True, "delay_ms": 250, "consent": "deny"}), ("/tls", {"mode": "expired", "hosts": ["x"]}),
                           ("/tokens/lifetime", {"service": "google", "seconds": 60}), ("/faults", {"path": SPACE, "kind": "revoked"}),
                           ("/users", {"service": "dropbox", "email": "bob@example.com"}),
                           ("/files", {"service": "dropbox", "path": "/x.txt", "content": "x"})]:
            self.ctl("POST", path, body)
        self.https("GET", "https://apis.google.com/js/api.js")
        now = self.ctl("GET", "/state")
        self.assertEqual((now["auto"]["delay_ms"], now["auto"]["consent"], now["tls"]["hosts"], now["token_lifetime"]["google"],
                          len(now["faults"]), len(now["users"]["dropbox"]), now["record_last"]), (250, "deny", ["x"], 60, 1, 2, 2))
        self.ctl("POST", "/reset")
        self.assertEqual((self.ctl("GET", "/state"), "/x.txt" in self.stored("dropbox", "path")), (start, False))

    def test_users_and_their_quotas(self):
        for svc, quota in [("dropbox", "allocated"), ("google", "quota_total")]:
            self.ctl("POST", "/users", {"service": svc, "email": "bob@example.com", quota: 1000, "used_extra": 10})
        users = self.ctl("GET", "/users")["users"]
        self.assertEqual([(u["service"], u["email"], u["used"]) for u in users], [("dropbox", ALICE, ALICE_USED),
                         ("dropbox", "bob@example.com", 10), ("google", ALICE, ALICE_USED), ("google", "bob@example.com", 10)])
        bob = self.issue("dropbox", email="bob@example.com")["access_token"]
        self.assertEqual([self.db("/2/files/upload", bob, {"path": "/f%d" % n}, b"x" * n).status for n in (990, 1)], [200, 409])  # 10 + 990 fill it
        bob = self.issue("google", email="bob@example.com")["access_token"]
        about = json.loads(self.drive("GET", "/drive/v2/about", bob).body)
        self.assertEqual((about["user"]["emailAddress"], about["quotaBytesTotal"], about["quotaBytesUsed"]), ("bob@example.com", "1000", "10"))
        r = self.drive("POST", "/upload/drive/v3/files?uploadType=resumable", bob, '{"name": "f"}', {"X-Upload-Content-Length": "991"})
        self.assertEqual((r.status, dig(json.loads(r.body), "error/errors/0/reason")), (403, "storageQuotaExceeded"))

    def test_files_added_listed_and_read_back(self):
        for add, query, want in [  # what is added; how it is read back; its bytes, or their number
                ({"service": "dropbox", "path": "/New/a.txt", "content": "h\u00e9llo"}, "path=/new/A.TXT", "h\u00e9llo".encode()),
                ({"service": "dropbox", "path": "/b.bin", "content_base64": "/wD+"}, "path=/b.bin", b"\xff\x00\xfe"),
                ({"service": "google", "name": "c.mkv", "parent": "Films/2024", "size": 10000}, "name=c.mkv", 10000)]:
            with self.subTest(add=add):
                f = self.ctl("POST", "/files", add)
                r = self.ctl("GET", "/files/content?service=%s&%s" % (add["service"], query))
                self.assertEqual(r.body if isinstance(want, bytes) else len(r.body), want)
                self.assertEqual((f["size"], f["sha256"], f["kept"], r.getheader("X-Fakecloud-Sha256")), (len(r.body), sha(r.body), True, f["sha256"]))
        g = self.stored("google", "name")
        self.assertEqual((g["2024"]["parents"], g["c.mkv"]["parents"]), ([g["Films"]["id"]], [g["2024"]["id"]]))
        self.assertTrue(self.ctl("POST", "/files", {"service": "dropbox", "path": "/Empty", "folder": True})["folder"])
        big = os.urandom((64 << 20) + 1)  # above 64 MiB only the size and the digests are kept
        meta = json.loads(self.db("/2/files/upload", self.tok, {"path": "/huge.bin"}, big).body)
        f = self.stored("dropbox", "path")["/huge.bin"]
        self.assertEqual((meta["size"], meta["content_hash"], f["kept"], f["sha256"]), (len(big), dropbox_hash(big), False, sha(big)))
        self.ctl("GET", "/files/content?service=dropbox&path=/huge.bin", expect=410)

    def test_tokens_lifetime_expire_and_revoke(self):
        calls = {"dropbox": (lambda t: self.db(SPACE, t), "error/.tag", "expired_access_token", "invalid_access_token"),
                 "google": (lambda t: self.drive("GET", "/drive/v2/about", t), "error/errors/0/reason", "authError", "authError")}

        def answer(svc, tok):
            r = calls[svc][0](tok)
            return "ok" if r.status == 200 else (r.status, dig(json.loads(r.body), calls[svc][1]))
        short = {}
        for svc in calls:  # 1 s by the service's setting; never (0) by the call
            self.ctl("POST", "/tokens/lifetime", {"service": svc, "seconds": 1})
            short[svc] = [self.issue(svc), self.issue(svc, lifetime=0)]
            self.ctl("POST", "/tokens/lifetime", {"service": svc, "seconds": 0})
        self.assertEqual([t.get("expires_in") for t in short["google"]], [1, 0])
        time.sleep(1.1)
        for svc, (_, _, expired, revoked) in calls.items():
            self.assertEqual([answer(svc, t["access_token"]) for t in short[svc]], [(401, expired), "ok"], svc)
            for path, by_token, want in [("/tokens/expire", True, expired), ("/tokens/expire", False, expired),
                                         ("/revoke", True, revoked), ("/revoke", False, revoked)]:
                a, b = self.issue(svc)["access_token"], self.issue(svc)["access_token"]
                self.ctl("POST", path, {"service": svc, "token": a} if by_token else {"service": svc, "email": ALICE})
                self.assertEqual([answer(svc, t) for t in (a, b, self.issue(svc)["access_token"])],
                                 [(401, want), "ok" if by_token else (401, want), "ok"], (svc, path, by_token))
        old = short["google"][1]  # its grant is revoked now: the refresh token is refused too
        self.assertEqual(self.refresh(old["refresh_token"], old["client_id"], "s"), (400, "invalid_grant"))

    def test_clients(self):
        self.ctl("POST", "/clients", {"service": "dropbox", "ids": ["only-key"]})
        authorize = "https://www.dropbox.com/oauth2/authorize?response_type=token&redirect_uri=app://cb&client_id="
        self.assertEqual([self.https("GET", authorize + k).status for k in ("only-key", "other")], [302, 400])
        self.ctl("POST", "/clients", {"service": "google", "ids": {"app": "s3cret"}})
        refresh = self.issue("google", client_id="app")["refresh_token"]
        self.assertEqual([self.refresh(refresh, client, secret) for client, secret in [("app", "s3cret"), ("app", "wrong"), ("other", "s3cret")]],
                         [(200, None), (401, "invalid_client"), (401, "invalid_client")])

    def test_record(self):
        last, big = self.ctl("GET", "/record")["last"], os.urandom(3 << 20)
        self.db("/2/users/get_account", self.tok, {"account_id": "dbid:x"}, headers={"X-Extra": "1"})
        self.db("/2/files/upload", self.tok, {"path": "/b.bin"}, b"\xff\x00\xfe")
        self.ctl("GET", "/health")
        self.db("/2/files/upload?x=1", self.tok, {"path": "/c.bin"}, big)
        rec = self.record(since=last)
        api, content = "https://api.dropboxapi.com/2/users/get_account", "https://content.dropboxapi.com/2/files/upload"
        self.assertEqual([(e["method"], e["url"], e["status"]) for e in rec], [
            ("CONNECT", "api.dropboxapi.com:443", 200), ("POST", api, 400), ("CONNECT", "content.dropboxapi.com:443", 200),
            ("POST", content, 200), ("CONNECT", "content.dropboxapi.com:443", 200), ("POST", content + "?x=1", 200)])
        (account, small, large), body = rec[1::2], b'{"account_id": "dbid:x"}'
        self.assertEqual(account["headers"][-3:], [["Authorization", "Bearer " + self.tok], ["Content-Type", "application/json"], ["X-Extra", "1"]])
        self.assertEqual([account[k] for k in ("body", "body_size", "body_sha256", "tunnel", "complete")], [body.decode(), len(body), sha(body), True, True])
        self.assertEqual((small["body_base64"], "body" in small, large["body_size"], large["body_sha256"], "body" in large, "body_base64" in large,
                          large["path"], large["query"]), ("/wD+", False, len(big), sha(big), False, False, "/2/files/upload", "x=1"))
        self.assertEqual((self.record(host="api.dropboxapi.com"), self.record(path="/2/files/upload")), (rec[:2], [small, large]))
        self.ctl("DELETE", "/record")
        self.assertEqual(self.record(), [])

    def test_bad_calls_are_refused(self):
        for method, path, body, status in [
                ("GET", "/nothing", None, 404), ("GET", "/reset", None, 404), ("POST", "/auto", {"colour": "red"}, 400),
                ("POST", "/auto", {"consent": "maybe"}, 400), ("POST", "/users", {"service": "onedrive", "email": "a@b"}, 400),
                ("POST", "/users", {"service": "dropbox"}, 400), ("POST", "/files", {"service": "dropbox", "path": "rel.txt"}, 400),
                ("GET", "/files/content?service=google&id=nope", None, 404), ("POST", "/tls", {"mode": "broken"}, 400),
                ("POST", "/tokens/issue", {"service": "dropbox", "email": "nobody@example.com"}, 404),
                ("POST", "/tokens/lifetime", {"service": "google", "seconds": -1}, 400),
                ("POST", "/clients", {"service": "google", "ids": ["list"]}, 400), ("POST", "/hosts", {}, 400),
                ("POST", "/faults", {"path": SPACE, "kind": "explode"}, 400), ("POST", "/faults", {"kind": "status", "status": 500}, 400),
                ("POST", "/faults", {"path": SPACE, "kind": "status"}, 400), ("DELETE", "/faults/999", None, 404)]:
            with self.subTest(method=method, path=path, body=body):
                self.assertIn("error", self.ctl(method, path, body, expect=status))
        self.assertEqual(self.ctl("GET", "/faults")["faults"], [])
