"""Google: accounts (sign-in, OAuth consent, token endpoint, log-out), the
Drive API (v2 about and folder creation, v3 search, uploads), the script host
(gapi loader with auth and picker) and the picker frame."""

import hashlib
import json
import re
import secrets
import time
from urllib.parse import quote, urlencode, urlsplit

from . import pages
from .http import Response, html_response, json_response, redirect, text_response
from .state import FOLDER_MIME, Content, Upload, iso_ms, b64u

ACCOUNTS = "accounts.google.com"
APIS = "www.googleapis.com"
SCRIPTS = "apis.google.com"
DOCS = "docs.google.com"
OAUTH2 = "oauth2.googleapis.com"
HOSTS = [ACCOUNTS, APIS, SCRIPTS, DOCS, OAUTH2]
COOKIE_DOMAIN = ".google.com"
DRIVE_SCOPE = "https://www.googleapis.com/auth/drive"
BRAND = "#1a73e8"
SESSION_COOKIES = ["SID", "HSID", "SSID", "APISID", "SAPISID"]


# ------------------------------------------------------------------ errors
def gerror(code, message, reason, domain="global", status=None, location=None, location_type=None, headers=None):
    err = {"message": message, "domain": domain, "reason": reason}
    if location:
        err["location"] = location
        err["locationType"] = location_type or "parameter"
    body = {"error": {"code": code, "message": message, "errors": [err]}}
    if status:
        body["error"]["status"] = status
    return json_response(body, code, headers)


def unauthenticated(missing=False):
    h = [("WWW-Authenticate", 'Bearer realm="https://accounts.google.com/", error="invalid_token"')]
    if missing:
        return gerror(401, "Request is missing required authentication credential. Expected OAuth 2 access token, "
                           "login cookie or other valid authentication credential.", "required",
                      status="UNAUTHENTICATED", location="Authorization", location_type="header", headers=h)
    return gerror(401, "Invalid Credentials", "authError", status="UNAUTHENTICATED",
                  location="Authorization", location_type="header", headers=h)


def no_space():
    return gerror(403, "The user's Drive storage quota has been exceeded.", "storageQuotaExceeded",
                  domain="usageLimits", status="PERMISSION_DENIED")


def error_for_status(req, status):
    if req.host in (ACCOUNTS, OAUTH2) and req.path.endswith("token"):
        if status == 400:
            return json_response({"error": "invalid_request", "error_description": "Bad Request"}, 400)
        if status == 401:
            return json_response({"error": "invalid_client", "error_description": "Unauthorized"}, 401)
    table = {400: ("Bad Request", "badRequest", "INVALID_ARGUMENT"),
             401: ("Invalid Credentials", "authError", "UNAUTHENTICATED"),
             403: ("The request is not allowed.", "forbidden", "PERMISSION_DENIED"),
             404: ("Not Found", "notFound", "NOT_FOUND"),
             429: ("Rate Limit Exceeded", "rateLimitExceeded", "RESOURCE_EXHAUSTED"),
             500: ("Internal Error", "internalError", "INTERNAL"),
             502: ("Bad Gateway", "backendError", "UNAVAILABLE"),
             503: ("Service Unavailable", "backendError", "UNAVAILABLE")}
    msg, reason, st = table.get(status, ("Error", "error", None))
    return gerror(status, msg, reason, status=st)


def fault_response(server, req, kind, fault):
    token_ep = req.host in (ACCOUNTS, OAUTH2) and req.path.endswith("token")
    if kind in ("revoked", "expired"):
        if token_ep:
            return json_response({"error": "invalid_grant", "error_description": "Token has been expired or revoked."}, 400)
        return unauthenticated()
    if kind == "no_space":
        return no_space()
    if kind == "rate_limit":
        r = gerror(429, "Rate Limit Exceeded", "rateLimitExceeded", domain="usageLimits", status="RESOURCE_EXHAUSTED")
        r.headers.set("Retry-After", str(int(fault.get("retry_after", 1))))
        return r
    return text_response("unknown fault kind %r" % kind, 500)


def handle(server, req):
    if req.host == ACCOUNTS:
        return accounts(server, req)
    if req.host == OAUTH2:
        if req.path == "/token":
            return token_endpoint(server, req)
        if req.path == "/revoke":
            return revoke_endpoint(server, req)
        return text_response("Not Found", 404)
    if req.host == APIS:
        return drive(server, req)
    if req.host == SCRIPTS:
        if req.path == "/js/api.js":
            r = Response(200, pages.static("api.js"), content_type="text/javascript; charset=utf-8")
            r.headers.set("Cache-Control", "private, max-age=300")
            return r
        return text_response("Not Found", 404)
    if req.host == DOCS:
        if req.path == "/picker":
            return picker(server, req)
        return html_response(pages.page("Google Docs", "<p>Not Found</p>", brand=BRAND), 404)
    return text_response("Not Found", 404)


# ------------------------------------------------------------------ accounts
def session_user(server, req):
    email = pages.unsign(req.cookies.get("SID"))
    if not email or not req.cookies.get("HSID"):
        return None
    return server.state.google_user(email)


def page_answer(text, status=200, cookies=()):
    r = html_response(text, status)
    r.headers.add("Set-Cookie", pages.cookie("NID", secrets.token_urlsafe(24), COOKIE_DOMAIN, max_age=183 * 86400))
    for c in cookies:
        r.headers.add("Set-Cookie", c)
    r.headers.set("Cache-Control", "no-cache, no-store, max-age=0, must-revalidate")
    return r


