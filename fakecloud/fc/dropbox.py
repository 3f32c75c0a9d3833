"""Dropbox: the web site (sign-in, OAuth consent, chooser, log-out, the
chooser script library), API v2 on the API host, uploads and downloads on the
content host, direct links."""

import calendar
import json
import posixpath
import secrets
import time
from urllib.parse import quote, urlencode, urlsplit

from . import pages
from .http import Response, html_response, json_response, redirect, text_response
from .state import Content, Upload, iso, unb64u, b64u

WEB = "www.dropbox.com"
API = "api.dropboxapi.com"
CONTENT = "content.dropboxapi.com"
DL = "dl.dropboxusercontent.com"
HOSTS = [WEB, "dropbox.com", API, CONTENT, DL]
COOKIE_DOMAIN = "dropbox.com"

VIDEO_EXT = [".3gp", ".3gpp", ".avi", ".flv", ".m4v", ".mkv", ".mov", ".mp4", ".mpeg", ".mpg", ".ogv", ".qovi", ".webm", ".wmv"]
IMAGE_EXT = [".bmp", ".gif", ".jpeg", ".jpg", ".png", ".tif", ".tiff", ".webp"]
AUDIO_EXT = [".aac", ".flac", ".m4a", ".mp3", ".ogg", ".wav", ".wma"]
TEXT_EXT = [".txt", ".md", ".csv", ".log"]
DOC_EXT = [".doc", ".docx", ".pdf", ".ppt", ".pptx", ".rtf", ".xls", ".xlsx", ".txt", ".odt"]
CATEGORIES = {"video": VIDEO_EXT, "images": IMAGE_EXT, "audio": AUDIO_EXT, "text": TEXT_EXT, "documents": DOC_EXT}

DENY_DESCRIPTION = "The user chose not to give your app access to their Dropbox account."


# ------------------------------------------------------------------ errors
def api_error(summary, error, status=409, headers=None):
    return json_response({"error_summary": summary + "/...", "error": error}, status, headers)


def bad_input(endpoint, text):
    return text_response('Error in call to API function "%s": %s' % (endpoint, text), 400)


def endpoint_name(path):
    return path[3:] if path.startswith("/2/") else path.lstrip("/")


def error_for_status(req, status):
    ep = endpoint_name(req.path)
    if status == 400:
        return bad_input(ep, "request body: could not decode input as JSON")
    if status == 401:
        return api_error("invalid_access_token", {".tag": "invalid_access_token"}, 401)
    if status == 403:
        return api_error("no_permission", {".tag": "no_permission"}, 403)
    if status == 409:
        return api_error("path/not_found", {".tag": "path", "path": {".tag": "not_found"}}, 409)
    if status == 429:
        r = api_error("too_many_write_operations",
                      {"reason": {".tag": "too_many_write_operations"}, "retry_after": 1}, 429)
        r.headers.set("Retry-After", "1")
        return r
    if status >= 500:
        return text_response("Internal Server Error" if status == 500 else "Service Unavailable", status)
    return text_response("Error %d" % status, status)


def fault_response(server, req, kind, fault):
    if kind == "revoked":
        return api_error("invalid_access_token", {".tag": "invalid_access_token"}, 401)
    if kind == "expired":
        return api_error("expired_access_token", {".tag": "expired_access_token"}, 401)
    if kind == "no_space":
        return api_error("path/insufficient_space", {".tag": "path", "path": {".tag": "insufficient_space"}}, 409)
    if kind == "rate_limit":
        after = int(fault.get("retry_after", 1))
        r = api_error("too_many_write_operations",
                      {"reason": {".tag": "too_many_write_operations"}, "retry_after": after}, 429)
        r.headers.set("Retry-After", str(after))
        return r
    return text_response("unknown fault kind %r" % kind, 500)


# ------------------------------------------------------------------ helpers
def bearer(server, req):
    """(user, None) or (None, response)."""
    ep = endpoint_name(req.path)
    value = req.hdr("Authorization")
    if value is None:
        value = req.params.get("authorization")
        if value is None:
            return None, bad_input(ep, 'Must provide HTTP header "Authorization" or URL parameter "authorization".')
    if not value.startswith("Bearer ") or not value[7:].strip():
        return None, bad_input(ep, 'Invalid authorization value in HTTP header "Authorization": "%s".  '
                                   'Expecting "Bearer <oauth2-access-token>".' % value)
    payload, problem = server.state.check_token("dropbox", "access", value[7:].strip())
    if problem == "expired":
        return None, api_error("expired_access_token", {".tag": "expired_access_token"}, 401)
    if problem:
        return None, api_error("invalid_access_token", {".tag": "invalid_access_token"}, 401)
    u = server.state.dropbox_user(payload["e"])
    return u, None


