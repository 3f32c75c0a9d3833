"""Service rules the official clients do not reach: error answers, Dropbox's ASCII argument header, spent and
expired sessions, the digests every upload's answer carries."""

import hashlib, json, os, urllib.parse
from .support import StandInCase, dig, dropbox_hash

API, CONTENT, DRIVE = "https://api.dropboxapi.com/2/", "https://content.dropboxapi.com/2/files/", "https://www.googleapis.com/"
JSON, OCTET, FORM = ({"Content-Type": t} for t in ("application/json", "application/octet-stream", "application/x-www-form-urlencoded"))


arg = lambda **a: dict(OCTET, **{"Dropbox-API-Arg": json.dumps(a)})  # noqa: E731


class Api(StandInCase):
    def test_answers(self):
        self.ctl("POST", "/files", {"service": "google", "name": "it's", "folder": True})
        q = lambda expr: DRIVE + "drive/v3/files?q=" + urllib.parse.quote(expr)
        for method, url, body, headers, status, want in [  # want: text in the answer, or (place in its JSON, value)
                ("POST", API + "users/get_space_usage", None, {"Authorization": None}, 400, 'Must provide HTTP header "Authorization"'),
                ("POST", API + "users/get_space_usage", None, {"Authorization": "Bearer sl.x"}, 401, ("error/.tag", "invalid_access_token")),
                ("POST", API + "users/get_account", '{"account_id": "dbid:%s"}' % ("A" * 43), JSON, 409, "no_account/"),
                ("POST", API + "users/get_account", '{"account_id": "dbid:"}', JSON, 400, 'Error in call to API function "users/get_account"'),
                ("POST", API + "users/get_account", "{}", {"Content-Type": "text/plain"}, 400, 'Bad HTTP "Content-Type" header'),
                ("POST", API + "files/create_folder", '{"path": "no-slash"}', JSON, 409, ("error_summary", "path/malformed_path/...")),
                ("POST", CONTENT + "upload_session/start", "", OCTET, 400, 'Must provide HTTP header "Dropbox-API-Arg"'),
                ("POST", CONTENT + "upload", "x", arg(path="/holiday.mov", autorename=False), 409, ("error_summary", "path/conflict/file/...")),
                ("POST", CONTENT + "upload", "x", arg(path="/Videos/clip.mkv", autorename=True), 200, ("path_display", "/Videos/clip (1).mkv")),
                ("POST", CONTENT + "upload", "x", arg(path="/videos/New/x.mkv"), 200, ("path_display", "/Videos/New/x.mkv")),
                ("GET", DRIVE + "drive/v2/about", None, {"Authorization": None}, 401, ("error/errors/0/reason", "required")),
                ("GET", DRIVE + "drive/v2/about", None, {"Authorization": "Bearer ya29.x"}, 401, ("error/message", "Invalid Credentials")),
                ("GET", q("name = 'x' or name = 'y'"), None, {}, 400, ("error/errors/0/location", "q")),
                ("GET", q("name = 'it\\'s' and trashed = false"), None, {}, 200, ("files/0/name", "it's")),
                ("GET", q("'%s' in parents" % self.stored("google", "name")["Videos"]["id"]), None, {}, 200, ("files/0/name", "holiday.mov")),
                ("POST", DRIVE + "drive/v2/files", '{"title": "a"b"}', JSON, 400, ("error/errors/0/reason", "parseError")),
                ("PUT", DRIVE + "upload/drive/v3/files?uploadType=resumable&upload_id=x", "x", {}, 404, ("error/code", 404)),
                ("POST", "https://oauth2.googleapis.com/token", "grant_type=authorization_code&code=4/0x&client_id=c&client_secret=s", FORM, 400,
                 ("error", "invalid_grant"))]:
            with self.subTest(method=method, url=url, body=body, headers=headers):
                h = {"Authorization": "Bearer " + (self.gtok if url.startswith(DRIVE) else self.tok), **headers}
                r = self.https(method, url, body, {k: v for k, v in h.items() if v is not None})
                self.assertEqual(r.status, status, r.body[:300])
                self.assertIn(want, r.body.decode()) if isinstance(want, str) else self.assertEqual(dig(json.loads(r.body), want[0]), want[1])

    def test_dropbox_argument_header_is_ascii_and_a_finished_session_is_spent(self):
        sid = self.session(self.tok)
        commit = {"path": "/Vid\u00e9os/\u00e9t\u00e9 \U0001F3AC.mp4", "client_modified": "2021-03-04T05:06:07Z"}
        finish = {"cursor": {"session_id": sid, "offset": 0}, "commit": commit}
        for ep in ("upload_session/start", "upload_session/append_v2", "upload_session/append", "upload_session/finish", "upload", "download"):
            r = self.db("/2/files/" + ep, self.tok, json.dumps(finish, ensure_ascii=False).encode(), b"")  # bytes above 0x7E
            self.assertEqual((r.status, r.getheader("Content-Type").split(";")[0], r.body.decode()), (400, "text/plain",
                             'Error in call to API function "files/%s": HTTP header "Dropbox-API-Arg": could not decode input as JSON' % ep))
        escaped = json.dumps(finish)  # \u escapes, a surrogate pair above U+FFFF
        meta = json.loads(self.db("/2/files/upload_session/finish", self.tok, escaped, b"").body)
        self.assertEqual(set(meta) - {"is_downloadable"}, {"name", "path_lower", "path_display", "id", "size", "rev",
                                                          "client_modified", "server_modified", "content_hash"})
        self.assertEqual((meta["name"], meta["path_lower"], meta["path_display"], meta["client_modified"]),
                         (commit["path"][8:], commit["path"].lower(), commit["path"], commit["client_modified"]))
        for ep, cursor, summary in [("finish", escaped, "lookup_failed/closed/"), ("append_v2", {"cursor": finish["cursor"]}, "closed/"),
                                    ("append_v2", {"cursor": {"session_id": sid + "x", "offset": 0}}, "not_found/")]:
            r = self.db("/2/files/upload_session/" + ep, self.tok, cursor, b"")
            self.assertEqual((r.status, json.loads(r.body)["error_summary"][:len(summary)]), (409, summary), (ep, cursor))

    def resumable(self, size, fields=None):
        start = DRIVE + "upload/drive/v3/files?uploadType=resumable" + ("&fields=" + fields if fields else "")
        r = self.https("POST", start, '{"name": "r.bin"}', {"Authorization": "Bearer " + self.gtok, "X-Upload-Content-Length": str(size)})
        return r.getheader("Location")

    def test_digests_in_every_upload_answer(self):
        data = os.urandom(9 << 20)  # more than two of Dropbox's 4 MiB blocks; MD5 on its helper thread past 4 MiB

        def session():
            sid = self.session(self.tok)
            for offset, piece in [(0, data[:5 << 20]), (5 << 20, data[5 << 20:])]:
                self.db("/2/files/upload_session/append_v2", self.tok, {"cursor": {"session_id": sid, "offset": offset}}, piece)
            return self.db("/2/files/upload_session/finish", self.tok, {"cursor": {"session_id": sid, "offset": len(data)},
                                                                        "commit": {"path": "/s.bin"}}, b"")
        self.ctl("POST", "/files", {"service": "dropbox", "path": "/t.txt", "content": "text"})
        self.ctl("POST", "/files", {"service": "dropbox", "path": "/g.bin", "size": (9 << 20) + 5})  # generated: two blocks and a tail
        stored = lambda path: self.db("/2/files/get_metadata", self.tok, {"path": path})  # noqa: E731
        generated = self.ctl("GET", "/files/content?service=dropbox&path=/g.bin").body
        for name, sink, send, place, want in [
                ("session", False, session, "content_hash", dropbox_hash(data)),
                ("upload", False, lambda: self.db("/2/files/upload", self.tok, {"path": "/u.bin"}, data), "content_hash", dropbox_hash(data)),
                ("upload in sink mode", True, lambda: self.db("/2/files/upload", self.tok, {"path": "/k.bin"}, data), "content_hash", None),
                ("kept bytes", False, lambda: stored("/t.txt"), "content_hash", dropbox_hash(b"text")),
                ("generated bytes", False, lambda: stored("/g.bin"), "content_hash", dropbox_hash(generated)),
                ("resumable", False, lambda: self.https("PUT", self.resumable(len(data), "id,md5Checksum,size"), data), "md5Checksum",
                 hashlib.md5(data).hexdigest())]:
            with self.subTest(name=name):
                self.ctl("POST", "/sink", {"enabled": sink})
                meta = json.loads(send().body)
                self.assertEqual(meta.get(place), want, meta)
        self.assertEqual((set(meta), meta["size"]), ({"id", "md5Checksum", "size"}, str(len(data))), "only the fields asked for")
        got = json.loads(self.drive("GET", "/drive/v3/files/%s?fields=md5Checksum" % meta["id"], self.gtok).body)
        self.assertEqual(got, {"md5Checksum": hashlib.md5(data).hexdigest()})

    def test_upload_sessions_expire(self):
        for svc, how, seconds, want in [("dropbox", "clock", 7 * 86400 - 10, 200), ("dropbox", "clock", 7 * 86400 + 10, 409),
                                        ("dropbox", "control", 0, 409), ("google", "clock", 7 * 86400 - 10, 308),
                                        ("google", "clock", 7 * 86400 + 10, 404), ("google", "control", 0, 404)]:
            with self.subTest(svc=svc, how=how, seconds=seconds):
                self.ctl("POST", "/reset")
                tok = self.issue(svc, lifetime=0)["access_token"]
                where = self.session(tok) if svc == "dropbox" else self.resumable(10)
                self.ctl("POST", "/clock", {"advance": seconds}) if how == "clock" else self.ctl("POST", "/sessions/expire", {"service": svc})
                if svc == "google":
                    self.assertEqual(self.https("PUT", where, b"12345", {"Content-Range": "bytes 0-4/10"}).status, want)
                    continue
                for ep, args, summary in [("append_v2", {"cursor": {"session_id": where, "offset": 0}}, "not_found/..."),
                                          ("finish", {"cursor": {"session_id": where, "offset": 3 * (want == 200)}, "commit": {"path": "/e"}},
                                           "lookup_failed/not_found/...")]:
                    r = self.db("/2/files/upload_session/" + ep, tok, args, b"abc"[:3 * (ep == "append_v2")])
                    self.assertEqual((r.status, json.loads(r.body).get("error_summary") if r.status == 409 else None),
                                     (want, summary if want == 409 else None), ep)
