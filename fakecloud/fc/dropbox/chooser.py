"""Dropbox's chooser page, the links it hands out (previews and direct links
on the download host) and the preview pages."""

import posixpath
from urllib.parse import quote

from .. import pages
from ..http import html_response
from .common import CATEGORIES, DL, IMAGE_EXT, VIDEO_EXT
from .links import link_key, lookup_link, stream_content
from .web import login_page, session_user, web_cookies


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
        return stream_content(req, entry["content"], entry["name"])
    return html_response(pages.page(entry["name"], '<p id="name">%s</p><p>%d bytes</p>'
                                    % (pages.esc(entry["name"]), entry["content"].size)))