def rpc_args(req, optional=False):
    """(args, None) or (None, response) for an RPC endpoint's JSON body."""
    ep = endpoint_name(req.path)
    body = req.read_body()
    if not body.strip():
        if optional:
            return None, None
        return None, bad_input(ep, "request body: could not decode input as JSON")
    ctype = (req.hdr("Content-Type") or "").split(";")[0].strip().lower()
    full = (req.hdr("Content-Type") or "").lower().replace(" ", "")
    if ctype != "application/json" and full != "text/plain;charset=dropbox-cors-hack":
        return None, bad_input(ep, 'Bad HTTP "Content-Type" header: "%s".  Expecting one of "application/json", '
                                   '"application/json; charset=utf-8", "text/plain; charset=dropbox-cors-hack".'
                               % (req.hdr("Content-Type") or ""))
    try:
        args = json.loads(body)
    except ValueError:
        return None, bad_input(ep, "request body: could not decode input as JSON")
    if args is None and optional:
        return None, None
    if not isinstance(args, dict):
        return None, bad_input(ep, "request body: expected object, got %s" % type(args).__name__)
    return args, None


def content_args(req):
    ep = endpoint_name(req.path)
    text = req.hdr("Dropbox-API-Arg")
    undecodable = bad_input(ep, 'HTTP header "Dropbox-API-Arg": could not decode input as JSON')
    if text is not None and any(ord(ch) > 0x7E for ch in text):
        # The header must be plain ASCII: clients write every other character
        # as \uXXXX (a surrogate pair above U+FFFF). Raw UTF-8 is refused.
        return None, undecodable
    if text is None:
        text = req.params.get("arg")
    if text is None:
        return None, bad_input(ep, 'Must provide HTTP header "Dropbox-API-Arg" or URL parameter "arg".')
    try:
        args = json.loads(text)
        json.dumps(args, ensure_ascii=False).encode("utf-8")  # no lone surrogate escapes
    except (ValueError, UnicodeEncodeError):
        return None, undecodable
    if not isinstance(args, dict):
        return None, bad_input(ep, 'HTTP header "Dropbox-API-Arg": expected object')
    full = (req.hdr("Content-Type") or "").lower().replace(" ", "")
    if req.path != "/2/files/download" and full not in ("application/octet-stream", "text/plain;charset=dropbox-cors-hack"):
        return None, bad_input(ep, 'Bad HTTP "Content-Type" header: "%s".  Expecting one of "application/octet-stream", '
                                   '"text/plain; charset=dropbox-cors-hack".' % (req.hdr("Content-Type") or ""))
    return args, None


def file_metadata(entry, tag=False):
    low = entry["path_display"].lower()
    if entry["folder"]:
        m = {"name": entry["name"], "path_lower": low, "path_display": entry["path_display"], "id": entry["id"]}
        if tag:
            m = dict({".tag": "folder"}, **m)
        return m
    c = entry["content"]
    m = {"name": entry["name"], "path_lower": low, "path_display": entry["path_display"], "id": entry["id"],
         "client_modified": iso(entry["client_modified"]), "server_modified": iso(entry["server_modified"]),
         "rev": entry["rev"], "size": c.size, "is_downloadable": True}
    h = c.dropbox_content_hash() if c.available() and c.size <= (64 << 20) else None
    if h:
        m["content_hash"] = h
    if tag:
        m = dict({".tag": "file"}, **m)
    return m


def check_path(path, allow_root=False):
    if not isinstance(path, str):
        return "malformed_path"
    if path == "" and allow_root:
        return None
    if not path.startswith("/") or path == "/" or path.endswith("/") or "//" in path:
        return "malformed_path"
    return None


def account_json(u):
    return {"account_id": u["account_id"],
            "name": {"given_name": u["given_name"], "surname": u["surname"],
                     "familiar_name": u["given_name"],
                     "display_name": (u["given_name"] + " " + u["surname"]).strip(),
                     "abbreviated_name": (u["given_name"][:1] + u["surname"][:1]).upper()},
            "email": u["email"], "email_verified": True, "disabled": False, "is_teammate": False}


