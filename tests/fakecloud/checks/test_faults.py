"""Faults set per endpoint through the control API."""

import hashlib
import http.client
import json
import os
import socket
import ssl
import time

from .support import StandInCase, tls_context
from .test_dropbox import session_header

SPACE = "/2/users/get_space_usage"


class Faults(StandInCase):
    def setUp(self):
        super().setUp()
        self.tok = self.token("dropbox")["access_token"]
        self.gtok = self.token("google")["access_token"]

    def space(self, **kw):
        return self.db_api(SPACE, token=self.tok, **kw)

    def about(self):
        return self.https("GET", "https://www.googleapis.com/drive/v2/about", headers={"Authorization": "Bearer " + self.gtok})

    def test_status_with_a_given_body(self):
        self.ctl("POST", "/faults", {"path": SPACE, "kind": "status", "status": 503, "body": {"error_summary": "busy/..."},
                                     "headers": {"Retry-After": "7"}})
        r = self.space()
        self.assertEqual((r.status, r.json(), r.header("Retry-After")), (503, {"error_summary": "busy/..."}, "7"))
        self.assertEqual(self.space().status, 503, "a fault without a count stays")
        self.ctl("DELETE", "/faults")
        self.assertEqual(self.space().status, 200)

    def test_status_with_the_services_own_bodies(self):
        self.ctl("POST", "/faults", {"path": SPACE, "kind": "status", "status": 500, "times": 1})
        r = self.space()
        self.assertEqual(r.status, 500)
        self.assertEqual(self.space().status, 200, "times: 1 fails once")
        self.ctl("POST", "/faults", {"path": "/drive/v2/about", "kind": "status", "status": 500})
        e = self.about().json()["error"]
        self.assertEqual((e["code"], e["errors"][0]["reason"]), (500, "internalError"))

    def test_skip_and_times(self):
        self.ctl("POST", "/faults", {"path": SPACE, "kind": "status", "status": 429, "skip": 1, "times": 2})
        self.assertEqual([self.space().status for _ in range(4)], [200, 429, 429, 200])

    def test_prefix_host_and_method_matching(self):
        f = self.ctl("POST", "/faults", {"path": "/2/users/*", "kind": "status", "status": 500, "host": "api.dropboxapi.com",
                                         "method": "POST"})
        self.assertEqual(self.space().status, 500)
        self.assertEqual(self.about().status, 200)
        self.ctl("DELETE", "/faults/%d" % f["id"])
        self.assertEqual(self.space().status, 200)
        self.ctl("DELETE", "/faults/%d" % f["id"], expect=404)

    def test_delay_longer_than_the_clients_timeout(self):
        self.ctl("POST", "/faults", {"path": SPACE, "kind": "delay", "seconds": 3, "times": 1})
        t0 = time.monotonic()
        with self.assertRaises(socket.timeout):
            self.https("POST", "https://api.dropboxapi.com" + SPACE, None, {"Authorization": "Bearer " + self.tok},
                       timeout=0.7, fresh=True)
        self.assertLess(time.monotonic() - t0, 2.5)
        t0 = time.monotonic()
        self.assertEqual(self.space().status, 200)
        self.assertLess(time.monotonic() - t0, 2.0, "the delay applied once only (it lasts 3 s)")

    def test_delay_then_normal_answer(self):
        self.ctl("POST", "/faults", {"path": SPACE, "kind": "delay", "seconds": 0.6})
        t0 = time.monotonic()
        self.assertEqual(self.space().status, 200)
        self.assertGreaterEqual(time.monotonic() - t0, 0.6)

    def test_drop_in_the_middle_of_a_request_body_keeps_the_session_offset(self):
        r = self.db_content("/2/files/upload_session/start", '{"close": false}', b"", self.tok)
        sid = r.json()["session_id"]
        self.ctl("POST", "/faults", {"path": "/2/files/upload_session/append_v2", "kind": "drop", "times": 1})
        data = os.urandom(4 << 20)
        with self.assertRaises((ConnectionError, http.client.HTTPException, ssl.SSLError, OSError)):
            self.db_content("/2/files/upload_session/append_v2", session_header(sid, 0), data, self.tok)
        rec = self.record(path="/2/files/upload_session/append_v2")[-1]
        self.assertTrue(rec["dropped"])
        self.assertEqual(rec["fault"], "drop")
        self.assertEqual(rec["body_size"], 2 << 20)
        self.assertFalse(rec["body_complete"])
        r = self.db_content("/2/files/upload_session/append_v2", session_header(sid, 5), b"x", self.tok)
        self.assertEqual(r.json()["error"]["correct_offset"], 0, "a broken append adds nothing")
        r = self.db_content("/2/files/upload_session/append_v2", session_header(sid, 0), data, self.tok)
        self.assertEqual(r.status, 200)
        r = self.db_content("/2/files/upload_session/finish",
                            {"cursor": {"session_id": sid, "offset": len(data)}, "commit": {"path": "/d.mkv"}}, b"", self.tok)
        self.assertEqual(r.status, 200)
        f = [x for x in self.ctl("GET", "/files?service=dropbox")["files"] if x["path"] == "/d.mkv"][0]
        self.assertEqual(f["sha256"], hashlib.sha256(data).hexdigest())

    def test_drop_in_a_google_put_keeps_what_arrived(self):
        h = {"Authorization": "Bearer " + self.gtok, "Content-Type": "application/json; charset=UTF-8",
             "X-Upload-Content-Length": "100000"}
        loc = self.https("POST", "https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable",
                         b'{"name": "g.mkv"}', h).header("Location")
        self.ctl("POST", "/faults", {"path": "/upload/drive/v3/files", "method": "PUT", "kind": "drop", "after": 30000, "times": 1})
        data = os.urandom(100000)
        with self.assertRaises((ConnectionError, http.client.HTTPException, ssl.SSLError, OSError)):
            self.https("PUT", loc, data, fresh=True)
        r = self.https("PUT", loc, b"", {"Content-Range": "bytes */100000"})
        self.assertEqual((r.status, r.header("Range")), (308, "bytes=0-29999"))
        r = self.https("PUT", loc, data[30000:], {"Content-Range": "bytes 30000-99999/100000"})
        self.assertEqual(r.status, 200, r.body)
        f = [x for x in self.ctl("GET", "/files?service=google")["files"] if x["id"] == r.json()["id"]][0]
        self.assertEqual(f["sha256"], hashlib.sha256(data).hexdigest())

    def test_drop_in_the_middle_of_a_response_body(self):
        self.ctl("POST", "/faults", {"path": "/drive/v2/about", "kind": "drop", "where": "response", "after": 20})
        with self.assertRaises((http.client.IncompleteRead, ConnectionError, ssl.SSLError)):
            self.https("GET", "https://www.googleapis.com/drive/v2/about", headers={"Authorization": "Bearer " + self.gtok},
                       fresh=True)
        rec = self.record(path="/drive/v2/about")[-1]
        self.assertEqual((rec["status"], rec["dropped"]), (200, True))

    def test_answers_that_never_end_until_the_client_closes(self):
        whole = self.space().body
        # (fault, what the client has after half a second of silence)
        for fault, head_has, body_ok in [
                ({"kind": "bad_length", "extra": 500}, "Content-Length: %d" % (len(whole) + 500), lambda b: b == whole),
                ({"kind": "stall", "after": 10}, "Content-Length: %d" % len(whole), lambda b: b == whole[:10]),
                ({"kind": "endless"}, "Transfer-Encoding: chunked",
                 lambda b: b.startswith(b'9\r\n{"pad": "\r\n10000\r\n') and len(b) >= 2 << 20)]:
            self.ctl("POST", "/faults", dict(fault, path=SPACE, times=1))
            s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            s.sendall(b"CONNECT api.dropboxapi.com:443 HTTP/1.1\r\n\r\n")
            self.assertTrue(s.recv(100).startswith(b"HTTP/1.1 200"))
            t = tls_context().wrap_socket(s, server_hostname="api.dropboxapi.com")
            t.sendall(("POST %s HTTP/1.1\r\nHost: api.dropboxapi.com\r\nAuthorization: Bearer %s\r\n"
                       "Content-Length: 0\r\n\r\n" % (SPACE, self.tok)).encode())
            data, t0 = b"", time.monotonic()
            t.settimeout(0.5)
            try:
                while len(data) < (2 << 20) + 1000:
                    more = t.recv(65536)
                    self.assertTrue(more, "%s: the stand-in closed the connection" % fault["kind"])
                    data += more
            except socket.timeout:
                pass
            head, _, body = data.partition(b"\r\n\r\n")
            self.assertIn(head_has, head.decode(), fault["kind"])
            self.assertTrue(body_ok(body), (fault["kind"], body[:60], len(body)))
            self.assertTrue(self.ctl("GET", "/health")["ok"], "the control API answers meanwhile")
            t.close()
            while "held" not in self.record(path=SPACE)[-1] and time.monotonic() - t0 < 3:
                time.sleep(0.05)
            e = self.record(path=SPACE)[-1]
            self.assertEqual(e["fault"], fault["kind"])
            self.assertLess(e.get("held", 99), 2.5, "the hold ends when the client closes")

    def test_revoked_grant_per_service(self):
        self.ctl("POST", "/faults", {"path": SPACE, "kind": "revoked"})
        r = self.space()
        self.assertEqual((r.status, r.json()["error"][".tag"]), (401, "invalid_access_token"))
        self.ctl("POST", "/faults", {"path": "/o/oauth2/token", "kind": "revoked"})
        r = self.https("POST", "https://accounts.google.com/o/oauth2/token", b"grant_type=refresh_token")
        self.assertEqual((r.status, r.json()["error"]), (400, "invalid_grant"))
        self.ctl("POST", "/faults", {"path": "/drive/v2/about", "kind": "revoked"})
        self.assertEqual(self.about().json()["error"]["code"], 401)

    def test_expired_token(self):
        self.ctl("POST", "/faults", {"path": SPACE, "kind": "expired"})
        r = self.space()
        self.assertEqual((r.status, r.json()["error_summary"]), (401, "expired_access_token/..."))
        self.ctl("POST", "/faults", {"path": "/drive/v2/about", "kind": "expired"})
        r = self.about()
        self.assertEqual(r.status, 401)
        self.assertIn("Bearer", r.header("WWW-Authenticate"))

    def test_no_space(self):
        self.ctl("POST", "/faults", {"path": "/2/files/upload_session/finish", "kind": "no_space"})
        r = self.db_content("/2/files/upload_session/finish", {"cursor": {"session_id": "x", "offset": 0}, "commit": {"path": "/a"}},
                            b"", self.tok)
        self.assertEqual(r.status, 409)
        self.assertEqual(r.json()["error_summary"], "path/insufficient_space/...")
        self.ctl("POST", "/faults", {"path": "/upload/drive/v3/files", "kind": "no_space"})
        r = self.https("POST", "https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable", b"{}",
                       {"Authorization": "Bearer " + self.gtok})
        self.assertEqual((r.status, r.json()["error"]["errors"][0]["reason"]), (403, "storageQuotaExceeded"))

    def test_rate_limit(self):
        self.ctl("POST", "/faults", {"path": "/2/files/upload_session/append_v2", "kind": "rate_limit", "retry_after": 3})
        r = self.db_content("/2/files/upload_session/append_v2", session_header("s", 0), b"abc", self.tok)
        self.assertEqual((r.status, r.header("Retry-After")), (429, "3"))
        self.assertEqual(r.json()["error"], {"reason": {".tag": "too_many_write_operations"}, "retry_after": 3})
        self.assertEqual(r.json()["error_summary"], "too_many_write_operations/...")

    def test_bad_fault_settings_are_rejected(self):
        self.ctl("POST", "/faults", {"path": SPACE, "kind": "explode"}, expect=400)
        self.ctl("POST", "/faults", {"kind": "status", "status": 500}, expect=400)
        self.ctl("POST", "/faults", {"path": SPACE, "kind": "status"}, expect=400)
        self.assertEqual(self.ctl("GET", "/faults")["faults"], [])