def auto_user(server):
    a = server.state.auto
    return server.state.google_user(a["email"]) if a["email"] else server.state.google_user()


def signin_page(server, cont, error=None):
    body = []
    if error:
        body.append('<p class="error" id="error">%s</p>' % pages.esc(error))
    body.append('<form id="signin-form" method="post" action="/ServiceLogin">'
                '<input type="hidden" name="continue" value="%s">'
                '<div>Email<br><input type="email" id="identifier" name="Email"></div>'
                '<div>Password<br><input type="password" id="password" name="Passwd"></div>'
                '<button class="primary" id="next" type="submit">Next</button></form>' % pages.esc(cont))
    note = script = None
    if server.state.auto["enabled"] and not error:
        u = auto_user(server)
        if u:
            note = "Automatic mode: signing in as %s" % u["email"]
            script = pages.auto_submit(server.state.auto["delay_ms"], "signin-form",
                                       {"identifier": u["email"], "password": u["password"]}, "next")
    return page_answer(pages.page("Sign in - Google Accounts", "".join(body), brand=BRAND,
                                  auto_note=note, auto_script=script),
                       cookies=[pages.cookie("GAPS", "1:" + secrets.token_urlsafe(20), ACCOUNTS, max_age=2 * 365 * 86400)])


def safe_continue(cont):
    if not cont:
        return "https://myaccount.google.com/"
    parts = urlsplit(cont)
    if parts.scheme == "https" and parts.hostname and parts.hostname.endswith("google.com"):
        return cont
    if not parts.scheme and cont.startswith("/"):
        return "https://accounts.google.com" + cont
    return "https://accounts.google.com/"


def loopback(uri):
    p = urlsplit(uri)
    return p.scheme == "http" and p.hostname in ("localhost", "127.0.0.1", "::1")


def accounts(server, req):
    path = req.path
    if path == "/ServiceLogin" and req.method == "POST":
        f = req.form()
        cont = safe_continue(f.get("continue"))
        u = server.state.google_user(f.get("Email", ""))
        if not u or u["password"] != f.get("Passwd"):
            return signin_page(server, cont, "Wrong password or unknown account. Try again.")
        cookies = [pages.cookie("SID", pages.sign(u["email"]), COOKIE_DOMAIN, max_age=2 * 365 * 86400, http_only=False)]
        for name in SESSION_COOKIES[1:]:
            cookies.append(pages.cookie(name, secrets.token_urlsafe(20), COOKIE_DOMAIN, max_age=2 * 365 * 86400,
                                        http_only=name in ("HSID", "SSID")))
        cookies.append(pages.cookie("LSID", "o.drive:" + secrets.token_urlsafe(24), ACCOUNTS, max_age=2 * 365 * 86400))
        r = redirect(cont)
        for c in cookies:
            r.headers.add("Set-Cookie", c)
        return r
    if path == "/ServiceLogin":
        return signin_page(server, safe_continue(req.params.get("continue")))
    if path.lower() == "/logout":
        r = page_answer(pages.page("Signed out", '<p id="signed-out">You are signed out.</p>', brand=BRAND))
        for name in SESSION_COOKIES:
            r.headers.add("Set-Cookie", pages.expired_cookie(name, COOKIE_DOMAIN))
        r.headers.add("Set-Cookie", pages.expired_cookie("LSID", ACCOUNTS))
        return r
    if path in ("/o/oauth2/auth", "/o/oauth2/v2/auth"):
        return oauth_auth(server, req)
    if path == "/o/oauth2/approval":
        return oauth_approval(server, req)
    if path == "/o/oauth2/token":
        return token_endpoint(server, req)
    if path == "/o/oauth2/revoke":
        return revoke_endpoint(server, req)
    return page_answer(pages.page("Google", "<p>Not Found</p>", brand=BRAND), 404)


AUTH_PARAMS = ["client_id", "redirect_uri", "response_type", "scope", "state", "access_type", "origin",
               "prompt", "immediate", "include_granted_scopes", "authuser"]


def oauth_params_problem(server, p):
    for name in ("client_id", "redirect_uri", "response_type", "scope"):
        if not p.get(name):
            return "invalid_request", "Missing required parameter: %s" % name
    if p["response_type"] not in ("code", "token"):
        return "unsupported_response_type", "Invalid response_type: %s" % p["response_type"]
    clients = server.state.clients["google"]
    if clients and p["client_id"] not in clients:
        return "invalid_client", "The OAuth client was not found."
    ruri = p["redirect_uri"]
    if ruri != "postmessage" and not loopback(ruri) and not ruri.startswith("https://"):
        return "redirect_uri_mismatch", "Invalid redirect: %s" % ruri
    return None


def error_page(kind, text):
    return page_answer(pages.page("Error 400: %s" % kind, '<p class="error" id="error">Error 400: %s</p><p>%s</p>'
                                  % (pages.esc(kind), pages.esc(text)), brand=BRAND), 400)


