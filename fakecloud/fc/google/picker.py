"""The picker frame that the picker script library opens on the docs host."""

import json
from urllib.parse import urlencode

from .. import pages
from ..state import FOLDER_MIME
from .common import BRAND, icon_link, page_answer, resolve_parent



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
