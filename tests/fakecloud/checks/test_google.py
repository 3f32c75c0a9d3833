"""Google: accounts (sign-in, consent, tokens), the Drive API, the script host and the picker."""

import hashlib
import json
import os
import re
import urllib.parse

from .support import StandInCase, cookie_header, cookies_from

CLIENT = "123456789012-fakecloudtestclient0000000000000.apps.googleusercontent.com"
SECRET = "fakecloud-test-secret"
SCOPE = "https://www.googleapis.com/auth/drive"
FOLDER = "application/vnd.google-apps.folder"


def auth_url(port=30000, **extra):
    q = "scope=%s&access_type=offline&response_type=code&redirect_uri=http://localhost:%d&client_id=%s" % (SCOPE, port, CLIENT)
    for k, v in extra.items():
        q += "&%s=%s" % (k, v)
    return "https://accounts.google.com/o/oauth2/auth?" + q


class Accounts(StandInCase):
    def sign_in(self, cont):
        r = self.https("POST", "https://accounts.google.com/ServiceLogin",
                       urllib.parse.urlencode({"Email": "alice@example.com", "Passwd": "alice-password", "continue": cont}).encode(),
                       {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(r.status, 302, r.body)
        return r

    def grant(self, decision="allow", url=None):
        url = url or auth_url()
        first = self.https("GET", url)
        self.assertEqual(first.status, 200)
        self.assertIn('id="signin-form"', first.text)
        r = self.sign_in(url)
        self.assertEqual(r.header("Location"), url)
        cookies = cookie_header(r)
        consent = self.https("GET", url, headers={"Cookie": cookies})
        self.assertIn('id="allow"', consent.text)
        form = dict(re.findall(r'<input type="hidden" name="([^"]+)" value="([^"]*)">', consent.text))
        form = {k: v.replace("&amp;", "&") for k, v in form.items()}
        form["decision"] = decision
        return self.https("POST", "https://accounts.google.com/o/oauth2/approval", urllib.parse.urlencode(form).encode(),
                          {"Cookie": cookies, "Content-Type": "application/x-www-form-urlencoded"})

    def test_sign_in_sets_hsid_for_google(self):
        r = self.sign_in("https://accounts.google.com/o/oauth2/auth?x=1")
        c = cookies_from(r)
        for name in ("SID", "HSID", "SSID", "APISID", "SAPISID"):
            self.assertIn(name, c)
            self.assertIn("Domain=.google.com", c[name])
            self.assertIn("Expires=", c[name])

    def test_consent_redirects_to_the_loopback_address_with_code_and_scope(self):
        r = self.grant()
        self.assertEqual(r.status, 302)
        loc = r.header("Location")
        self.assertTrue(loc.startswith("http://localhost:30000?code=4/0"), loc)
        q = urllib.parse.parse_qs(urllib.parse.urlsplit(loc).query)
        self.assertEqual(q["scope"], [SCOPE])
        self.assertTrue(q["code"][0])

    def test_denied_consent(self):
        loc = self.grant("deny").header("Location")
        self.assertEqual(loc, "http://localhost:30000?error=access_denied")

    def exchange(self, code, redirect="http://localhost:30000", client=CLIENT, secret=SECRET):
        body = urllib.parse.urlencode([("code", code), ("client_id", client), ("client_secret", secret),
                                       ("redirect_uri", redirect), ("grant_type", "authorization_code")])
        return self.https("POST", "https://accounts.google.com/o/oauth2/token", body.encode(),
                          {"Content-Type": "application/x-www-form-urlencoded"})

    def code(self):
        loc = self.grant(url=auth_url(prompt="consent")).header("Location")
        return urllib.parse.parse_qs(urllib.parse.urlsplit(loc).query)["code"][0]

    def test_code_exchange_and_refresh(self):
        code = self.code()
        r = self.exchange(code)
        self.assertEqual(r.status, 200, r.body)
        j = r.json()
        self.assertEqual(set(j), {"access_token", "expires_in", "refresh_token", "scope", "token_type"})
        self.assertEqual((j["token_type"], j["expires_in"], j["scope"]), ("Bearer", 3599, SCOPE))
        self.assertEqual(self.exchange(code).json()["error"], "invalid_grant", "a code is good once")
        body = urllib.parse.urlencode([("refresh_token", j["refresh_token"]), ("client_id", CLIENT),
                                       ("client_secret", SECRET), ("grant_type", "refresh_token")])
        r = self.https("POST", "https://accounts.google.com/o/oauth2/token", body.encode())
        self.assertEqual(r.status, 200, r.body)
        j2 = r.json()
        self.assertNotIn("refresh_token", j2)
        self.assertNotEqual(j2["access_token"], j["access_token"])
        about = self.https("GET", "https://www.googleapis.com/drive/v2/about",
                           headers={"Authorization": "Bearer " + j2["access_token"]})
        self.assertEqual(about.json()["user"]["emailAddress"], "alice@example.com")

    def test_exchange_errors(self):
        self.assertEqual(self.exchange("4/0bogus").status, 400)
        self.assertEqual(self.exchange("4/0bogus").json(), {"error": "invalid_grant", "error_description": "Bad Request"})
        r = self.exchange(self.code(), redirect="http://localhost:30001")
        self.assertEqual((r.status, r.json()["error"]), (400, "redirect_uri_mismatch"))
        r = self.exchange(self.code(), secret="")
        self.assertEqual((r.status, r.json()["error"]), (400, "invalid_request"))
        self.ctl("POST", "/clients", {"service": "google", "ids": {CLIENT: SECRET}})
        r = self.exchange(self.code(), secret="wrong")
        self.assertEqual((r.status, r.json()["error"]), (401, "invalid_client"))

    def test_revoked_refresh_token(self):
        t = self.token("google")
        self.ctl("POST", "/revoke", {"service": "google"})
        body = urllib.parse.urlencode([("refresh_token", t["refresh_token"]), ("client_id", t["client_id"]),
                                       ("client_secret", "s"), ("grant_type", "refresh_token")])
        r = self.https("POST", "https://accounts.google.com/o/oauth2/token", body.encode())
        self.assertEqual(r.status, 400)
        self.assertEqual(r.json()["error"], "invalid_grant")
        r = self.https("GET", "https://www.googleapis.com/drive/v2/about", headers={"Authorization": "Bearer " + t["access_token"]})
        self.assertEqual(r.status, 401)

    def test_missing_parameters(self):
        r = self.https("GET", "https://accounts.google.com/o/oauth2/auth?scope=x&response_type=code&redirect_uri=http://localhost:1")
        self.assertEqual(r.status, 400)
        self.assertIn("client_id", r.text)

    def test_postmessage_relay_for_the_script_library(self):
        url = ("https://accounts.google.com/o/oauth2/auth?client_id=%s&scope=%s&immediate=false&response_type=token"
               "&redirect_uri=postmessage&origin=http%%3A%%2F%%2Fwww.example.com&state=s9") % (CLIENT, urllib.parse.quote(SCOPE))
        r = self.grant(url=url)
        self.assertEqual(r.status, 200)
        m = re.search(r"var msg = (\".*?\");", r.text)
        result = json.loads(json.loads(m.group(1)))
        self.assertEqual(result["state"], "s9")
        self.assertEqual(result["token_type"], "Bearer")
        self.assertIn('"http://www.example.com"', r.text)
        about = self.https("GET", "https://www.googleapis.com/drive/v2/about",
                           headers={"Authorization": "Bearer " + result["access_token"]})
        self.assertEqual(about.status, 200)

    def test_an_allowed_client_is_not_asked_again_until_revoked(self):
        self.grant()
        cookies = cookie_header(self.sign_in(auth_url()))
        r = self.https("GET", auth_url(), headers={"Cookie": cookies})
        self.assertEqual(r.status, 302)
        self.assertIn("?code=4/0", r.header("Location"))
        r = self.https("GET", auth_url(prompt="consent"), headers={"Cookie": cookies})
        self.assertIn('id="allow"', r.text)
        self.ctl("POST", "/revoke", {"service": "google"})
        r = self.https("GET", auth_url(), headers={"Cookie": cookies})
        self.assertIn('id="allow"', r.text)

    def test_logout_expires_hsid(self):
        c = cookies_from(self.https("GET", "https://accounts.google.com/Logout"))
        self.assertIn("Max-Age=0", c["HSID"])


class Drive(StandInCase):
    def setUp(self):
        super().setUp()
        self.tok = self.token("google")["access_token"]
        self.auth = {"Authorization": "Bearer " + self.tok}

    def get(self, path):
        return self.https("GET", "https://www.googleapis.com" + path, headers=self.auth)

    def test_about_v2(self):
        r = self.get("/drive/v2/about")
        self.assertEqual(r.status, 200)
        j = r.json()
        self.assertEqual(j["user"]["emailAddress"], "alice@example.com")
        self.assertIsInstance(j["quotaBytesTotal"], str)
        self.assertIsInstance(j["quotaBytesUsed"], str)
        self.assertEqual(int(j["quotaBytesUsed"]), (5 << 20) + (2 << 20) + (3 << 20) + 1200)
        self.assertTrue(r.header("ETag"))
        again = self.https("GET", "https://www.googleapis.com/drive/v2/about",
                           headers=dict(self.auth, **{"If-None-Match": r.header("ETag")}))
        self.assertEqual(again.status, 304)

    def test_unauthenticated(self):
        r = self.https("GET", "https://www.googleapis.com/drive/v2/about")
        self.assertEqual(r.status, 401)
        e = r.json()["error"]
        self.assertEqual((e["code"], e["errors"][0]["reason"]), (401, "required"))
        r = self.https("GET", "https://www.googleapis.com/drive/v2/about", headers={"Authorization": "Bearer ya29.bad"})
        e = r.json()["error"]
        self.assertEqual((e["code"], e["message"], e["errors"][0]["reason"]), (401, "Invalid Credentials", "authError"))

    def test_expired_access_token(self):
        t = self.token("google", lifetime=1)
        import time
        time.sleep(1.2)
        r = self.https("GET", "https://www.googleapis.com/drive/v2/about", headers={"Authorization": "Bearer " + t["access_token"]})
        self.assertEqual(r.status, 401)
        self.ctl("POST", "/tokens/expire", {"service": "google"})
        self.assertEqual(self.get("/drive/v2/about").status, 401)

    def test_folder_search_as_the_plug_in_sends_it(self):
        expr = urllib.parse.quote("name = 'Videos' and trashed = false", safe="")
        self.assertIn("%20", expr)
        self.assertIn("%27", expr)
        self.assertIn("%3D", expr)
        r = self.get("/drive/v3/files?orderBy=folder&q=" + expr)
        self.assertEqual(r.status, 200, r.body)
        j = r.json()
        self.assertEqual(j["kind"], "drive#fileList")
        self.assertEqual(len(j["files"]), 1)
        self.assertEqual(set(j["files"][0]), {"kind", "id", "name", "mimeType"})
        self.assertEqual(j["files"][0]["mimeType"], "application/vnd.google-apps.folder")
        none = self.get("/drive/v3/files?orderBy=folder&q=" + urllib.parse.quote("name = 'Nothing' and trashed = false"))
        self.assertEqual(none.json()["files"], [])

    def test_search_language_and_fields(self):
        root = self.ctl("GET", "/users?service=google")["users"][0]["root_id"]
        r = self.get("/drive/v3/files?q=" + urllib.parse.quote("'root' in parents and mimeType != 'application/vnd.google-apps.folder'")
                     + "&fields=" + urllib.parse.quote("files(id,name,size,parents)"))
        files = r.json()["files"]
        self.assertEqual(sorted(f["name"] for f in files), ["Big Buck Bunny.mp4", "clip.mkv", "notes.txt"])
        self.assertTrue(all(f["parents"] == [root] and f["size"].isdigit() for f in files))
        r = self.get("/drive/v3/files?q=" + urllib.parse.quote("name contains 'BUNNY'"))
        self.assertEqual([f["name"] for f in r.json()["files"]], ["Big Buck Bunny.mp4"])
        r = self.get("/drive/v3/files?q=" + urllib.parse.quote("name = 'x' or name = 'y'"))
        self.assertEqual(r.status, 400)
        self.assertEqual(r.json()["error"]["errors"][0]["location"], "q")

    def test_folder_creation_v2(self):
        body = b'{"title": "Lumen", "parents": [{"id":"root"}], "mimeType":"application/vnd.google-apps.folder"}'
        r = self.https("POST", "https://www.googleapis.com/drive/v2/files", body,
                       dict(self.auth, **{"Content-Type": "application/json"}))
        self.assertEqual(r.status, 200, r.body)
        j = r.json()
        self.assertEqual((j["title"], j["mimeType"], j["parents"][0]["isRoot"]), ("Lumen", "application/vnd.google-apps.folder", True))
        found = self.get("/drive/v3/files?orderBy=folder&q=" + urllib.parse.quote("name = 'Lumen' and trashed = false")).json()
        self.assertEqual(found["files"][0]["id"], j["id"])
        bad = self.https("POST", "https://www.googleapis.com/drive/v2/files", b'{"title": "a"b"}',
                         dict(self.auth, **{"Content-Type": "application/json"}))
        self.assertEqual(bad.status, 400)
        self.assertEqual(bad.json()["error"]["errors"][0]["reason"], "parseError")

    def test_escaped_quotes_in_search_and_v2_folders_inside_folders(self):
        ids = {"root": self.ctl("GET", "/users?service=google")["users"][0]["root_id"]}
        for name, parent in [("it's", "root"), ("a\\b", "it's")]:
            ref = "root" if parent == "root" else ids[parent]
            body = json.dumps({"title": name, "parents": [{"id": ref}], "mimeType": FOLDER}).encode()
            r = self.https("POST", "https://www.googleapis.com/drive/v2/files", body,
                           dict(self.auth, **{"Content-Type": "application/json"}))
            self.assertEqual((r.status, r.json()["parents"][0]["id"]), (200, ids[parent]), r.body)
            ids[name] = r.json()["id"]
        for q, want in [("name = 'it\\'s' and trashed = false", "it's"),
                        ("name = 'a\\\\b' and mimeType = '%s' and '%s' in parents" % (FOLDER, ids["it's"]), "a\\b")]:
            r = self.get("/drive/v3/files?q=" + urllib.parse.quote(q))
            self.assertEqual([(f["id"], f["name"]) for f in r.json()["files"]], [(ids[want], want)], q)

    def start_session(self, name, size, parent=None, mime="video/x-matroska"):
        meta = {"name": name, "parents": [parent]} if parent else {"name": name}
        body = json.dumps(meta, indent=4).encode()
        h = dict(self.auth, **{"Content-Type": "application/json; charset=UTF-8", "X-Upload-Content-Type": mime,
                                "X-Upload-Content-Length": str(size)})
        return self.https("POST", "https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable", body, h)

    def test_resumable_upload_in_one_put_without_authorization(self):
        folder = self.get("/drive/v3/files?q=" + urllib.parse.quote("name = 'Videos' and trashed = false")).json()["files"][0]["id"]
        data = os.urandom(3000000)
        r = self.start_session("movie.mkv", len(data), folder)
        self.assertEqual(r.status, 200, r.body)
        loc = r.header("Location")
        self.assertRegex(loc, r"^https://www\.googleapis\.com/upload/drive/v3/files\?uploadType=resumable&upload_id=[A-Za-z0-9]+$")
        put = self.https("PUT", loc, data, {"Content-Type": "video/x-matroska"})
        self.assertEqual(put.status, 200, put.body)
        j = put.json()
        self.assertEqual((j["name"], j["mimeType"], j["kind"]), ("movie.mkv", "video/x-matroska", "drive#file"))
        files = {f["id"]: f for f in self.ctl("GET", "/files?service=google")["files"]}
        self.assertEqual(files[j["id"]]["sha256"], hashlib.sha256(data).hexdigest())
        self.assertEqual(files[j["id"]]["parents"], [folder])
        got = self.ctl("GET", "/files/content?service=google&id=" + j["id"])
        self.assertEqual(got, data)

    def test_resumable_upload_in_pieces(self):
        data = os.urandom(1000)
        loc = self.start_session("p.mkv", 1000).header("Location")
        r = self.https("PUT", loc, b"", {"Content-Range": "bytes */1000"})
        self.assertEqual((r.status, r.header("Range")), (308, None), "nothing kept yet: no Range")
        r = self.https("PUT", loc, data[:400], {"Content-Range": "bytes 0-399/1000"})
        self.assertEqual((r.status, r.header("Range")), (308, "bytes=0-399"))
        r = self.https("PUT", loc, b"", {"Content-Range": "bytes */1000"})
        self.assertEqual((r.status, r.header("Range")), (308, "bytes=0-399"))
        r = self.https("PUT", loc, data[300:], {"Content-Range": "bytes 300-999/1000"})
        self.assertEqual(r.status, 200, r.body)
        self.assertEqual(set(r.json()), {"kind", "id", "name", "mimeType"})
        again = self.https("PUT", loc, b"", {"Content-Range": "bytes */1000"})
        self.assertEqual((again.status, again.json()), (200, r.json()), "a finished upload answers with its file")
        f = [x for x in self.ctl("GET", "/files?service=google")["files"] if x["id"] == r.json()["id"]][0]
        self.assertEqual(f["sha256"], hashlib.sha256(data).hexdigest())

    def test_unknown_session_is_404(self):
        r = self.https("PUT", "https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable&upload_id=nope", b"x")
        self.assertEqual(r.status, 404)
        self.assertEqual(r.json()["error"]["code"], 404)

    def test_no_space(self):
        self.ctl("POST", "/users", {"service": "google", "email": "full@example.com", "quota_total": 100})
        self.auth = {"Authorization": "Bearer " + self.token("google", email="full@example.com")["access_token"]}
        r = self.start_session("big.mkv", 101)
        self.assertEqual(r.status, 403)
        self.assertEqual(r.json()["error"]["errors"][0]["reason"], "storageQuotaExceeded")

    def test_unknown_parent(self):
        self.assertEqual(self.start_session("x.mkv", 1, parent="nope").status, 404)


class Scripts(StandInCase):
    def test_api_js(self):
        r = self.https("GET", "https://apis.google.com/js/api.js")
        self.assertEqual(r.status, 200)
        js = r.text
        for needle in ["gapi.load", "authorize: authorize", "'/o/oauth2/auth?client_id='", "redirect_uri=postmessage",
                       "window.open(", "PickerBuilder", "DocsView", "setIncludeFolders", "setSelectFolderEnabled",
                       "setParent", "setMimeTypes", "NAV_HIDDEN", "PICKED: 'picked'", "CANCEL: 'cancel'",
                       "SQ: 'sizeBytes'", "ICON_URL: 'iconUrl'", "MIME_TYPE: 'mimeType'", "hideTitleBar", "setOAuthToken"]:
            self.assertIn(needle, js)

    def test_picker_frame_lists_the_users_files(self):
        tok = self.token("google")["access_token"]
        views = json.dumps([{"viewId": "all", "includeFolders": True, "selectFolderEnabled": False, "parent": "root",
                             "mimeTypes": "video/x-matroska,video/mp4,video/quicktime"}])
        url = "https://docs.google.com/picker?protocol=gadgets&picker=p1&origin=http%3A%2F%2Fx&oauth_token={}&views={}".format(
            urllib.parse.quote(tok), urllib.parse.quote(views))
        r = self.https("GET", url)
        self.assertEqual(r.status, 200)
        docs = json.loads(re.search(r"var DOCS_HERE = (\[.*?\]);\n", r.text).group(1))
        self.assertEqual([(d["name"], d["type"]) for d in docs],
                         [("Videos", "folder"), ("Big Buck Bunny.mp4", "video"), ("clip.mkv", "video")])
        d = docs[1]
        for key in ("id", "url", "iconUrl", "name", "sizeBytes", "mimeType"):
            self.assertIn(key, d)
        self.assertEqual(d["sizeBytes"], 5 << 20)
        everything = json.loads(re.search(r"var ALL_DOCS = (\[.*?\]);\n", r.text).group(1))
        names = [x["name"] for x in everything]
        self.assertIn("holiday.mov", names)      # in a folder: automatic picking finds it too
        self.assertNotIn("notes.txt", names)     # not one of the wanted types
        bad = self.https("GET", url.replace(urllib.parse.quote(tok), "ya29.bad"))
        self.assertEqual(bad.status, 401)

    def test_auto_mode_only_when_enabled(self):
        tok = self.token("google")["access_token"]
        url = "https://docs.google.com/picker?picker=p&oauth_token=" + urllib.parse.quote(tok)
        self.assertIn("var AUTO = null", self.https("GET", url).text)
        self.ctl("POST", "/auto", {"enabled": True, "google_pick": "clip.mkv"})
        self.assertIn('var AUTO = {"action": "pick", "name": "clip.mkv"}', self.https("GET", url).text)
        page = self.https("GET", auth_url()).text
        self.assertIn('id="fc-auto"', page)


class Es5(StandInCase):
    """Page scripts must run in an old WebKit: no ES2015 syntax, no fetch or promises."""

    def test_served_scripts_are_es5(self):
        tok = self.token("google")["access_token"]
        cookie = cookie_header(self.https("POST", "https://www.dropbox.com/login",
                                          b"login_email=alice%40example.com&login_password=alice-password",
                                          {"Content-Type": "application/x-www-form-urlencoded"}))
        self.ctl("POST", "/auto", {"enabled": True})
        bodies = [self.https("GET", "https://www.dropbox.com/static/api/2/dropins.js").text,
                  self.https("GET", "https://apis.google.com/js/api.js").text,
                  self.https("GET", "https://www.dropbox.com/chooser?origin=x&app_key=k", headers={"Cookie": cookie}).text,
                  self.https("GET", "https://docs.google.com/picker?oauth_token=" + urllib.parse.quote(tok)).text,
                  self.https("GET", "https://www.dropbox.com/login").text]
        for text in bodies:
            for bad in (r"=>", r"\blet\s", r"\bconst\s", r"\bfetch\(", r"\bPromise\b", r"`", r"\bclass\s+\w+\s*\{"):
                self.assertIsNone(re.search(bad, text), "%s found in %s" % (bad, text[:80]))