def relay_page(server, p, result):
    """redirect_uri=postmessage: hand the result to the opening page and close."""
    origin = p.get("origin") or "*"
    result = dict(result)
    if p.get("state") is not None:
        result["state"] = p["state"]
    script = ("(function(){var w = window.opener || window.parent; var msg = %s;"
              "if (w && w !== window) { w.postMessage(msg, %s); }"
              "setTimeout(function(){ if (window.opener) { window.close(); } }, 50);})();") % (
        pages.js(json.dumps(result)), pages.js(origin if origin != "null" else "*"))
    return page_answer(pages.page("Connecting...", '<p id="relay">%s</p>' % ("Signed in." if "access_token" in result else "Not signed in."),
                                  brand=BRAND, auto_script=script))


def finish_grant(server, p, u, allow):
    ruri = p["redirect_uri"]
    rtype = p["response_type"]
    scope = " ".join(p["scope"].replace(",", " ").split())
    if allow:
        with server.state.lock:
            server.state.granted.add((u["email"].lower(), p["client_id"]))
        if rtype == "token":
            token, payload = server.state.issue_token("google", "access", u["email"], p["client_id"])
            life = server.state.token_lifetime["google"]
            items = [("access_token", token), ("token_type", "Bearer"), ("expires_in", str(life or 3599)),
                     ("scope", scope)]
        else:
            code = "4/0" + secrets.token_urlsafe(40)
            with server.state.lock:
                server.state.codes[code] = {"service": "google", "email": u["email"], "client_id": p["client_id"],
                                            "redirect_uri": ruri, "scope": scope, "time": time.time()}
            items = [("code", code), ("scope", scope)]
    else:
        items = [("error", "access_denied")]
    if ruri == "postmessage":
        result = dict(items)
        result["client_id"] = p["client_id"]
        if allow and rtype == "token":
            result["issued_at"] = str(int(time.time()))
            result["expires_at"] = str(int(time.time()) + int(result["expires_in"]))
        return relay_page(server, p, result)
    if p.get("state") is not None:
        items.append(("state", p["state"]))
    if rtype == "token":
        return redirect(ruri + "#" + urlencode(items, quote_via=quote))
    return redirect(ruri + ("&" if "?" in ruri else "?") + urlencode(items, quote_via=quote, safe="/:"))


def oauth_auth(server, req):
    p = dict(req.params)
    problem = oauth_params_problem(server, p)
    if problem:
        return error_page(*problem)
    u = session_user(server, req)
    immediate = p.get("immediate") == "true"
    if immediate:
        granted = server.state.granted
        if u is None or (u["email"].lower(), p["client_id"]) not in granted:
            return relay_page(server, p, {"error": "immediate_failed", "client_id": p["client_id"]})
        return finish_grant(server, p, u, True)
    if u is None:
        return signin_page(server, req.url)
    if (u["email"].lower(), p["client_id"]) in server.state.granted and p.get("prompt") != "consent":
        # Already allowed and not revoked: Google answers at once, without asking again.
        return finish_grant(server, p, u, True)
    hidden = "".join('<input type="hidden" name="%s" value="%s">' % (pages.esc(k), pages.esc(p[k]))
                     for k in AUTH_PARAMS if k in p)
    body = ('<p id="ask"><b>%s</b> wants to access your Google Account</p>'
            '<p><span id="who">%s</span></p><p>This will allow it to see, edit, create, and delete all of your Google Drive files (%s)</p>'
            '<form id="consent" method="post" action="/o/oauth2/approval">%s'
            '<button id="deny" type="submit" name="decision" value="deny">Cancel</button>'
            '<button id="allow" class="primary" type="submit" name="decision" value="allow">Allow</button></form>') % (
        pages.esc(p["client_id"]), pages.esc(u["email"]), pages.esc(p["scope"]), hidden)
    note = script = None
    if server.state.auto["enabled"]:
        choice = "allow" if server.state.auto["consent"] != "deny" else "deny"
        note = "Automatic mode: choosing %s" % choice.capitalize()
        script = pages.auto_submit(server.state.auto["delay_ms"], "consent", {}, choice)
    return page_answer(pages.page("Sign in - Google Accounts", body, brand=BRAND, auto_note=note, auto_script=script))


def oauth_approval(server, req):
    if req.method != "POST":
        return error_page("invalid_request", "The approval must be posted.")
    p = req.form()
    problem = oauth_params_problem(server, p)
    if problem:
        return error_page(*problem)
    u = session_user(server, req)
    if u is None:
        return signin_page(server, "https://accounts.google.com/o/oauth2/auth?" +
                           urlencode([(k, p[k]) for k in AUTH_PARAMS if k in p]))
    return finish_grant(server, p, u, p.get("decision") == "allow")


def token_json(obj, status=200):
    r = json_response(obj, status)
    r.headers.set("Content-Type", "application/json; charset=utf-8")
    r.headers.set("Cache-Control", "no-cache, no-store, max-age=0, must-revalidate")
    r.headers.set("Pragma", "no-cache")
    return r


