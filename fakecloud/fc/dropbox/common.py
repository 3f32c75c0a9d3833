"""Dropbox: what every part of the service shares: host names, error
answers, the bearer token, argument parsing and file metadata."""

import json
import posixpath

from ..http import json_response, text_response
from ..state import iso



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


def api_error(summary, error, status=409, headers=None):
    return json_response({"error_summary": summary + "/...", "error": error}, status, headers)


def bad_input(endpoint, text):
    return text_response('Error in call to API function "%s": %s' % (endpoint, text), 400)


def endpoint_name(path):
    return path[3:] if path.startswith("/2/") else path.lstrip("/")


def bearer(server, req):
    """(user, None) or (None, response)."""
    ep = endpoint_name(req.path)
    if server.state.live and ("authorization" in req.params or "access_token" in req.params):
        return None, bad_input(ep, 'Access tokens in the URL are not accepted; send them in the HTTP header "Authorization".')
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
    h = c.digest("content_hash")
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


def free_name(u, path):
    base, ext = posixpath.splitext(path)
    n = 1
    while True:
        cand = "%s (%d)%s" % (base, n, ext)
        if cand.lower() not in u["files"]:
            return cand
        n += 1