# ------------------------------------------------------------------ dispatch
def handle(server, req):
    host = req.host
    if host == "dropbox.com":
        return redirect("https://www.dropbox.com" + req.path_qs, 301)
    if host == WEB:
        return web(server, req)
    if host == API:
        return api(server, req)
    if host == CONTENT:
        return content(server, req)
    if host == DL:
        return dl(server, req)
    return text_response("not found", 404)


# ------------------------------------------------------------------ web site
def session_user(server, req):
    email = pages.unsign(req.cookies.get("lid"))
    if not email or not req.cookies.get("blid"):
        return None
    return server.state.dropbox_user(email)


def web_cookies(resp, extra=()):
    """Every page answer sets cookies, as the real site does."""
    resp.headers.add("Set-Cookie", pages.cookie("locale", "en", COOKIE_DOMAIN, http_only=False))
    resp.headers.add("Set-Cookie", pages.cookie("t", secrets.token_urlsafe(18), COOKIE_DOMAIN))
    for c in extra:
        resp.headers.add("Set-Cookie", c)
    resp.headers.set("Cache-Control", "no-cache, no-store")
    return resp


def auto_on(server):
    return server.state.auto["enabled"]


def auto_user(server):
    a = server.state.auto
    return server.state.dropbox_user(a["email"]) if a["email"] else server.state.dropbox_user()


def login_page(server, cont, error=None, status=200):
    body = []
    if error:
        body.append('<p class="error" id="error">%s</p>' % pages.esc(error))
    body.append('<form id="login" method="post" action="/login">'
                '<input type="hidden" name="cont" value="%s">'
                '<div>Email<br><input type="email" id="email" name="login_email" autocomplete="username"></div>'
                '<div>Password<br><input type="password" id="password" name="login_password"></div>'
                '<button class="primary" id="signin" type="submit">Sign in</button></form>' % pages.esc(cont))
    note = script = None
    if auto_on(server) and not error:
        u = auto_user(server)
        if u:
            note = "Automatic mode: signing in as %s" % u["email"]
            script = pages.auto_submit(server.state.auto["delay_ms"], "login",
                                       {"email": u["email"], "password": u["password"]}, "signin")
    return web_cookies(html_response(pages.page("Sign in to Dropbox", "".join(body),
                                                auto_note=note, auto_script=script), status))


def safe_cont(cont):
    if not cont:
        return "/home"
    parts = urlsplit(cont)
    if parts.scheme and (parts.scheme != "https" or parts.hostname != WEB):
        return "/home"
    if not parts.scheme and not cont.startswith("/"):
        return "/home"
    return cont


def web(server, req):
    path = req.path
    if path in ("/", "/home"):
        u = session_user(server, req)
        if u:
            body = '<p id="who">Signed in as %s</p><p><a id="logout" href="/logout">Sign out</a></p>' % pages.esc(u["email"])
        else:
            body = '<p id="who">Not signed in</p><p><a href="/login">Sign in</a></p>'
        return web_cookies(html_response(pages.page("Dropbox", body)))
    if path == "/login":
        if req.method == "POST":
            f = req.form()
            cont = safe_cont(f.get("cont"))
            u = server.state.dropbox_user(f.get("login_email", ""))
            if not u or u["password"] != f.get("login_password"):
                return login_page(server, cont, "Invalid email or password.")
            resp = redirect(cont)
            blid = req.cookies.get("blid") or "AAA" + secrets.token_urlsafe(24)
            return web_cookies(resp, [pages.cookie("blid", blid, COOKIE_DOMAIN),
                                      pages.cookie("lid", pages.sign(u["email"]), COOKIE_DOMAIN),
                                      pages.cookie("jar", b64u(secrets.token_bytes(12)), COOKIE_DOMAIN),
                                      pages.cookie("__Host-js_csrf", secrets.token_urlsafe(18), COOKIE_DOMAIN,
                                                   http_only=False)])
        return login_page(server, safe_cont(req.params.get("cont")))
    if path == "/logout":
        resp = redirect("https://www.dropbox.com/login")
        for name in ("blid", "lid", "jar", "t", "__Host-js_csrf"):
            resp.headers.add("Set-Cookie", pages.expired_cookie(name, COOKIE_DOMAIN))
        resp.headers.set("Cache-Control", "no-cache, no-store")
        return resp
    if path == "/oauth2/authorize":
        return authorize(server, req)
    if path == "/chooser":
        return chooser(server, req)
    if path == "/static/api/2/dropins.js":
        r = Response(200, pages.static("dropins.js"), content_type="text/javascript; charset=utf-8")
        r.headers.set("Cache-Control", "max-age=300")
        return r
    if path.startswith("/static/images/icons64/") and path.endswith(".png"):
        return Response(200, pages.ICON_PNG, content_type="image/png")
    if path.startswith("/s/"):
        return shared_link(server, req)
    return html_response(pages.page("Dropbox - 404", "<p>That page is missing.</p>"), 404)


