"""Small helpers shared by the web pages of both services. Page scripts are
ES5 (no arrow functions, no let/const, XMLHttpRequest only) for old WebKit."""

import email.utils
import hashlib
import hmac
import html
import json
import os
import time

from .state import TOKEN_KEY, b64u, unb64u

WEB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "web")

ICON_PNG = bytes.fromhex(
    "89504e470d0a1a0a0000000d49484452000000100000001008060000001ff3ff61000000184944415478"
    "9c636048fcf79f223c6ac0a801a3060c1703006f135e1f4a89918d0000000049454e44ae426082")


def esc(text):
    return html.escape(str(text), quote=True)


def js(value):
    """A value as a script literal that is safe inside a <script> element."""
    return json.dumps(value).replace("</", "<\\/").replace("<!--", "<\\!--")


def static(name):
    with open(os.path.join(WEB, name), "rb") as f:
        return f.read()


def cookie(name, value, domain, max_age=10 * 365 * 86400, http_only=True, path="/"):
    parts = ["%s=%s" % (name, value), "Domain=%s" % domain, "Path=%s" % path]
    if max_age is not None:
        parts.append("Expires=" + email.utils.formatdate(time.time() + max_age, usegmt=True))
        parts.append("Max-Age=%d" % max_age)
    parts.append("Secure")
    if http_only:
        parts.append("HttpOnly")
    return "; ".join(parts)


def expired_cookie(name, domain, path="/"):
    return "%s=; Domain=%s; Path=%s; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0; Secure" % (name, domain, path)


def sign(text):
    body = b64u(text.encode("utf-8"))
    mac = b64u(hmac.new(TOKEN_KEY, b"web:" + body.encode(), hashlib.sha256).digest()[:15])
    return body + "." + mac


def unsign(value):
    if not value or "." not in value:
        return None
    body, _, mac = value.rpartition(".")
    want = b64u(hmac.new(TOKEN_KEY, b"web:" + body.encode(), hashlib.sha256).digest()[:15])
    if not hmac.compare_digest(want, mac):
        return None
    try:
        return unb64u(body).decode("utf-8")
    except Exception:
        return None


STYLE = """
body{font-family:sans-serif;margin:0;background:#f7f5f2;color:#1e1919}
.bar{background:%(brand)s;color:#fff;padding:10px 16px;font-weight:bold}
.main{padding:16px;max-width:640px}
input[type=text],input[type=email],input[type=password]{width:260px;padding:6px;margin:4px 0}
button{padding:7px 16px;margin:6px 6px 0 0;font-size:14px}
.primary{background:%(brand)s;color:#fff;border:1px solid %(brand)s}
.error{color:#b00020}
#fc-auto{background:#fff3bf;padding:6px 16px;font-size:13px}
.files{border-collapse:collapse;width:100%%}
.files td{padding:5px 8px;border-bottom:1px solid #ddd;cursor:pointer}
.files tr.sel td{background:#cfe5ff}
.files tr.folder td{color:#777;cursor:default}
"""


def page(title, body, brand="#0061fe", auto_note=None, auto_script=None, extra_head=""):
    auto = ""
    if auto_note is not None:
        auto = '<div id="fc-auto">%s</div>' % esc(auto_note)
    script = ""
    if auto_script:
        script = "<script>\n%s\n</script>" % auto_script
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%s</title>"
            "<style>%s</style>%s</head><body>%s<div class=\"bar\">%s</div>"
            "<div class=\"main\">%s</div>%s</body></html>\n") % (
        esc(title), STYLE % {"brand": brand}, extra_head, auto, esc(title), body, script)


def auto_submit(delay_ms, form_id, fields=None, button=None):
    """Script that fills `fields` (id -> value) of a form and submits it."""
    return (
        "(function(){\n"
        "  var fields = %s;\n"
        "  setTimeout(function(){\n"
        "    var k;\n"
        "    for (k in fields) { if (fields.hasOwnProperty(k)) { document.getElementById(k).value = fields[k]; } }\n"
        "    var b = %s;\n"
        "    if (b) { document.getElementById(b).click(); } else { document.getElementById(%s).submit(); }\n"
        "  }, %d);\n"
        "})();") % (js(fields or {}), js(button), js(form_id), int(delay_ms))
