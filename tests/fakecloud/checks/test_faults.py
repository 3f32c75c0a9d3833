"""Every fault kind, and how faults are matched, counted and removed."""

import contextlib, hashlib, http.client, json, os, time
from .support import SPACE, StandInCase, dig, eventually, tunnel

APPEND, FINISH = "/2/files/upload_session/append_v2", "/2/files/upload_session/finish"
ABOUT, TOKEN, UPLOAD = "/drive/v2/about", "/token", "/upload/drive/v3/files"
CUT = (OSError, http.client.HTTPException)  # how a cut connection shows


class Faults(StandInCase):
    def call(self, path, **kw):
        """The request the faults of this path are tried on."""
        cursor = {"cursor": {"session_id": "s", "offset": 0}, "commit": {"path": "/a"}}
        return {SPACE: lambda: self.db(SPACE, self.tok, **kw), APPEND: lambda: self.db(APPEND, self.tok, cursor, b"abc", **kw),
                FINISH: lambda: self.db(FINISH, self.tok, cursor, b"", **kw), ABOUT: lambda: self.drive("GET", ABOUT, self.gtok, **kw),
                TOKEN: lambda: self.https("POST", "https://oauth2.googleapis.com/token", "grant_type=refresh_token", **kw),
                UPLOAD: lambda: self.drive("POST", UPLOAD + "?uploadType=resumable", self.gtok, "{}", **kw)}[path]()

    def test_answers(self):
        bearer = 'Bearer realm="https://accounts.google.com/", error="invalid_token"'
        for path, fault, status, header, place, value in [  # the answer: status, a header, a value in its JSON body
                (SPACE, {"kind": "status", "status": 503, "body": {"error_summary": "busy/..."}, "headers": {"Retry-After": "7"}},
                 503, ("Retry-After", "7"), "error_summary", "busy/..."),
                (ABOUT, {"kind": "status", "status": 500}, 500, None, "error/errors/0/reason", "internalError"),
                (SPACE, {"kind": "revoked"}, 401, None, "error/.tag", "invalid_access_token"),
                (SPACE, {"kind": "expired"}, 401, None, "error_summary", "expired_access_token/..."),
                (ABOUT, {"kind": "revoked"}, 401, ("WWW-Authenticate", bearer), "error/errors/0/reason", "authError"),
                (ABOUT, {"kind": "expired"}, 401, ("WWW-Authenticate", bearer), "error/code", 401),
                (TOKEN, {"kind": "revoked"}, 400, None, "error", "invalid_grant"), (TOKEN, {"kind": "expired"}, 400, None, "error", "invalid_grant"),
                (FINISH, {"kind": "no_space"}, 409, None, "error_summary", "path/insufficient_space/..."),
                (UPLOAD, {"kind": "no_space"}, 403, None, "error/errors/0/reason", "storageQuotaExceeded"),
                (APPEND, {"kind": "rate_limit", "retry_after": 3}, 429, ("Retry-After", "3"), "error",
                 {"reason": {".tag": "too_many_write_operations"}, "retry_after": 3}),
                (UPLOAD, {"kind": "rate_limit", "retry_after": 4}, 429, ("Retry-After", "4"), "error/errors/0/reason", "rateLimitExceeded")]:
            with self.subTest(path=path, fault=fault):
                self.ctl("POST", "/faults", dict(fault, path=path, times=1))
                r, again = self.call(path), self.call(path)
                got = (r.status, header and (header[0], r.getheader(header[0])), dig(json.loads(r.body), place))
                self.assertEqual(got, (status, header, value))
                self.assertNotEqual((again.status, again.body), (r.status, r.body), "times: 1 is once")

    def test_matching_counting_and_removal(self):
        fault = {"path": "/2/users/*", "host": "api.dropboxapi.com", "method": "POST", "kind": "status", "status": 429}
        self.ctl("POST", "/faults", dict(fault, skip=1, times=2))
        self.assertEqual([self.call(SPACE).status for _ in range(4)], [200, 429, 429, 200])
        for other in [{"host": "www.googleapis.com"}, {"method": "GET"}, {"path": "/2/users/get_space"}, {"path": "/2/files/*"}]:
            self.ctl("POST", "/faults", dict(fault, **other))
        self.assertEqual(self.call(SPACE).status, 200, "none of these matches")
        f = self.ctl("POST", "/faults", dict(fault, path=SPACE))
        self.assertEqual([self.call(SPACE).status for _ in range(2)], [429, 429], "without times it stays")
        self.assertEqual([x["id"] for x in self.ctl("GET", "/faults")["faults"]], list(range(1, 7)))
        self.ctl("DELETE", "/faults/%d" % f["id"])
        self.assertEqual(self.call(SPACE).status, 200)
        self.ctl("DELETE", "/faults")
        self.assertEqual(self.ctl("GET", "/faults")["faults"], [])

    def test_delay(self):
        for when, made in [("before", False), ("after", True)]:  # the wait comes before or after the request is handled
            self.ctl("POST", "/faults", {"path": "/2/files/create_folder_v2", "kind": "delay", "seconds": 3, "when": when, "times": 1})
            t0 = time.monotonic()
            self.assertRaises(TimeoutError, self.db, "/2/files/create_folder_v2", self.tok, {"path": "/" + when}, timeout=0.5)
            self.assertEqual(("/" + when in self.stored("dropbox", "path"), time.monotonic() - t0 < 1.5), (made, True), when)

    def test_drops(self):
        # In a Dropbox append: the half that arrived is not added to the session.
        sid, data = self.session(self.tok), os.urandom(4 << 20)
        self.ctl("POST", "/faults", {"path": APPEND, "kind": "drop", "times": 1})
        cursor = {"cursor": {"session_id": sid, "offset": 0}}
        self.assertRaises(CUT, self.db, APPEND, self.tok, cursor, data)
        e = self.record(path=APPEND)[-1]
        self.assertEqual((e["dropped"], e["fault"], e["body_size"], e["body_complete"]), (True, "drop", 2 << 20, False))
        self.assertEqual(self.db(APPEND, self.tok, cursor, data).status, 200, "the offset is still 0")
        r = self.db(FINISH, self.tok, dict(cursor={"session_id": sid, "offset": len(data)}, commit={"path": "/d.mkv"}), b"")
        self.assertEqual((r.status, self.stored("dropbox", "path")["/d.mkv"]["sha256"]), (200, hashlib.sha256(data).hexdigest()))
        # In a Google PUT: what arrived is kept; status queries tell how much, then give the finished file.
        r = self.drive("POST", UPLOAD + "?uploadType=resumable", self.gtok, '{"name": "g.mkv"}', {"X-Upload-Content-Length": "100000"})
        loc, data = r.getheader("Location"), os.urandom(100000)
        answer = lambda r: (r.status, r.getheader("Range"), r.body)
        query = lambda: answer(self.https("PUT", loc, b"", {"Content-Range": "bytes */100000"}))  # the address needs no token
        self.assertEqual(query(), (308, None, b""))
        self.ctl("POST", "/faults", {"path": UPLOAD, "method": "PUT", "kind": "drop", "after": 30000, "times": 1})
        self.assertRaises(CUT, self.https, "PUT", loc, data)
        self.assertEqual(query(), (308, "bytes=0-29999", b""))
        done = answer(self.https("PUT", loc, data[20000:], {"Content-Range": "bytes 20000-99999/100000"}))  # overlapping what is kept
        f = json.loads(done[2])
        self.assertEqual((query(), set(f), f["name"], self.stored("google", "id")[f["id"]]["sha256"]),
                         (done, {"kind", "id", "name", "mimeType"}, "g.mkv", hashlib.sha256(data).hexdigest()))
        # In an answer's body.
        self.ctl("POST", "/faults", {"path": ABOUT, "kind": "drop", "where": "response", "after": 20})
        self.assertRaises(http.client.IncompleteRead, self.call, ABOUT)
        self.assertEqual([(e["status"], e["dropped"], e["fault"]) for e in self.record(path=ABOUT)][-1], (200, True, "drop"))

    def test_answers_that_never_end_until_the_client_closes(self):
        whole = self.call(SPACE).body
        for fault, head_has, body_ok in [  # what the client has after half a second of silence (its timeout)
                ({"kind": "bad_length", "extra": 500}, ["Content-Length: %d\r" % (len(whole) + 500)], lambda b: b == whole),
                ({"kind": "stall", "after": 10}, ["Content-Length: %d\r" % len(whole)], lambda b: b == whole[:10]),
                ({"kind": "endless", "status": 202}, ["HTTP/1.1 202", "Transfer-Encoding: chunked"],
                 lambda b: b.startswith(b'9\r\n{"pad": "\r\n10000\r\n') and len(b) >= 2 << 20)]:
            with self.subTest(kind=fault["kind"]), tunnel(self.port, "api.dropboxapi.com", 0.5) as t:
                self.ctl("POST", "/faults", dict(fault, path=SPACE, times=1))
                t.sendall(("POST %s HTTP/1.1\r\nAuthorization: Bearer %s\r\nContent-Length: 0\r\n\r\n" % (SPACE, self.tok)).encode())
                data = b""
                with contextlib.suppress(TimeoutError):
                    while len(data) < (2 << 20) + 1000:
                        data += t.recv(65536) or self.fail("the stand-in closed the connection")
                head, _, body = data.partition(b"\r\n\r\n")
                self.assertEqual([text in head.decode() + "\r" for text in head_has], [True] * len(head_has), head)
                self.assertTrue(body_ok(body), (body[:60], len(body)))
                self.assertTrue(self.ctl("GET", "/health")["ok"], "other connections are served meanwhile")
                t.close()
                self.assertTrue(eventually(lambda: "held" in self.record(path=SPACE)[-1], 2), "the hold ends when the client closes")
                self.assertEqual(self.record(path=SPACE)[-1]["fault"], fault["kind"])