def authorize(server, req):
    p = dict(req.params)
    if req.method == "POST":
        p.update(req.form())
    client_id = p.get("client_id", "")
    rtype = p.get("response_type", "")
    ruri = p.get("redirect_uri", "")
    state = p.get("state")
    problems = []
    if not client_id:
        problems.append('Missing "client_id".')
    elif server.state.clients["dropbox"] and client_id not in server.state.clients["dropbox"]:
        problems.append('Invalid client_id: "%s"' % client_id)
    if rtype not in ("token", "code"):
        problems.append('"response_type" should be one of "token", "code".')
    if rtype == "token" and not ruri:
        problems.append('Missing "redirect_uri".')
    if problems:
        return html_response(pages.page("Dropbox - Bad request", '<p class="error" id="error">Error (400)</p><p>%s</p>'
                                        % pages.esc(" ".join(problems))), 400)
    u = session_user(server, req)
    if u is None:
        return redirect("https://www.dropbox.com/login?" + urlencode({"cont": req.url}))
    if req.method == "POST":
        decision = p.get("decision")
        sep = "#" if rtype == "token" else ("&" if "?" in ruri else "?")
        if decision != "allow":
            items = [("error", "access_denied"), ("error_description", DENY_DESCRIPTION)]
        elif rtype == "token":
            token, _ = server.state.issue_token("dropbox", "access", u["email"], client_id)
            items = [("access_token", token), ("token_type", "bearer")]
            life = server.state.token_lifetime["dropbox"]
            if life:
                items.append(("expires_in", str(life)))
            items += [("account_id", u["account_id"]), ("uid", u["uid"])]
        else:
            code = "fc" + secrets.token_urlsafe(30)
            with server.state.lock:
                server.state.codes[code] = {"service": "dropbox", "email": u["email"], "client_id": client_id,
                                            "redirect_uri": ruri, "time": time.time()}
            items = [("code", code)]
        if state is not None:
            items.append(("state", state))
        if not ruri:
            return html_response(pages.page("Dropbox", '<p id="code">%s</p>' % pages.esc(dict(items).get("code", ""))))
        return redirect(ruri + sep + urlencode(items))
    hidden = "".join('<input type="hidden" name="%s" value="%s">' % (pages.esc(k), pages.esc(v))
                     for k, v in [("client_id", client_id), ("response_type", rtype), ("redirect_uri", ruri)]
                     + ([("state", state)] if state is not None else []))
    body = ('<p id="ask">The app <b>%s</b> would like access to the files and folders in your Dropbox.</p>'
            '<p>Signed in as <span id="who">%s</span></p>'
            '<form id="consent" method="post" action="/oauth2/authorize">%s'
            '<button id="deny" type="submit" name="decision" value="deny">Deny</button>'
            '<button id="allow" class="primary" type="submit" name="decision" value="allow">Allow</button>'
            '</form>') % (pages.esc(client_id), pages.esc(u["email"]), hidden)
    note = script = None
    if auto_on(server):
        choice = "allow" if server.state.auto["consent"] != "deny" else "deny"
        note = "Automatic mode: choosing %s" % choice.capitalize()
        script = pages.auto_submit(server.state.auto["delay_ms"], "consent", {}, choice)
    return web_cookies(html_response(pages.page("API Request Authorization", body, auto_note=note, auto_script=script)))


def link_key(email, path):
    return pages.sign(json.dumps([email, path, int(time.time())]))


def file_links(entry, u, link_type):
    key = link_key(u["email"], entry["path_display"])
    name = entry["name"]
    ext = posixpath.splitext(name)[1].lower()
    if link_type == "direct":
        link = "https://%s/1/view/%s%s" % (DL, key, quote(entry["path_display"]))
    else:
        link = "https://www.dropbox.com/s/%s/%s?dl=0" % (key, quote(name))
    icon = "https://www.dropbox.com/static/images/icons64/%s.png" % (
        "page_white_film" if ext in VIDEO_EXT else "page_white_picture" if ext in IMAGE_EXT else "page_white")
    out = {"id": entry["id"], "name": name, "link": link, "bytes": entry["content"].size, "icon": icon,
           "isDir": False}
    if ext in VIDEO_EXT or ext in IMAGE_EXT:
        out["thumbnailLink"] = "https://%s/thumb/%s?bounding_box=75&mode=fit" % (DL, key)
    return out


