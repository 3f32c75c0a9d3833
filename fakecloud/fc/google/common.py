"""Google: what the accounts host, Drive and the picker share: host names,
error answers, page answers, the bearer token and file descriptions."""

import hashlib
import json
import re
import secrets

from .. import pages
from ..http import Response, html_response, json_response
from ..state import FOLDER_MIME, b64u, iso_ms



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


def page_answer(text, status=200, cookies=()):
    r = html_response(text, status)
    r.headers.add("Set-Cookie", pages.cookie("NID", secrets.token_urlsafe(24), COOKIE_DOMAIN, max_age=183 * 86400))
    for c in cookies:
        r.headers.add("Set-Cookie", c)
    r.headers.set("Cache-Control", "no-cache, no-store, max-age=0, must-revalidate")
    return r


def api_user(server, req):
    if server.state.live and "access_token" in req.params:
        # Drive takes no token in an address since 2020: refused, never used.
        return None, unauthenticated(missing=True)
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


def v3_file(u, f, want=("*",)):
    """A file's v3 description; its checksums (costly for a large file not
    hashed yet) only when `want` names them or holds "*"."""
    out = {"kind": "drive#file", "id": f["id"], "name": f["name"], "mimeType": f["mimeType"],
           "parents": list(f["parents"]), "trashed": f["trashed"], "starred": False, "ownedByMe": True,
           "createdTime": iso_ms(f["created"]), "modifiedTime": iso_ms(f["created"]),
           "iconLink": icon_link(f["mimeType"]),
           "webViewLink": ("https://drive.google.com/drive/folders/%s" if f["mimeType"] == FOLDER_MIME
                           else "https://drive.google.com/file/d/%s/view?usp=drivesdk") % f["id"]}
    if f.get("content") is not None:
        out["size"] = str(f["content"].size)
        for field, digest in (("md5Checksum", "md5"), ("sha256Checksum", "sha256")):
            value = f["content"].digest(digest) if field in want or "*" in want else None
            if value:
                out[field] = value
    return out


V3_DEFAULT = ["kind", "id", "name", "mimeType"]


def wanted(fields, within=None):
    """The names a field selection asks for at its top (or inside `within(…)`); "*" stands for all."""
    names = set()
    for f in fields:
        name, _, sub = f.partition("(")
        if within is None:
            names.add(name.strip())
        elif name.strip() == within:
            names |= {x.partition("(")[0].strip() for x in split_fields(sub[:-1])} if sub else {"*"}
        elif name.strip() == "*":
            names.add("*")
    return names


def file_answer(req, u, f, fields=None):
    """One file, with the fields the request asks for (else the default four)."""
    fields = fields or req.params.get("fields")
    chosen = split_fields(fields) if fields else V3_DEFAULT
    return select(v3_file(u, f, wanted(chosen)), chosen)


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