class Record(StandInCase):
    def test_request_details_are_recorded(self):
        tok = self.token("dropbox")["access_token"]
        before = self.ctl("GET", "/state")["record_last"]
        body = b'{"account_id": "dbid:xyz"}'
        self.db_api("/2/users/get_account", raw=body, token=tok,
                    headers={"Content-Type": "application/json", "X-Extra": "1"})
        rec = self.record(since=before)
        connect = [e for e in rec if e["method"] == "CONNECT"]
        self.assertEqual(connect[0]["url"], "api.dropboxapi.com:443")
        e = [e for e in rec if e["method"] == "POST"][0]
        self.assertEqual(e["url"], "https://api.dropboxapi.com/2/users/get_account")
        names = [k for k, _ in e["headers"]]
        self.assertEqual(names[-3:], ["Authorization", "Content-Type", "X-Extra"])
        self.assertIn(["Authorization", "Bearer " + tok], e["headers"])
        self.assertEqual((e["body_size"], e["body"]), (len(body), body.decode()))
        self.assertEqual(e["body_sha256"], hashlib.sha256(body).hexdigest())
        self.assertEqual(e["status"], 400)
        self.assertTrue(e["tunnel"])
        self.assertTrue(e["complete"])

    def test_big_bodies_are_hashed_not_kept(self):
        tok = self.token("dropbox")["access_token"]
        data = os.urandom(3 << 20)
        self.db_content("/2/files/upload", {"path": "/big.bin"}, data, tok)
        e = self.record(path="/2/files/upload")[-1]
        self.assertEqual(e["body_size"], len(data))
        self.assertEqual(e["body_sha256"], hashlib.sha256(data).hexdigest())
        self.assertNotIn("body", e)
        self.assertNotIn("body_base64", e)
        self.assertEqual(json.loads(dict(e["headers"])["Dropbox-API-Arg"]), {"path": "/big.bin"})

    def test_binary_small_bodies_and_query(self):
        tok = self.token("dropbox")["access_token"]
        self.db_content("/2/files/upload", {"path": "/b.bin"}, b"\xff\x00\xfe", tok)
        e = self.record(path="/2/files/upload")[-1]
        self.assertEqual(e["body_base64"], "/wD+")
        self.https("GET", "https://www.dropbox.com/chooser?origin=a%20b&app_key=k")
        e = self.record(path="/chooser")[-1]
        self.assertEqual(e["query"], "origin=a%20b&app_key=k")
        self.assertEqual(e["url"], "https://www.dropbox.com/chooser?origin=a%20b&app_key=k")

    def test_since_filter_and_clearing(self):
        self.https("GET", "https://apis.google.com/js/api.js")
        last = self.ctl("GET", "/record")["last"]
        self.assertEqual(self.record(since=last), [])
        self.https("GET", "https://apis.google.com/js/api.js")
        self.assertEqual([e["path"] for e in self.record(since=last)], ["/js/api.js"])
        self.ctl("DELETE", "/record")
        self.assertEqual(self.record(), [])

    def test_control_calls_are_not_recorded(self):
        self.ctl("GET", "/health")
        self.assertEqual([e for e in self.record() if e["host"] == "fakecloud.control"], [])


