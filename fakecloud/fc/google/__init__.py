"""Google: accounts (sign-in, OAuth consent, token endpoint, log-out), the
Drive API (v2 about and folder creation, v3 search, uploads), the script host
(gapi loader with auth and picker) and the picker frame."""

from .. import pages
from ..http import Response, html_response, json_response, text_response
from .accounts import accounts
from .common import ACCOUNTS, APIS, BRAND, DOCS, HOSTS, OAUTH2, SCRIPTS, gerror, no_space, unauthenticated  # noqa: F401
from .drive import drive
from .picker import picker
from .tokens import revoke_endpoint, token_endpoint



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
            script = pages.static("api.js")
            if server.state.live:
                script = script.replace(b"/*AUTH_RETIRED*/false", b"true")
            r = Response(200, script, content_type="text/javascript; charset=utf-8")
            r.headers.set("Cache-Control", "private, max-age=300")
            return r
        return text_response("Not Found", 404)
    if req.host == DOCS:
        if req.path == "/picker":
            return picker(server, req)
        return html_response(pages.page("Google Docs", "<p>Not Found</p>", brand=BRAND), 404)
    return text_response("Not Found", 404)
