"""Dropbox: the web site (sign-in, OAuth consent, chooser, log-out, the
chooser script library), API v2 on the API host, uploads and downloads on the
content host, direct links."""

from .. import pages
from ..http import Response, html_response, redirect, text_response
from .api import api
from .chooser import chooser, file_links, shared_link  # noqa: F401 (the control API hands out links)
from .links import dl
from .listing import ENDPOINTS
from .common import API, CONTENT, DL, HOSTS, WEB, api_error, bad_input, endpoint_name  # noqa: F401
from .content import content
from .authorize import authorize
from .web import GOOGLE_CALLBACK_PATH, site


def too_many(req, after):
    """429: reading calls (listing, search, links) are limited per token, writes by the namespace's lock."""
    reason = "too_many_requests" if req.path in ENDPOINTS else "too_many_write_operations"
    r = api_error(reason, {"reason": {".tag": reason}, "retry_after": after}, 429)
    r.headers.set("Retry-After", str(after))
    return r


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
        return too_many(req, 1)
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
        return too_many(req, int(fault.get("retry_after", 1)))
    return text_response("unknown fault kind %r" % kind, 500)


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


def web(server, req):
    path = req.path
    if path in ("/", "/home", "/login", "/logout", GOOGLE_CALLBACK_PATH):
        return site(server, req)
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