def wanted_extensions(text):
    exts = set()
    for item in (text or "").replace(",", " ").split():
        item = item.lower()
        if item in CATEGORIES:
            exts.update(CATEGORIES[item])
        elif item.startswith("."):
            exts.add(item)
        else:
            exts.add("." + item)
    return exts


def chooser(server, req):
    p = req.params
    app_key = p.get("app_key", "")
    origin = p.get("origin", "")
    if not app_key or (server.state.clients["dropbox"] and app_key not in server.state.clients["dropbox"]):
        return web_cookies(html_response(pages.page("Dropbox Chooser", '<p class="error" id="error">Invalid app key "%s".</p>'
                                                    % pages.esc(app_key)), 400))
    u = session_user(server, req)
    if u is None:
        return login_page(server, req.path_qs)
    link_type = p.get("link_type", "preview")
    multiselect = p.get("multiselect", "false") == "true"
    exts = wanted_extensions(p.get("extensions"))
    files = []
    with server.state.lock:
        entries = sorted((e for e in u["files"].values() if not e["folder"]), key=lambda e: e["path_display"].lower())
        for e in entries:
            if exts and posixpath.splitext(e["name"])[1].lower() not in exts:
                continue
            files.append((e, file_links(e, u, link_type)))
    rows = []
    for i, (e, f) in enumerate(files):
        rows.append('<tr id="file-%d" data-index="%d" onclick="fcToggle(%d)"><td>%s</td><td>%s</td><td>%d bytes</td></tr>'
                    % (i, i, i, pages.esc(e["name"]), pages.esc(posixpath.dirname(e["path_display"])), f["bytes"]))
    body = ('<p>Signed in as <span id="who">%s</span></p>'
            '<table class="files" id="files">%s</table>%s'
            '<div><button id="cancel" onclick="fcCancel()">Cancel</button>'
            '<button id="choose" class="primary" onclick="fcChoose()" disabled>Choose</button></div>') % (
        pages.esc(u["email"]), "".join(rows), "" if rows else '<p id="empty">No matching files.</p>')
    a = server.state.auto
    note = None
    auto_js = "null"
    if a["enabled"]:
        if a["chooser"] == "cancel":
            note = "Automatic mode: cancelling"
            auto_js = pages.js({"action": "cancel"})
        else:
            want = a["dropbox_pick"]
            note = "Automatic mode: choosing %s" % (want or "the first file")
            auto_js = pages.js({"action": "pick", "name": want})
    script = (pages.static("chooser.js").decode("utf-8")
              .replace("/*FILES*/null", pages.js([f for _, f in files]))
              .replace("/*MULTI*/false", "true" if multiselect else "false")
              .replace("/*ORIGIN*/''", pages.js(origin))
              .replace("/*AUTO*/null", auto_js)
              .replace("/*DELAY*/0", str(int(a["delay_ms"]))))
    return web_cookies(html_response(pages.page("Dropbox Chooser", body, auto_note=note, auto_script=script)))


def shared_link(server, req):
    parts = req.path.split("/", 3)
    info = pages.unsign(parts[2]) if len(parts) > 2 else None
    entry = lookup_link(server, info)
    if entry is None:
        return html_response(pages.page("Dropbox - Error", "<p>That link is not valid.</p>"), 404)
    if req.params.get("dl") == "1" or req.params.get("raw") == "1":
        return stream_content(entry["content"], entry["name"])
    return html_response(pages.page(entry["name"], '<p id="name">%s</p><p>%d bytes</p>'
                                    % (pages.esc(entry["name"]), entry["content"].size)))


def lookup_link(server, info):
    if not info:
        return None
    try:
        email, path, _ = json.loads(info)
    except ValueError:
        return None
    u = server.state.dropbox_user(email)
    if u is None:
        return None
    e = u["files"].get(path.lower())
    return e if e and not e["folder"] else None


def stream_content(content, name, extra_headers=None):
    if not content.available():
        return text_response("the bytes of this file were not kept (only its size and hash)", 410)
    r = Response(200, stream=content.blocks(), length=content.size, content_type="application/octet-stream")
    r.headers.set("Content-Disposition", "attachment; filename=\"%s\"" % name.replace('"', ""))
    for k, v in (extra_headers or {}).items():
        r.headers.set(k, v)
    return r


