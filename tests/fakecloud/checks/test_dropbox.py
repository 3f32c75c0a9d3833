"""Dropbox: API v2, upload sessions, the web site and the chooser library."""

import hashlib
import json
import os
import re
import urllib.parse

from .support import StandInCase, cookie_header, cookies_from


def session_header(sid, offset):
    # The exact text the plug-in sends: indented JSON with its line feeds removed.
    return '{    "close": false,    "cursor": {        "offset": %d,        "session_id": "%s"    }}' % (offset, sid)


def finish_header(sid, offset, path):
    return ('{    "commit": {        "autorename": true,        "mode": "add",        "mute": false,        "path": "%s"    },'
            '    "cursor": {        "offset": %d,        "session_id": "%s"    }}') % (path, offset, sid)


class Api(StandInCase):
    def setUp(self):
        super().setUp()
        self.tok = self.token("dropbox")

    def test_get_account_by_id(self):
        body = ('{"account_id": "%s"}' % self.tok["account_id"]).encode()
        r = self.db_api("/2/users/get_account", raw=body, token=self.tok["access_token"],
                        headers={"Content-Type": "application/json"})
        self.assertEqual(r.status, 200, r.body)
        j = r.json()
        self.assertEqual(j["email"], "alice@example.com")
        self.assertEqual(j["account_id"], self.tok["account_id"])
        self.assertTrue(j["account_id"].startswith("dbid:"))
        self.assertEqual(j["name"]["display_name"], "Alice Example")

    def test_get_account_unknown_and_malformed_ids(self):
        r = self.db_api("/2/users/get_account", {"account_id": "dbid:" + "A" * 43}, self.tok["access_token"])
        self.assertEqual(r.status, 409)
        self.assertTrue(r.json()["error_summary"].startswith("no_account/"))
        r = self.db_api("/2/users/get_account", {"account_id": "dbid:"}, self.tok["access_token"])
        self.assertEqual(r.status, 400)
        self.assertIn('Error in call to API function "users/get_account"', r.text)

    def test_get_account_needs_a_json_body(self):
        r = self.db_api("/2/users/get_account", token=self.tok["access_token"])
        self.assertEqual(r.status, 400)
        r = self.db_api("/2/users/get_account", raw=b'{"account_id": 1', token=self.tok["access_token"],
                        headers={"Content-Type": "application/json"})
        self.assertEqual(r.status, 400)
        r = self.db_api("/2/users/get_account", raw=json.dumps({"account_id": self.tok["account_id"]}).encode(),
                        token=self.tok["access_token"], headers={"Content-Type": "text/plain"})
        self.assertEqual(r.status, 400)
        self.assertIn('Bad HTTP "Content-Type" header', r.text)

    def test_space_usage_without_body_or_content_type(self):
        r = self.db_api("/2/users/get_space_usage", token=self.tok["access_token"])
        self.assertEqual(r.status, 200, r.body)
        j = r.json()
        self.assertEqual(j["allocation"][".tag"], "individual")
        self.assertEqual(j["used"], (5 << 20) + (2 << 20) + (3 << 20) + 1200)
        self.assertEqual(j["allocation"]["allocated"], 2 << 40)
        self.assertEqual(r.header("Content-Type"), "application/json")

    def test_space_usage_follows_the_user(self):
        self.ctl("POST", "/users", {"service": "dropbox", "email": "bob@example.com", "allocated": 1000, "used_extra": 10})
        bob = self.token("dropbox", email="bob@example.com")
        j = self.db_api("/2/users/get_space_usage", token=bob["access_token"]).json()
        self.assertEqual((j["used"], j["allocation"]["allocated"]), (10, 1000))

    def test_authorization_errors(self):
        r = self.db_api("/2/users/get_space_usage")
        self.assertEqual(r.status, 400)
        self.assertIn('Must provide HTTP header "Authorization"', r.text)
        r = self.db_api("/2/users/get_space_usage", headers={"Authorization": "Bearer "})
        self.assertEqual(r.status, 400)
        self.assertIn("Invalid authorization value", r.text)
        r = self.db_api("/2/users/get_space_usage", token="sl.forged.token")
        self.assertEqual(r.status, 401)
        self.assertEqual(r.json(), {"error_summary": "invalid_access_token/...", "error": {".tag": "invalid_access_token"}})

    def test_revoked_grant(self):
        self.ctl("POST", "/revoke", {"service": "dropbox", "email": "alice@example.com"})
        r = self.db_api("/2/users/get_space_usage", token=self.tok["access_token"])
        self.assertEqual(r.status, 401)
        self.assertIn("invalid_access_token", r.json()["error_summary"])
        fresh = self.token("dropbox")
        self.assertEqual(self.db_api("/2/users/get_space_usage", token=fresh["access_token"]).status, 200)

    def test_expired_token(self):
        self.ctl("POST", "/tokens/expire", {"service": "dropbox", "token": self.tok["access_token"]})
        r = self.db_api("/2/users/get_space_usage", token=self.tok["access_token"])
        self.assertEqual(r.status, 401)
        self.assertEqual(r.json()["error"][".tag"], "expired_access_token")
        short = self.token("dropbox", lifetime=1)
        import time
        time.sleep(1.2)
        r = self.db_api("/2/users/get_space_usage", token=short["access_token"])
        self.assertEqual(r.json()["error"][".tag"], "expired_access_token")

    def test_create_folder(self):
        r = self.db_api("/2/files/create_folder", raw=b'{"path": "/Lumen Uploads"}', token=self.tok["access_token"],
                        headers={"Content-Type": "application/json"})
        self.assertEqual(r.status, 200, r.body)
        j = r.json()
        self.assertEqual((j["name"], j["path_display"], j["path_lower"]), ("Lumen Uploads", "/Lumen Uploads", "/lumen uploads"))
        self.assertTrue(j["id"].startswith("id:"))
        r = self.db_api("/2/files/create_folder", {"path": "/lumen uploads"}, self.tok["access_token"])
        self.assertEqual(r.status, 409)
        self.assertEqual(r.json()["error"]["path"]["conflict"][".tag"], "folder")
        r = self.db_api("/2/files/create_folder_v2", {"path": "/Other"}, self.tok["access_token"])
        self.assertEqual(r.json()["metadata"]["path_display"], "/Other")
        r = self.db_api("/2/files/create_folder", {"path": "no-slash"}, self.tok["access_token"])
        self.assertEqual(r.status, 409)
        self.assertTrue(r.json()["error_summary"].startswith("path/malformed_path/"))

    def test_unknown_endpoint_and_method(self):
        self.assertEqual(self.db_api("/2/nothing/here", {}, self.tok["access_token"]).status, 404)
        r = self.https("GET", "https://api.dropboxapi.com/2/users/get_space_usage")
        self.assertEqual(r.status, 405)