def token_endpoint(server, req):
    if req.method != "POST":
        return token_json({"error": "invalid_request", "error_description": "Method not allowed"}, 405)
    f = req.form()
    gt = f.get("grant_type")
    client_id = f.get("client_id", "")
    clients = server.state.clients["google"]
    if not client_id:
        return token_json({"error": "invalid_request", "error_description": "Could not determine client ID from request."}, 400)
    if clients is not None:
        secret = clients.get(client_id)
        if secret is None:
            return token_json({"error": "invalid_client", "error_description": "The OAuth client was not found."}, 401)
        if secret and f.get("client_secret") != secret:
            return token_json({"error": "invalid_client", "error_description": "Unauthorized"}, 401)
    if not f.get("client_secret"):
        return token_json({"error": "invalid_request", "error_description": "client_secret is missing."}, 400)
    life = server.state.token_lifetime["google"]
    if gt == "authorization_code":
        with server.state.lock:
            c = server.state.codes.pop(f.get("code", ""), None)
        if not c or c["service"] != "google" or time.time() - c["time"] > 600 or c["client_id"] != client_id:
            return token_json({"error": "invalid_grant", "error_description": "Bad Request"}, 400)
        if f.get("redirect_uri") != c["redirect_uri"]:
            return token_json({"error": "redirect_uri_mismatch", "error_description": "Bad Request"}, 400)
        access, _ = server.state.issue_token("google", "access", c["email"], client_id)
        refresh, _ = server.state.issue_token("google", "refresh", c["email"], client_id, extra={"sc": c["scope"]})
        return token_json({"access_token": access, "expires_in": life or 3599, "refresh_token": refresh,
                           "scope": c["scope"], "token_type": "Bearer"})
    if gt == "refresh_token":
        payload, problem = server.state.check_token("google", "refresh", f.get("refresh_token", ""))
        if problem or payload.get("c") != client_id:
            return token_json({"error": "invalid_grant", "error_description":
                               "Token has been expired or revoked." if problem in ("revoked", "expired") else "Bad Request"}, 400)
        access, _ = server.state.issue_token("google", "access", payload["e"], client_id)
        return token_json({"access_token": access, "expires_in": life or 3599, "scope": payload.get("sc", DRIVE_SCOPE),
                           "token_type": "Bearer"})
    return token_json({"error": "unsupported_grant_type", "error_description": "Invalid grant_type: %s" % (gt or "")}, 400)


def revoke_endpoint(server, req):
    token = req.params.get("token")
    if token is None and req.method == "POST":
        token = req.form().get("token")
    for kind in ("refresh", "access"):
        payload, problem = server.state.check_token("google", kind, token or "")
        if payload and not problem:
            with server.state.lock:
                server.state.revoked_before[("google", payload["e"].lower())] = time.time()
                server.state.granted = {g for g in server.state.granted if g[0] != payload["e"].lower()}
            return token_json({})
    return token_json({"error": "invalid_token", "error_description": "Token expired or revoked"}, 400)


# ------------------------------------------------------------------ Drive API
def api_user(server, req):
    value = req.hdr("Authorization")
    token = None
    if value is not None:
        if value.lower().startswith("bearer "):
            token = value[7:].strip()
    else:
        token = req.params.get("access_token")
        if token is None:
            return None, unauthenticated(missing=True)
    payload, problem = server.state.check_token("google", "access", token or "")
    if problem:
        return None, unauthenticated()
    return server.state.google_user(payload["e"]), None


def cacheable(req, obj):
    body = json.dumps(obj, indent=1)
    etag = '"%s"' % b64u(hashlib.sha256(body.encode()).digest()[:12])
    if req.hdr("If-None-Match") == etag:
        r = Response(304, b"")
    else:
        r = Response(200, body, content_type="application/json; charset=UTF-8")
    r.headers.set("ETag", etag)
    r.headers.set("Cache-Control", "private, max-age=0, must-revalidate, no-transform")
    r.headers.set("Vary", "Origin, X-Origin")
    return r


def resolve_parent(u, pid):
    if pid in (None, "root"):
        return u["root_id"]
    f = u["files"].get(pid)
    if f and f["mimeType"] == FOLDER_MIME and not f["trashed"]:
        return pid
    return None


def icon_link(mime):
    return "https://drive-thirdparty.googleusercontent.com/16/type/" + mime


def v3_file(u, f):
    out = {"kind": "drive#file", "id": f["id"], "name": f["name"], "mimeType": f["mimeType"],
           "parents": list(f["parents"]), "trashed": f["trashed"], "starred": False, "ownedByMe": True,
           "createdTime": iso_ms(f["created"]), "modifiedTime": iso_ms(f["created"]),
           "iconLink": icon_link(f["mimeType"]),
           "webViewLink": ("https://drive.google.com/drive/folders/%s" if f["mimeType"] == FOLDER_MIME
                           else "https://drive.google.com/file/d/%s/view?usp=drivesdk") % f["id"]}
    if f.get("content") is not None:
        out["size"] = str(f["content"].size)
        sha = f["content"].sha256
        if sha:
            out["sha256Checksum"] = sha
    return out


V3_DEFAULT = ["kind", "id", "name", "mimeType"]


def split_fields(text):
    out, depth, cur = [], 0, ""
    for ch in text:
        if ch == "," and depth == 0:
            out.append(cur.strip())
            cur = ""
            continue
        depth += ch == "("
        depth -= ch == ")"
        cur += ch
    if cur.strip():
        out.append(cur.strip())
    return out


def select(obj, fields):
    if fields is None or "*" in fields:
        return obj
    out = {}
    for f in fields:
        m = re.match(r"^([A-Za-z0-9_]+)(?:\((.*)\))?$", f)
        if not m:
            continue
        name, sub = m.group(1), m.group(2)
        if name not in obj:
            continue
        val = obj[name]
        if sub is not None:
            subf = split_fields(sub)
            if isinstance(val, list):
                val = [select(x, subf) for x in val]
            elif isinstance(val, dict):
                val = select(val, subf)
        out[name] = val
    return out