def dl(server, req):
    if req.path.startswith("/1/view/"):
        rest = req.path[len("/1/view/"):]
        key = rest.split("/", 1)[0]
        entry = lookup_link(server, pages.unsign(key))
        if entry is None:
            return text_response("Not Found", 404)
        return stream_content(entry["content"], entry["name"])
    if req.path.startswith("/thumb/"):
        entry = lookup_link(server, pages.unsign(req.path[7:]))
        if entry is None:
            return text_response("Not Found", 404)
        return Response(200, pages.ICON_PNG, content_type="image/png")
    return text_response("Not Found", 404)


# ------------------------------------------------------------------ API host
def api(server, req):
    path = req.path
    if path == "/oauth2/token":
        return token_endpoint(server, req)
    if req.method != "POST":
        return text_response("Only POST is supported for %s" % path, 405)
    u, err = bearer(server, req)
    if err:
        return err
    ep = endpoint_name(path)
    if path == "/2/users/get_account":
        args, err = rpc_args(req)
        if err:
            return err
        aid = args.get("account_id")
        if not isinstance(aid, str) or len(aid) < 40:
            return bad_input(ep, "request body: account_id: '%s' should be at least 40 characters" % (aid,))
        with server.state.lock:
            who = next((x for x in server.state.db_users.values() if x["account_id"] == aid), None)
        if who is None:
            return api_error("no_account", {".tag": "no_account"})
        return json_response(account_json(who))
    if path == "/2/users/get_current_account":
        args, err = rpc_args(req, optional=True)
        if err:
            return err
        out = account_json(u)
        out.update({"country": "US", "locale": "en", "referral_link": "https://db.tt/fakecloud",
                    "is_paired": False, "account_type": {".tag": "basic"},
                    "root_info": {".tag": "user", "root_namespace_id": u["uid"], "home_namespace_id": u["uid"]}})
        return json_response(out)
    if path == "/2/users/get_space_usage":
        args, err = rpc_args(req, optional=True)
        if err:
            return err
        with server.state.lock:
            used = server.state.dropbox_used(u)
        return json_response({"used": used, "allocation": {".tag": "individual", "allocated": u["allocated"]}})
    if path in ("/2/files/create_folder", "/2/files/create_folder_v2"):
        args, err = rpc_args(req)
        if err:
            return err
        fpath = args.get("path")
        bad = check_path(fpath)
        if bad:
            return api_error("path/" + bad, {".tag": "path", "path": {".tag": bad}})
        with server.state.lock:
            low = fpath.lower()
            existing = u["files"].get(low)
            if existing is not None:
                if args.get("autorename"):
                    fpath = free_name(u, fpath)
                    low = fpath.lower()
                else:
                    what = "folder" if existing["folder"] else "file"
                    return api_error("path/conflict/" + what, {".tag": "path", "path": {".tag": "conflict", "conflict": {".tag": what}}})
            if not server.state.dropbox_ensure_folders(u, fpath):
                return api_error("path/conflict/file", {".tag": "path", "path": {".tag": "conflict", "conflict": {".tag": "file"}}})
            meta = file_metadata(u["files"][low])
        return json_response({"metadata": meta} if path.endswith("_v2") else meta)
    if path in ("/2/files/get_metadata", "/2/files/list_folder"):
        args, err = rpc_args(req)
        if err:
            return err
        fpath = args.get("path", "")
        bad = check_path(fpath, allow_root=path.endswith("list_folder"))
        if bad:
            return api_error("path/" + bad, {".tag": "path", "path": {".tag": bad}})
        with server.state.lock:
            e = u["files"].get(fpath.lower())
            if e is None:
                return api_error("path/not_found", {".tag": "path", "path": {".tag": "not_found"}})
            if path.endswith("get_metadata"):
                return json_response(file_metadata(e, tag=True))
            prefix = fpath.lower() + "/"
            rec = bool(args.get("recursive"))
            out = []
            for k, f in sorted(u["files"].items()):
                if not k or not k.startswith(prefix):
                    continue
                if not rec and "/" in k[len(prefix):]:
                    continue
                out.append(file_metadata(f, tag=True))
        return json_response({"entries": out, "cursor": b64u(secrets.token_bytes(16)), "has_more": False})
    return text_response("Unknown API function: \"%s\"" % ep, 404)