class UploadSessions(StandInCase):
    def setUp(self):
        super().setUp()
        self.tok = self.token("dropbox")["access_token"]

    def start(self):
        r = self.db_content("/2/files/upload_session/start", '{"close": false}', b"", self.tok)
        self.assertEqual(r.status, 200, r.body)
        return r.json()["session_id"]

    def test_forty_million_bytes_in_three_appends(self):
        data = os.urandom(40000000)
        sid = self.start()
        offset = 0
        for size in (16777216, 16777216, 6445568):
            r = self.db_content("/2/files/upload_session/append_v2", session_header(sid, offset),
                                data[offset:offset + size], self.tok)
            self.assertEqual((r.status, r.body), (200, b"null"))
            offset += size
        self.assertEqual(offset, 40000000)
        r = self.db_content("/2/files/upload_session/finish", finish_header(sid, offset, "/Videos/movie.mkv"), b"", self.tok)
        self.assertEqual(r.status, 200, r.body)
        meta = r.json()
        self.assertEqual((meta["path_display"], meta["size"], meta["name"]), ("/Videos/movie.mkv", 40000000, "movie.mkv"))
        self.assertRegex(meta["content_hash"], r"^[0-9a-f]{64}$")
        files = {f["path"]: f for f in self.ctl("GET", "/files?service=dropbox")["files"]}
        self.assertEqual(files["/Videos/movie.mkv"]["sha256"], hashlib.sha256(data).hexdigest())
        got = self.ctl("GET", "/files/content?service=dropbox&path=" + urllib.parse.quote("/Videos/movie.mkv"))
        self.assertEqual(got, data)
        appends = self.record(path="/2/files/upload_session/append_v2")
        self.assertEqual([e["body_size"] for e in appends], [16777216, 16777216, 6445568])
        self.assertEqual(appends[2]["body_sha256"], hashlib.sha256(data[33554432:]).hexdigest())

    def test_empty_file_is_one_empty_append(self):
        sid = self.start()
        r = self.db_content("/2/files/upload_session/append_v2", session_header(sid, 0), b"", self.tok)
        self.assertEqual(r.status, 200)
        r = self.db_content("/2/files/upload_session/finish", finish_header(sid, 0, "/Videos/empty.mkv"), b"", self.tok)
        self.assertEqual(r.json()["size"], 0)
        files = {f["path"]: f for f in self.ctl("GET", "/files?service=dropbox")["files"]}
        self.assertEqual(files["/Videos/empty.mkv"]["sha256"], hashlib.sha256(b"").hexdigest())

    def test_incorrect_offset(self):
        sid = self.start()
        self.db_content("/2/files/upload_session/append_v2", session_header(sid, 0), b"x" * 100, self.tok)
        r = self.db_content("/2/files/upload_session/append_v2", session_header(sid, 50), b"y" * 10, self.tok)
        self.assertEqual(r.status, 409)
        self.assertEqual(r.json(), {"error_summary": "incorrect_offset/...",
                                    "error": {".tag": "incorrect_offset", "correct_offset": 100}})
        r = self.db_content("/2/files/upload_session/finish", finish_header(sid, 99, "/a.mkv"), b"", self.tok)
        self.assertEqual(r.status, 409)
        j = r.json()
        self.assertEqual(j["error"]["lookup_failed"], {".tag": "incorrect_offset", "correct_offset": 100})
        self.assertTrue(j["error_summary"].startswith("lookup_failed/incorrect_offset/"))

    def test_unknown_session(self):
        r = self.db_content("/2/files/upload_session/append_v2", session_header("pid_upload_session:nope", 0), b"x", self.tok)
        self.assertEqual(r.status, 409)
        self.assertEqual(r.json()["error"][".tag"], "not_found")

    def test_autorename_and_conflict(self):
        paths = []
        for _ in range(2):
            sid = self.start()
            self.db_content("/2/files/upload_session/append_v2", session_header(sid, 0), b"abc", self.tok)
            r = self.db_content("/2/files/upload_session/finish", finish_header(sid, 3, "/Videos/clip.mkv"), b"", self.tok)
            paths.append(r.json()["path_display"])
        self.assertEqual(paths, ["/Videos/clip (1).mkv", "/Videos/clip (2).mkv"])
        sid = self.start()
        arg = {"cursor": {"session_id": sid, "offset": 0},
               "commit": {"path": "/Videos/clip.mkv", "mode": "add", "autorename": False}}
        r = self.db_content("/2/files/upload_session/finish", arg, b"", self.tok)
        self.assertEqual(r.status, 409)
        self.assertEqual(r.json()["error_summary"], "path/conflict/file/...")

    def test_argument_header_is_ascii_with_escapes(self):
        sid = self.start()
        raw = '{"cursor": {"session_id": "%s", "offset": 0}, "path": "/Vidéos/été 🎬.mp4", ' \
              '"commit": {"path": "/Vidéos/été 🎬.mp4"}}' % sid
        for ep in ("upload_session/start", "upload_session/append_v2", "upload_session/append",
                   "upload_session/finish", "upload", "download"):
            r = self.db_content("/2/files/" + ep, {}, b"", self.tok, headers={"Dropbox-API-Arg": raw.encode("utf-8")})
            self.assertEqual((r.status, r.header("Content-Type").split(";")[0], r.text), (400, "text/plain",
                             'Error in call to API function "files/%s": HTTP header "Dropbox-API-Arg": '
                             'could not decode input as JSON' % ep))
        arg = {"cursor": {"session_id": sid, "offset": 0},
               "commit": {"path": "/Vidéos/été 🎬.mp4", "client_modified": "2021-03-04T05:06:07Z"}}
        text = json.dumps(arg)
        self.assertIn("\\ud83c\\udfac", text)
        r = self.db_content("/2/files/upload_session/finish", text, b"", self.tok)
        self.assertEqual(r.status, 200, r.body)
        meta = r.json()
        self.assertEqual(set(meta) - {"is_downloadable"}, {"name", "path_lower", "path_display", "id", "size", "rev",
                                                         "client_modified", "server_modified", "content_hash"})
        self.assertEqual((meta["name"], meta["path_lower"], meta["path_display"], meta["client_modified"]),
                         ("été 🎬.mp4", "/vidéos/été 🎬.mp4", "/Vidéos/été 🎬.mp4", "2021-03-04T05:06:07Z"))
        self.assertIn("/Vidéos/été 🎬.mp4", [f["path"] for f in self.ctl("GET", "/files?service=dropbox")["files"]])
        # The session is spent: finishing or appending again is refused as closed.
        r = self.db_content("/2/files/upload_session/finish", text, b"", self.tok)
        self.assertEqual(r.status, 409)
        self.assertEqual(r.json()["error"], {".tag": "lookup_failed", "lookup_failed": {".tag": "closed"}})
        self.assertTrue(r.json()["error_summary"].startswith("lookup_failed/closed/"))
        r = self.db_content("/2/files/upload_session/append_v2", session_header(sid, 0), b"x", self.tok)
        self.assertEqual((r.status, r.json()["error_summary"]), (409, "closed/..."))

    def test_folders_of_the_commit_path_are_made_and_keep_their_case(self):
        sid = self.start()
        r = self.db_content("/2/files/upload_session/finish", finish_header(sid, 0, "/videos/New/x.mkv"), b"", self.tok)
        self.assertEqual(r.json()["path_display"], "/Videos/New/x.mkv")

    def test_insufficient_space(self):
        self.ctl("POST", "/users", {"service": "dropbox", "email": "full@example.com", "allocated": 1000})
        tok = self.token("dropbox", email="full@example.com")["access_token"]
        r = self.db_content("/2/files/upload_session/start", '{"close": false}', b"", tok)
        sid = r.json()["session_id"]
        self.db_content("/2/files/upload_session/append_v2", session_header(sid, 0), b"z" * 1001, tok)
        r = self.db_content("/2/files/upload_session/finish", finish_header(sid, 1001, "/big.mkv"), b"", tok)
        self.assertEqual(r.status, 409)
        self.assertTrue(r.json()["error_summary"].startswith("path/insufficient_space/"))

    def test_argument_header_and_content_type_are_checked(self):
        r = self.https("POST", "https://content.dropboxapi.com/2/files/upload_session/start", b"",
                       {"Authorization": "Bearer " + self.tok, "Content-Type": "application/octet-stream"})
        self.assertEqual(r.status, 400)
        self.assertIn('Must provide HTTP header "Dropbox-API-Arg"', r.text)
        r = self.db_content("/2/files/upload_session/start", "{close: false}", b"", self.tok)
        self.assertEqual(r.status, 400)
        r = self.db_content("/2/files/upload_session/start", '{"close": false}', b"", self.tok,
                            headers={"Content-Type": "application/json"})
        self.assertEqual(r.status, 400)
        self.assertIn('Bad HTTP "Content-Type" header', r.text)

    def test_upload_and_download(self):
        r = self.db_content("/2/files/upload", {"path": "/Docs/a.txt", "mode": "add"}, b"hello", self.tok)
        self.assertEqual(r.json()["size"], 5)
        r = self.db_content("/2/files/download", {"path": "/docs/A.txt"}, b"", self.tok,
                            headers={"Content-Type": ""})
        self.assertEqual(r.body, b"hello")
        self.assertEqual(json.loads(r.header("Dropbox-API-Result"))["path_display"], "/Docs/a.txt")