def v2_file(u, f):
    out = {"kind": "drive#file", "id": f["id"], "etag": '"%s"' % f["id"][:12],
           "selfLink": "https://www.googleapis.com/drive/v2/files/" + f["id"],
           "alternateLink": "https://drive.google.com/drive/folders/" + f["id"],
           "iconLink": icon_link(f["mimeType"]), "title": f["name"], "mimeType": f["mimeType"],
           "labels": {"starred": False, "hidden": False, "trashed": f["trashed"], "restricted": False, "viewed": True},
           "createdDate": iso_ms(f["created"]), "modifiedDate": iso_ms(f["created"]),
           "parents": [{"kind": "drive#parentReference", "id": p,
                        "selfLink": "https://www.googleapis.com/drive/v2/files/%s/parents/%s" % (f["id"], p),
                        "parentLink": "https://www.googleapis.com/drive/v2/files/" + p,
                        "isRoot": p == u["root_id"]} for p in f["parents"]],
           "ownerNames": [u["given_name"] + " " + u["surname"]], "editable": True, "copyable": True,
           "quotaBytesUsed": str(f["content"].size if f.get("content") else 0)}
    if f.get("content") is not None:
        out["fileSize"] = str(f["content"].size)
    return out


def about_v2(server, u):
    with server.state.lock:
        used = server.state.google_used(u)
    name = u["given_name"] + " " + u["surname"]
    return {"kind": "drive#about", "etag": '"%s"' % u["permission_id"][:10],
            "selfLink": "https://www.googleapis.com/drive/v2/about", "name": name,
            "user": {"kind": "drive#user", "displayName": name, "isAuthenticatedUser": True,
                     "permissionId": u["permission_id"], "emailAddress": u["email"]},
            "quotaBytesTotal": str(u["quota_total"]), "quotaBytesUsed": str(used),
            "quotaBytesUsedAggregate": str(used), "quotaBytesUsedInTrash": "0", "quotaType": "LIMITED",
            "quotaBytesByService": [{"serviceName": "DRIVE", "bytesUsed": str(used)}],
            "largestChangeId": str(1000 + len(u["files"])), "rootFolderId": u["root_id"],
            "domainSharingPolicy": "allowed", "permissionId": u["permission_id"],
            "isCurrentAppInstalled": False, "languageCode": "en", "maxUploadSizes":
                [{"type": "application/vnd.google-apps.document", "size": "10485760"}]}


class QueryError(Exception):
    pass


def parse_q(q):
    """The part of Drive's search language the clients use: terms joined by
    `and`: name/mimeType (=, !=, contains), trashed (=, !=), '<id>' in parents."""
    tests = []
    pos = 0
    n = len(q)

    def skip():
        nonlocal pos
        while pos < n and q[pos] == " ":
            pos += 1

    def string():
        nonlocal pos
        if pos >= n or q[pos] != "'":
            raise QueryError("expected a quoted value")
        pos += 1
        out = ""
        while pos < n and q[pos] != "'":
            if q[pos] == "\\" and pos + 1 < n:
                pos += 1
            out += q[pos]
            pos += 1
        if pos >= n:
            raise QueryError("unterminated string")
        pos += 1
        return out

    while True:
        skip()
        negate = False
        if q[pos:pos + 4].lower() == "not ":
            negate = True
            pos += 4
            skip()
        if pos < n and q[pos] == "'":
            value = string()
            skip()
            if q[pos:pos + 2].lower() != "in":
                raise QueryError("expected in")
            pos += 2
            skip()
            m = re.match(r"parents\b", q[pos:])
            if not m:
                raise QueryError("expected parents")
            pos += m.end()
            tests.append((negate, "parent", "in", value))
        else:
            m = re.match(r"(name|mimeType|trashed|fullText|starred)\s*(=|!=|contains)\s*", q[pos:])
            if not m:
                raise QueryError("unknown term at %d" % pos)
            pos += m.end()
            field, op = m.group(1), m.group(2)
            if field in ("trashed", "starred"):
                m2 = re.match(r"(true|false)\b", q[pos:])
                if not m2 or op == "contains":
                    raise QueryError("expected true or false")
                pos += m2.end()
                tests.append((negate, field, op, m2.group(1) == "true"))
            else:
                tests.append((negate, field, op, string()))
        skip()
        if pos >= n:
            return tests
        if q[pos:pos + 4].lower() != "and ":
            raise QueryError("only 'and' joins are understood")
        pos += 4


def matches(u, f, tests):
    for negate, field, op, value in tests:
        if field == "parent":
            pid = u["root_id"] if value == "root" else value
            ok = pid in f["parents"]
        elif field in ("trashed", "starred"):
            have = f["trashed"] if field == "trashed" else False
            ok = (have == value) if op == "=" else (have != value)
        else:
            have = f["name"] if field in ("name", "fullText") else f["mimeType"]
            if op == "=":
                ok = have == value
            elif op == "!=":
                ok = have != value
            else:
                ok = value.lower() in have.lower()
        if negate:
            ok = not ok
        if not ok:
            return False
    return True


def invalid_q():
    return gerror(400, "Invalid Value", "invalid", status="INVALID_ARGUMENT", location="q", location_type="parameter")


def parse_json_body(req):
    body = req.read_body()
    if not body.strip():
        return {}, None
    try:
        obj = json.loads(body)
    except ValueError:
        return None, gerror(400, "Parse Error", "parseError", status="INVALID_ARGUMENT")
    if not isinstance(obj, dict):
        return None, gerror(400, "Parse Error", "parseError", status="INVALID_ARGUMENT")
    return obj, None


