"""Dropbox's download host: the chooser's direct links, temporary links
(valid 4 hours by the stand-in's clock), thumbnails; downloads stream and
answer byte ranges."""

import json
import time

from .. import pages
from ..http import Response, text_response
from ..ranges import download
from .common import DL

TEMPORARY_LIFETIME = 4 * 3600


def link_key(email, path):
    return pages.sign(json.dumps([email, path, int(time.time())]))


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


def stream_content(req, content, name, extra_headers=None):
    if not content.available():
        return text_response("the bytes of this file were not kept (only its size and hash)", 410)
    headers = {"Content-Disposition": "attachment; filename=\"%s\"" % name.replace('"', "")}
    headers.update(extra_headers or {})
    return download(req, content, headers=headers)


def temporary_link(st, u, entry):
    key = pages.sign(json.dumps(["tl", u["email"], entry["path_display"].lower(), st.now()]))
    return "https://%s/apitl/1/%s" % (DL, key)


def temporary(server, key):
    """The file a temporary link names while it is valid, else the answer."""
    try:
        tag, email, path, issued = json.loads(pages.unsign(key) or "null")
    except (TypeError, ValueError):
        return None, text_response("Not Found", 404)
    if tag != "tl":
        return None, text_response("Not Found", 404)
    if server.state.now() - issued > TEMPORARY_LIFETIME:
        return None, text_response("Gone", 410)
    entry = lookup_link(server, json.dumps([email, path, 0]))
    return entry, None if entry else text_response("Not Found", 404)


def dl(server, req):
    if req.path.startswith("/1/view/"):
        rest = req.path[len("/1/view/"):]
        key = rest.split("/", 1)[0]
        entry = lookup_link(server, pages.unsign(key))
        if entry is None:
            return text_response("Not Found", 404)
        return stream_content(req, entry["content"], entry["name"])
    if req.path.startswith("/apitl/1/"):
        entry, refused = temporary(server, req.path[len("/apitl/1/"):])
        return refused or stream_content(req, entry["content"], entry["name"])
    if req.path.startswith("/thumb/"):
        entry = lookup_link(server, pages.unsign(req.path[7:]))
        if entry is None:
            return text_response("Not Found", 404)
        return Response(200, pages.ICON_PNG, content_type="image/png")
    return text_response("Not Found", 404)