def free_name(u, path):
    base, ext = posixpath.splitext(path)
    n = 1
    while True:
        cand = "%s (%d)%s" % (base, n, ext)
        if cand.lower() not in u["files"]:
            return cand
        n += 1


def token_endpoint(server, req):
    f = req.form()
    f.update({k: v for k, v in req.params.items() if k not in f})
    if f.get("grant_type") != "authorization_code":
        return json_response({"error": "unsupported_grant_type", "error_description": "unsupported grant_type"}, 400)
    with server.state.lock:
        c = server.state.codes.pop(f.get("code", ""), None)
    if not c or c["service"] != "dropbox" or time.time() - c["time"] > 600:
        return json_response({"error": "invalid_grant", "error_description": "code doesn't exist or has expired"}, 400)
    if c["redirect_uri"] and f.get("redirect_uri") != c["redirect_uri"]:
        return json_response({"error": "invalid_grant", "error_description": "redirect_uri mismatch"}, 400)
    u = server.state.dropbox_user(c["email"])
    token, _ = server.state.issue_token("dropbox", "access", u["email"], c["client_id"])
    out = {"access_token": token, "token_type": "bearer", "uid": u["uid"], "account_id": u["account_id"]}
    life = server.state.token_lifetime["dropbox"]
    if life:
        out["expires_in"] = life
    return json_response(out)


# ------------------------------------------------------------------ content host
def content(server, req):
    path = req.path
    if req.method != "POST":
        return text_response("Only POST is supported for %s" % path, 405)
    u, err = bearer(server, req)
    if err:
        return err
    args, err = content_args(req)
    if err:
        return err
    st = server.state
    if path == "/2/files/upload_session/start":
        sid = "pid_upload_session:" + b64u(secrets.token_bytes(30))
        sess = {"email": u["email"], "upload": Upload(st.sink), "closed": bool(args.get("close")), "created": time.time()}
        if not receive(req, sess, atomic=True):
            return broken_body()
        with st.lock:
            st.db_sessions[sid] = sess
        return json_response({"session_id": sid})
    if path in ("/2/files/upload_session/append_v2", "/2/files/upload_session/append"):
        cursor = args.get("cursor") if path.endswith("_v2") else args
        if not isinstance(cursor, dict) or not isinstance(cursor.get("session_id"), str) or not isinstance(cursor.get("offset"), int):
            return bad_input(endpoint_name(path), "HTTP header \"Dropbox-API-Arg\": cursor: missing required field")
        with st.lock:
            sess = st.db_sessions.get(cursor["session_id"])
            committed = st.db_committed.get(cursor["session_id"])
        if committed is not None and committed.lower() == u["email"].lower():
            return api_error("closed", {".tag": "closed"})
        if sess is None or sess["email"].lower() != u["email"].lower():
            return api_error("not_found", {".tag": "not_found"})
        with sess["upload"].lock:
            if sess["closed"]:
                return api_error("closed", {".tag": "closed"})
            if cursor["offset"] != sess["upload"].size:
                return api_error("incorrect_offset", {".tag": "incorrect_offset", "correct_offset": sess["upload"].size})
            if not receive(req, sess, atomic=True):
                return broken_body()
            if args.get("close"):
                sess["closed"] = True
        return Response(200, b"null", content_type="application/json")
    if path == "/2/files/upload_session/finish":
        cursor = args.get("cursor")
        commit = args.get("commit")
        if not isinstance(cursor, dict) or not isinstance(commit, dict) or not isinstance(cursor.get("offset"), int):
            return bad_input(endpoint_name(path), "HTTP header \"Dropbox-API-Arg\": missing required field")
        sid = cursor.get("session_id")
        closed = api_error("lookup_failed/closed", {".tag": "lookup_failed", "lookup_failed": {".tag": "closed"}})
        with st.lock:
            sess = st.db_sessions.get(sid)
            committed = st.db_committed.get(sid) if isinstance(sid, str) else None
        if committed is not None and committed.lower() == u["email"].lower():
            return closed  # finished already: the session is spent
        if sess is None or sess["email"].lower() != u["email"].lower():
            return api_error("lookup_failed/not_found", {".tag": "lookup_failed", "lookup_failed": {".tag": "not_found"}})
        with sess["upload"].lock:
            if sess.get("committed"):
                return closed  # a finish of the same session that ran at the same time won
            if cursor["offset"] != sess["upload"].size:
                return api_error("lookup_failed/incorrect_offset",
                                 {".tag": "lookup_failed", "lookup_failed": {".tag": "incorrect_offset",
                                                                           "correct_offset": sess["upload"].size}})
            if not receive(req, sess, atomic=True):
                return broken_body()
            resp = commit_file(st, u, commit, sess["upload"].content(), endpoint_name(path))
            if resp.status == 200:
                sess["committed"] = True
                with st.lock:
                    st.db_sessions.pop(sid, None)
                    st.db_committed[sid] = u["email"]
            return resp
    if path == "/2/files/upload":
        sess = {"email": u["email"], "upload": Upload(st.sink), "closed": False}
        if not receive(req, sess, atomic=True):
            return broken_body()
        return commit_file(st, u, args, sess["upload"].content(), endpoint_name(path))
    if path == "/2/files/download":
        fpath = args.get("path")
        with st.lock:
            e = u["files"].get(fpath.lower()) if isinstance(fpath, str) else None
        if e is None or e["folder"]:
            return api_error("path/not_found", {".tag": "path", "path": {".tag": "not_found"}})
        return stream_content(e["content"], e["name"], {"Dropbox-API-Result": json.dumps(file_metadata(e))})
    return text_response("Unknown API function: \"%s\"" % endpoint_name(path), 404)