def drive(server, req):
    path = req.path
    st = server.state
    if path.startswith("/upload/drive/v3/files") and req.method == "PUT":
        return resumable_put(server, req)
    u, err = api_user(server, req)
    if err:
        return err
    if path == "/drive/v2/about" and req.method == "GET":
        return cacheable(req, about_v2(server, u))
    if path == "/drive/v3/about" and req.method == "GET":
        if not req.params.get("fields"):
            return gerror(400, "The 'fields' parameter is required for this method.", "required",
                          status="INVALID_ARGUMENT", location="fields")
        a = about_v2(server, u)
        full = {"kind": "drive#about",
                "user": {"kind": "drive#user", "displayName": a["user"]["displayName"], "me": True,
                         "permissionId": u["permission_id"], "emailAddress": u["email"]},
                "storageQuota": {"limit": a["quotaBytesTotal"], "usage": a["quotaBytesUsed"],
                                 "usageInDrive": a["quotaBytesUsed"], "usageInDriveTrash": "0"}}
        return cacheable(req, select(full, split_fields(req.params["fields"])))
    if path == "/drive/v3/files" and req.method == "GET":
        q = req.params.get("q", "")
        try:
            tests = parse_q(q) if q.strip() else []
        except QueryError:
            return invalid_q()
        with st.lock:
            found = [f for f in u["files"].values() if f["id"] != u["root_id"] and matches(u, f, tests)]
            order = req.params.get("orderBy", "")
            keys = [k.strip() for k in order.split(",") if k.strip()]
            found.sort(key=lambda f: f["name"].lower())
            for k in reversed(keys):
                desc = k.endswith(" desc")
                k = k.split()[0]
                if k == "folder":
                    found.sort(key=lambda f: f["mimeType"] != FOLDER_MIME, reverse=desc)
                elif k in ("name", "name_natural"):
                    found.sort(key=lambda f: f["name"].lower(), reverse=desc)
                elif k in ("createdTime", "modifiedTime", "recency"):
                    found.sort(key=lambda f: f["created"], reverse=desc)
            files = [v3_file(u, f) for f in found]
        fields = req.params.get("fields")
        listing = {"kind": "drive#fileList", "incompleteSearch": False, "files": files}
        if fields:
            listing = select(listing, split_fields(fields))
        else:
            listing["files"] = [select(f, V3_DEFAULT) for f in files]
        return cacheable(req, listing)
    m = re.match(r"^/drive/v3/files/([^/]+)$", path)
    if m and req.method == "GET":
        with st.lock:
            f = u["files"].get(m.group(1))
        if f is None or f["id"] == u["root_id"] and m.group(1) != "root":
            return gerror(404, "File not found: %s." % m.group(1), "notFound", status="NOT_FOUND",
                          location="fileId", location_type="parameter")
        if req.params.get("alt") == "media":
            c = f.get("content")
            if c is None or not c.available():
                return gerror(403, "Only files with binary content can be downloaded.", "fileNotDownloadable",
                              status="PERMISSION_DENIED")
            return Response(200, stream=c.blocks(), length=c.size, content_type=f["mimeType"])
        fields = req.params.get("fields")
        meta = v3_file(u, f)
        return cacheable(req, select(meta, split_fields(fields)) if fields else select(meta, V3_DEFAULT))
    if path == "/drive/v2/files" and req.method == "POST":
        meta, err = parse_json_body(req)
        if err:
            return err
        parents = meta.get("parents") or [{"id": "root"}]
        pid = resolve_parent(u, parents[0].get("id") if isinstance(parents[0], dict) else None)
        if pid is None:
            return gerror(404, "File not found: %s" % parents[0].get("id"), "notFound", status="NOT_FOUND",
                          location="file", location_type="other")
        title = meta.get("title") or "Untitled"
        mime = meta.get("mimeType") or "application/octet-stream"
        if mime == FOLDER_MIME:
            f = st.google_make_folder(u, title, pid)
        else:
            f = st.google_put_file(u, title, mime, pid, Content.of_bytes(b""))
        return json_response(v2_file(u, f))
    if path == "/drive/v3/files" and req.method == "POST":
        meta, err = parse_json_body(req)
        if err:
            return err
        return create_v3(server, req, u, meta, None)
    if path == "/upload/drive/v3/files" and req.method == "POST":
        kind = req.params.get("uploadType")
        if kind == "resumable":
            return resumable_start(server, req, u)
        if kind == "multipart":
            return multipart(server, req, u)
        if kind == "media":
            up = Upload(server.state.sink)
            for view in req.iter_body():
                up.add(view, hash_it=False)
            up.take_over(req.hasher)
            return create_v3(server, req, u, {"mimeType": req.hdr("Content-Type")}, up.content())
        return gerror(400, "Invalid Value", "invalid", status="INVALID_ARGUMENT", location="uploadType")
    return gerror(404, "Not Found", "notFound", status="NOT_FOUND")