class Web(StandInCase):
    APP = "fakecloud0app0key"

    def sign_in(self, cont="/home"):
        r = self.https("POST", "https://www.dropbox.com/login",
                       urllib.parse.urlencode({"login_email": "alice@example.com", "login_password": "alice-password",
                                               "cont": cont}).encode(),
                       {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(r.status, 302)
        return r

    def test_sign_in_sets_a_persistent_blid_and_returns(self):
        r = self.sign_in("https://www.dropbox.com/chooser?origin=http%3A%2F%2Fx&app_key=" + self.APP)
        self.assertEqual(r.header("Location"), "https://www.dropbox.com/chooser?origin=http%3A%2F%2Fx&app_key=" + self.APP)
        c = cookies_from(r)
        for name in ("blid", "lid", "jar", "t"):
            self.assertIn(name, c)
        self.assertRegex(c["blid"], r"Expires=\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT")
        self.assertIn("Domain=dropbox.com", c["blid"])

    def test_wrong_password(self):
        r = self.https("POST", "https://www.dropbox.com/login",
                       b"login_email=alice%40example.com&login_password=nope", {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(r.status, 200)
        self.assertIn("Invalid email or password", r.text)
        self.assertNotIn("blid", cookies_from(r))

    def test_chooser_signs_in_first_and_sets_cookies_without_blid(self):
        r = self.https("GET", "https://www.dropbox.com/chooser?origin=http%3A%2F%2Fwww.example.com&app_key=" + self.APP)
        self.assertEqual(r.status, 200)
        self.assertIn('id="login"', r.text)
        c = cookies_from(r)
        self.assertTrue(c)
        self.assertNotIn("blid", c)

    def test_chooser_lists_matching_files_for_a_signed_in_user(self):
        cookies = cookie_header(self.sign_in())
        url = ("https://www.dropbox.com/chooser?origin=http%3A%2F%2Fwww.example.com&app_key=" + self.APP +
               "&link_type=direct&multiselect=false&extensions=" + urllib.parse.quote(".qovi .mkv .avi .mov .mp4"))
        r = self.https("GET", url, headers={"Cookie": cookies})
        self.assertEqual(r.status, 200)
        self.assertTrue(cookies_from(r), "chooser answers set cookies")
        files = json.loads(re.search(r"var FILES = (\[.*?\]);\n", r.text).group(1))
        self.assertEqual([f["name"] for f in files], ["holiday.mov", "Big Buck Bunny.mp4", "clip.mkv"])
        f = files[0]
        self.assertEqual(set(f), {"id", "name", "link", "bytes", "icon", "thumbnailLink", "isDir"})
        self.assertEqual(f["bytes"], 3 << 20)
        self.assertTrue(f["link"].startswith("https://dl.dropboxusercontent.com/1/view/"))
        self.assertIn('var ORIGIN = "http://www.example.com"', r.text)
        self.assertIn("var MULTI = false", r.text)
        got = self.https("GET", f["link"])
        self.assertEqual(len(got.body), 3 << 20)
        listed = {x["path"]: x for x in self.ctl("GET", "/files?service=dropbox")["files"]}
        self.assertEqual(hashlib.sha256(got.body).hexdigest(), listed["/holiday.mov"]["sha256"])
        self.assertEqual(self.https("GET", f["thumbnailLink"]).header("Content-Type"), "image/png")
        r = self.https("GET", url.replace("link_type=direct", "link_type=preview").replace("multiselect=false", "multiselect=true"),
                       headers={"Cookie": cookies})
        files = json.loads(re.search(r"var FILES = (\[.*?\]);\n", r.text).group(1))
        self.assertTrue(files[0]["link"].startswith("https://www.dropbox.com/s/"))
        self.assertIn("var MULTI = true", r.text)

    def test_chooser_refuses_a_missing_app_key(self):
        r = self.https("GET", "https://www.dropbox.com/chooser?origin=http%3A%2F%2Fx")
        self.assertEqual(r.status, 400)

    def test_authorize_without_session_goes_to_sign_in(self):
        url = "https://www.dropbox.com/oauth2/authorize?response_type=token&client_id=%s&redirect_uri=qovi://cloud_callback" % self.APP
        r = self.https("GET", url)
        self.assertEqual(r.status, 302)
        self.assertTrue(r.header("Location").startswith("https://www.dropbox.com/login?cont="))

    def consent(self, decision, state=None):
        cookies = cookie_header(self.sign_in())
        url = "https://www.dropbox.com/oauth2/authorize?response_type=token&client_id=%s&redirect_uri=qovi://cloud_callback" % self.APP
        page = self.https("GET", url, headers={"Cookie": cookies})
        self.assertEqual(page.status, 200)
        self.assertIn('id="allow"', page.text)
        form = {"client_id": self.APP, "response_type": "token", "redirect_uri": "qovi://cloud_callback", "decision": decision}
        if state:
            form["state"] = state
        return self.https("POST", "https://www.dropbox.com/oauth2/authorize", urllib.parse.urlencode(form).encode(),
                          {"Cookie": cookies, "Content-Type": "application/x-www-form-urlencoded"})

    def test_allow_redirects_with_the_token_in_the_fragment(self):
        r = self.consent("allow")
        self.assertEqual(r.status, 302)
        loc = r.header("Location")
        self.assertTrue(loc.startswith("qovi://cloud_callback#access_token="), loc)
        frag = urllib.parse.parse_qs(loc.split("#", 1)[1])
        self.assertEqual(frag["token_type"], ["bearer"])
        self.assertTrue(frag["account_id"][0].startswith("dbid:"))
        self.assertIn("dbid%3A", loc)
        self.assertTrue(frag["uid"][0].isdigit())
        self.assertNotIn("expires_in", frag)
        r = self.db_api("/2/users/get_account", {"account_id": frag["account_id"][0]}, frag["access_token"][0])
        self.assertEqual(r.json()["email"], "alice@example.com")

    def test_token_lifetime_shows_in_the_fragment(self):
        self.ctl("POST", "/tokens/lifetime", {"service": "dropbox", "seconds": 14400})
        loc = self.consent("allow").header("Location")
        self.assertEqual(urllib.parse.parse_qs(loc.split("#", 1)[1])["expires_in"], ["14400"])

    def test_deny_redirects_with_access_denied(self):
        loc = self.consent("deny", state="s1").header("Location")
        frag = urllib.parse.parse_qs(loc.split("#", 1)[1])
        self.assertEqual(frag["error"], ["access_denied"])
        self.assertTrue(frag["error_description"][0])
        self.assertEqual(frag["state"], ["s1"])
        self.assertNotIn("access_token", frag)

    def test_authorize_checks_its_parameters(self):
        r = self.https("GET", "https://www.dropbox.com/oauth2/authorize?response_type=token&redirect_uri=qovi://cloud_callback")
        self.assertEqual(r.status, 400)
        self.ctl("POST", "/clients", {"service": "dropbox", "ids": ["only-this-key"]})
        r = self.https("GET", "https://www.dropbox.com/oauth2/authorize?response_type=token&client_id=other&redirect_uri=qovi://x")
        self.assertEqual(r.status, 400)

    def test_logout_expires_the_session_cookies(self):
        cookies = cookie_header(self.sign_in())
        r = self.https("GET", "https://www.dropbox.com/logout", headers={"Cookie": cookies})
        c = cookies_from(r)
        for name in ("blid", "lid"):
            self.assertIn("Max-Age=0", c[name])
        r = self.https("GET", "https://www.dropbox.com/home")
        self.assertIn("Not signed in", r.text)

    def test_dropins_library(self):
        r = self.https("GET", "https://www.dropbox.com/static/api/2/dropins.js")
        self.assertEqual(r.status, 200)
        self.assertIn("javascript", r.header("Content-Type"))
        js = r.text
        for needle in ["window.Dropbox = Dropbox", "appKey:", "choose: function", "window.open(",
                       "'/chooser?origin='", "'&app_key='", "linkType", "multiselect", "extensions",
                       "files_selected", "close_dialog", "options.success", "options.cancel", "'dropboxjs'"]:
            self.assertIn(needle, js)


class AutoMode(StandInCase):
    def pages(self):
        login = self.https("GET", "https://www.dropbox.com/login").text
        return login

    def test_pages_act_by_themselves_only_in_auto_mode(self):
        self.assertNotIn('id="fc-auto"', self.pages())
        self.assertNotIn("setTimeout", self.pages())
        self.ctl("POST", "/auto", {"enabled": True, "delay_ms": 250})
        page = self.pages()
        self.assertIn('id="fc-auto"', page)
        self.assertIn("alice@example.com", page)
        self.assertIn("}, 250);", page)

    def test_chooser_pick_is_configurable(self):
        self.ctl("POST", "/auto", {"enabled": True, "dropbox_pick": "clip.mkv"})
        r = self.https("POST", "https://www.dropbox.com/login", b"login_email=alice%40example.com&login_password=alice-password",
                       {"Content-Type": "application/x-www-form-urlencoded"})
        page = self.https("GET", "https://www.dropbox.com/chooser?origin=http%3A%2F%2Fx&app_key=k",
                          headers={"Cookie": cookie_header(r)}).text
        self.assertIn('var AUTO = {"action": "pick", "name": "clip.mkv"}', page)
        self.ctl("POST", "/auto", {"chooser": "cancel"})
        page = self.https("GET", "https://www.dropbox.com/chooser?origin=http%3A%2F%2Fx&app_key=k",
                          headers={"Cookie": cookie_header(r)}).text
        self.assertIn('var AUTO = {"action": "cancel"}', page)

    def test_consent_decision_is_configurable(self):
        self.ctl("POST", "/auto", {"enabled": True, "consent": "deny"})
        r = self.https("POST", "https://www.dropbox.com/login", b"login_email=alice%40example.com&login_password=alice-password",
                       {"Content-Type": "application/x-www-form-urlencoded"})
        page = self.https("GET", "https://www.dropbox.com/oauth2/authorize?response_type=token&client_id=k&redirect_uri=qovi://cloud_callback",
                          headers={"Cookie": cookie_header(r)}).text
        self.assertIn('var b = "deny";', page)
        self.ctl("POST", "/auto", {"consent": "maybe"}, expect=400)


class ContentHash(StandInCase):
    def test_content_hash_is_dropboxs_published_algorithm(self):
        data = os.urandom((4 << 20) * 2 + 1000)
        tok = self.token("dropbox")["access_token"]
        meta = self.db_content("/2/files/upload", {"path": "/h.bin"}, data, tok).json()
        blocks = b"".join(hashlib.sha256(data[i:i + (4 << 20)]).digest() for i in range(0, len(data), 4 << 20))
        self.assertEqual(meta["content_hash"], hashlib.sha256(blocks).hexdigest())