def broken_body():
    """The body did not arrive whole (the connection is being dropped)."""
    return Response(400, b"", content_type="text/plain")


def receive(req, sess, atomic):
    """Takes the request body into the session. An append is all or nothing:
    a body that breaks off leaves the session as it was."""
    up = sess["upload"]
    first = up.size == 0
    saved = (up.size, up.hasher.copy(), up.kept, len(up.data) if up.kept else 0)
    for view in req.iter_body():
        up.add(view, hash_it=not first)
    if not req.body_done:
        if atomic:
            up.size, up.hasher, up.kept = saved[0], saved[1], saved[2]
            if up.kept and up.data is not None:
                del up.data[saved[3]:]
            elif saved[2]:
                up.kept = False  # kept bytes were released; the size and hash are restored
        return False
    if first:
        up.take_over(req.hasher)
    return True


def commit_file(st, u, commit, content, ep):
    path = commit.get("path")
    bad = check_path(path)
    if bad:
        return api_error("path/" + bad, {".tag": "path", "path": {".tag": bad}})
    client_modified = commit.get("client_modified")
    if client_modified is not None:
        try:
            client_modified = calendar.timegm(time.strptime(client_modified, "%Y-%m-%dT%H:%M:%SZ"))
        except (TypeError, ValueError):
            return bad_input(ep, 'HTTP header "Dropbox-API-Arg": client_modified: '
                                 'timestamp does not match format \'%Y-%m-%dT%H:%M:%SZ\'')
    mode = commit.get("mode", "add")
    if isinstance(mode, dict):
        mode = mode.get(".tag", "add")
    with st.lock:
        existing = u["files"].get(path.lower())
        replacing = 0
        if existing is not None:
            if existing["folder"]:
                if not commit.get("autorename"):
                    return api_error("path/conflict/folder", {".tag": "path", "reason": {".tag": "conflict", "conflict": {".tag": "folder"}},
                                                              "path": {".tag": "conflict", "conflict": {".tag": "folder"}}})
                path = free_name(u, path)
            elif mode == "overwrite":
                replacing = existing["content"].size
            elif commit.get("autorename"):
                path = free_name(u, path)
            else:
                return api_error("path/conflict/file", {".tag": "path", "reason": {".tag": "conflict", "conflict": {".tag": "file"}},
                                                        "path": {".tag": "conflict", "conflict": {".tag": "file"}}})
        if st.dropbox_used(u) - replacing + content.size > u["allocated"]:
            return api_error("path/insufficient_space", {".tag": "path", "reason": {".tag": "insufficient_space"},
                                                         "path": {".tag": "insufficient_space"}})
        parent = posixpath.dirname(path)
        if not st.dropbox_ensure_folders(u, parent):
            return api_error("path/conflict/file", {".tag": "path", "path": {".tag": "conflict", "conflict": {".tag": "file"}}})
        # Keep the letter case of existing folders, as Dropbox does.
        pe = u["files"].get(parent.lower())
        display = ((pe["path_display"] if pe else "") + "/" + posixpath.basename(path)) if parent != "/" else path
        entry = st.dropbox_put_file(u, display, content)
        if client_modified is not None:
            entry["client_modified"] = client_modified
        return json_response(file_metadata(entry))