def create_v3(server, req, u, meta, content):
    st = server.state
    parents = meta.get("parents") or ["root"]
    pid = resolve_parent(u, parents[0])
    if pid is None:
        return gerror(404, "File not found: %s." % parents[0], "notFound", status="NOT_FOUND",
                      location="fileId", location_type="parameter")
    name = meta.get("name") or "Untitled"
    mime = meta.get("mimeType") or "application/octet-stream"
    with st.lock:
        if content is not None and st.google_used(u) + content.size > u["quota_total"]:
            return no_space()
        if mime == FOLDER_MIME:
            f = st.google_make_folder(u, name, pid)
        else:
            f = st.google_put_file(u, name, mime, pid, content if content is not None else Content.of_bytes(b""))
    fields = req.params.get("fields")
    v = v3_file(u, f)
    return json_response(select(v, split_fields(fields)) if fields else select(v, V3_DEFAULT))


def multipart(server, req, u):
    ctype = req.hdr("Content-Type") or ""
    m = re.search(r'boundary="?([^";]+)"?', ctype)
    if not m:
        return gerror(400, "Bad Request", "badRequest")
    body = req.read_body(limit=256 << 20)
    delim = b"--" + m.group(1).encode()
    parts = [p for p in body.split(delim) if p.strip() not in (b"", b"--")]
    if len(parts) < 2:
        return gerror(400, "Bad Request", "badRequest")

    def split(part):
        part = part[2:] if part.startswith(b"\r\n") else part
        head, _, data = part.partition(b"\r\n\r\n")
        if data.endswith(b"\r\n"):
            data = data[:-2]
        return head, data
    _, meta_raw = split(parts[0])
    head, data = split(parts[1])
    try:
        meta = json.loads(meta_raw or b"{}")
    except ValueError:
        return gerror(400, "Parse Error", "parseError")
    if "mimeType" not in meta:
        mm = re.search(rb"(?im)^content-type:\s*([^\r\n]+)", head)
        if mm:
            meta["mimeType"] = mm.group(1).decode().strip()
    return create_v3(server, req, u, meta, Content.of_bytes(data))


def session_uri(upload_id):
    return "https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable&upload_id=" + upload_id


def resumable_start(server, req, u):
    meta, err = parse_json_body(req)
    if err:
        return err
    st = server.state
    declared = req.hdr("X-Upload-Content-Length")
    total = None
    if declared is not None:
        try:
            total = int(declared)
        except ValueError:
            return gerror(400, "Invalid X-Upload-Content-Length", "badRequest")
    parents = meta.get("parents") or ["root"]
    if resolve_parent(u, parents[0]) is None:
        return gerror(404, "File not found: %s." % parents[0], "notFound", status="NOT_FOUND",
                      location="fileId", location_type="parameter")
    with st.lock:
        if total is not None and st.google_used(u) + total > u["quota_total"]:
            return no_space()
        upload_id = "ADPycd" + b64u(secrets.token_bytes(45)).replace("-", "x").replace("_", "y")
        st.g_sessions[upload_id] = {"email": u["email"], "meta": meta, "total": total,
                                    "mime": meta.get("mimeType") or req.hdr("X-Upload-Content-Type"),
                                    "upload": Upload(st.sink), "file": None, "created": time.time()}
    r = Response(200, b"")
    r.headers.set("Location", session_uri(upload_id))
    r.headers.set("X-GUploader-UploadID", upload_id)
    r.headers.set("Content-Type", "text/plain; charset=utf-8")
    return r


def range_header(n):
    return [("Range", "bytes=0-%d" % (n - 1))] if n else []


def resumable_put(server, req):
    st = server.state
    upload_id = req.params.get("upload_id", "")
    with st.lock:
        sess = st.g_sessions.get(upload_id)
    if sess is None or req.params.get("uploadType") != "resumable":
        return gerror(404, "Not Found", "notFound", status="NOT_FOUND")
    up = sess["upload"]
    u = st.google_user(sess["email"])
    with up.lock:
        if sess["file"] is not None:
            req.drain()
            return json_response(select(v3_file(u, sess["file"]), V3_DEFAULT))
        cr = req.hdr("Content-Range")
        start = 0
        total = sess["total"]
        if cr:
            m = re.match(r"^bytes (\*|(\d+)-(\d+))/(\*|\d+)$", cr.strip())
            if not m:
                return gerror(400, "Failed to parse Content-Range header.", "badContent")
            if m.group(4) != "*":
                total = int(m.group(4))
            if m.group(1) == "*":
                req.drain()
                if total is not None and up.size == total:
                    return complete(server, u, sess, total)  # every byte is here: the file is made now
                return Response(308, b"", headers=range_header(up.size))
            start = int(m.group(2))
            if int(m.group(3)) - start + 1 != (req.body_length if req.body_length is not None else -1):
                return gerror(400, "Content-Range does not match Content-Length.", "badContent")
        elif up.size:
            up.__init__(up.sink)  # a PUT without a range starts the data over
        if start > up.size:
            return gerror(400, "Content-Range starts after the data received so far.", "badContent")
        skip = up.size - start
        hash_direct = up.size == 0
        for view in req.iter_body():
            if skip:
                k = min(skip, len(view))
                view = view[k:]
                skip -= k
            if len(view):
                up.add(view, hash_it=not hash_direct)
        if hash_direct:
            up.take_over(req.hasher)
        if not req.body_done:
            return Response(400, b"")
        if total is None and not cr:
            total = up.size
        if total is not None and up.size > total:
            return gerror(400, "Received more bytes than the upload's declared length.", "badContent")
        if total is not None and up.size == total:
            return complete(server, u, sess, total)
        return Response(308, b"", headers=range_header(up.size))