class Control(StandInCase):
    def test_files_made_through_the_control_api(self):
        f = self.ctl("POST", "/files", {"service": "dropbox", "path": "/New/a.txt", "content": "hello"})
        self.assertEqual((f["path"], f["size"], f["sha256"]), ("/New/a.txt", 5, hashlib.sha256(b"hello").hexdigest()))
        self.assertEqual(self.ctl("GET", "/files/content?service=dropbox&path=/new/A.txt"), b"hello")
        g = self.ctl("POST", "/files", {"service": "google", "name": "b.mkv", "parent": "Films/2024",
                                        "mimeType": "video/x-matroska", "size": 10000})
        self.assertEqual(g["size"], 10000)
        files = {x["name"]: x for x in self.ctl("GET", "/files?service=google")["files"]}
        self.assertEqual(files["2024"]["parents"], [files["Films"]["id"]])
        self.assertEqual(g["parents"], [files["2024"]["id"]])
        data = self.ctl("GET", "/files/content?service=google&id=" + g["id"])
        self.assertEqual((len(data), hashlib.sha256(data).hexdigest()), (10000, g["sha256"]))
        self.ctl("GET", "/files/content?service=google&id=nope", expect=404)
        self.ctl("POST", "/files", {"service": "dropbox", "path": "relative.txt"}, expect=400)
        self.ctl("POST", "/files", {"service": "onedrive", "path": "/x"}, expect=400)

    def test_big_uploads_keep_only_size_and_hash(self):
        tok = self.token("dropbox")["access_token"]
        data = os.urandom((64 << 20) + 1)
        r = self.db_content("/2/files/upload", {"path": "/huge.bin"}, data, tok)
        self.assertEqual(r.status, 200)
        self.assertNotIn("content_hash", r.json())
        f = [x for x in self.ctl("GET", "/files?service=dropbox")["files"] if x["path"] == "/huge.bin"][0]
        self.assertEqual((f["size"], f["kept"], f["sha256"]), (len(data), False, hashlib.sha256(data).hexdigest()))
        self.ctl("GET", "/files/content?service=dropbox&path=/huge.bin", expect=410)

    def test_state_users_and_unknown_calls(self):
        self.ctl("POST", "/users", {"service": "google", "email": "carol@example.com", "password": "pw", "quota_total": 5})
        users = {u["email"]: u for u in self.ctl("GET", "/users?service=google")["users"]}
        self.assertEqual(users["carol@example.com"]["quota_total"], 5)
        state = self.ctl("GET", "/state")
        self.assertEqual(state["token_lifetime"], {"dropbox": 0, "google": 3599})
        self.assertFalse(state["auto"]["enabled"])
        self.ctl("GET", "/nothing", expect=404)
        self.ctl("POST", "/auto", {"colour": "red"}, expect=400)
        self.ctl("POST", "/reset")
        self.assertNotIn("carol@example.com", [u["email"] for u in self.ctl("GET", "/users")["users"]])
