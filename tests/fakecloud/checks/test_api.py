"""Service rules the official clients do not reach: error answers, Dropbox's ASCII argument header and spent sessions."""

import json, urllib.parse
from .support import StandInCase, dig

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