def complete(server, u, sess, total):
    st = server.state
    meta = sess["meta"]
    if sess["total"] is not None and total != sess["total"]:
        return gerror(400, "The upload's length does not match X-Upload-Content-Length.", "badContent")
    parents = meta.get("parents") or ["root"]
    pid = resolve_parent(u, parents[0])
    if pid is None:
        return gerror(404, "File not found: %s." % parents[0], "notFound", status="NOT_FOUND")
    content = sess["upload"].content()
    with st.lock:
        if st.google_used(u) + content.size > u["quota_total"]:
            return no_space()
        f = st.google_put_file(u, meta.get("name") or "Untitled", sess["mime"] or "application/octet-stream", pid, content)
        sess["file"] = f
    return json_response(select(v3_file(u, f), V3_DEFAULT))


# ------------------------------------------------------------------ picker frame
def picker(server, req):
    p = req.params
    payload, problem = server.state.check_token("google", "access", p.get("oauth_token", ""))
    origin = p.get("origin") or "*"
    if problem:
        body = '<p class="error" id="error">The picker could not sign in (%s token).</p>' % problem
        return page_answer(pages.page("Google Picker", body, brand=BRAND), 401)
    u = server.state.google_user(payload["e"])
    try:
        views = json.loads(p.get("views") or "[]")
    except ValueError:
        views = []
    view = views[0] if views else {}
    mimes = [m.strip() for m in str(view.get("mimeTypes") or "").split(",") if m.strip()]
    include_folders = bool(view.get("includeFolders"))
    folders_selectable = bool(view.get("selectFolderEnabled"))
    parent = resolve_parent(u, p.get("parent") or view.get("parent") or "root") or u["root_id"]
    multi = p.get("multiselect") == "true"

    def doc(f):
        c = f.get("content")
        kind = f["mimeType"].split("/")[0] if f["mimeType"] != FOLDER_MIME else "folder"
        d = {"id": f["id"], "serviceId": "docs", "mimeType": f["mimeType"], "name": f["name"],
             "description": "", "type": {"video": "video", "image": "photo", "audio": "audio"}.get(kind, "file")
             if kind != "folder" else "folder",
             "lastEditedUtc": int(f["created"] * 1000), "iconUrl": icon_link(f["mimeType"]),
             "url": "https://drive.google.com/file/d/%s/view?usp=drive_web" % f["id"],
             "embedUrl": "https://drive.google.com/file/d/%s/preview?usp=drive_web" % f["id"],
             "sizeBytes": c.size if c is not None else 0, "parentId": f["parents"][0] if f["parents"] else "",
             "isShared": False}
        return d

    with server.state.lock:
        here = [f for f in u["files"].values() if parent in f["parents"] and not f["trashed"]]
        here.sort(key=lambda f: (f["mimeType"] != FOLDER_MIME, f["name"].lower()))
        shown = []
        for f in here:
            if f["mimeType"] == FOLDER_MIME:
                if include_folders:
                    shown.append((f, folders_selectable))
            elif not mimes or f["mimeType"] in mimes:
                shown.append((f, True))
        everything = []  # for automatic picking: any allowed file anywhere
        for f in sorted(u["files"].values(), key=lambda f: f["name"].lower()):
            if f["mimeType"] != FOLDER_MIME and not f["trashed"] and (not mimes or f["mimeType"] in mimes):
                everything.append(doc(f))
    rows = []
    docs = []
    for i, (f, selectable) in enumerate(shown):
        docs.append(doc(f))
        if f["mimeType"] == FOLDER_MIME:
            q = dict(p)
            q["parent"] = f["id"]
            rows.append('<tr class="folder" id="doc-%d"><td><a href="/picker?%s">%s/</a></td><td>folder</td></tr>'
                        % (i, pages.esc(urlencode(q)), pages.esc(f["name"])))
        else:
            rows.append('<tr id="doc-%d" onclick="fcToggle(%d)"><td>%s</td><td>%s</td></tr>'
                        % (i, i, pages.esc(f["name"]), pages.esc(f["mimeType"])))
    title = p.get("title") or "Select a file"
    body = ('<p>%s</p><table class="files" id="files">%s</table>%s'
            '<div><button id="cancel" onclick="fcCancel()">Cancel</button>'
            '<button id="select" class="primary" onclick="fcSelect()" disabled>Select</button></div>') % (
        pages.esc(u["email"]), "".join(rows), "" if rows else '<p id="empty">No files here.</p>')
    a = server.state.auto
    note = None
    auto_js = "null"
    if a["enabled"]:
        if a["chooser"] == "cancel":
            note = "Automatic mode: cancelling"
            auto_js = pages.js({"action": "cancel"})
        else:
            note = "Automatic mode: picking %s" % (a["google_pick"] or "the first file")
            auto_js = pages.js({"action": "pick", "name": a["google_pick"]})
    script = (pages.static("picker.js").decode("utf-8")
              .replace("/*DOCS*/null", pages.js(docs))
              .replace("/*ALL*/null", pages.js(everything))
              .replace("/*MULTI*/false", "true" if multi else "false")
              .replace("/*ORIGIN*/''", pages.js(origin))
              .replace("/*AUTO*/null", auto_js)
              .replace("/*DELAY*/0", str(int(a["delay_ms"]))))
    return page_answer(pages.page(title, body, brand=BRAND, auto_note=note, auto_script=script))
