"""The Drive API: about, file metadata, downloads, folder and file
creation; the search is in listing.py, uploads in upload.py."""

import re

from ..content import Content, Upload
from ..http import json_response
from ..ranges import download
from ..state import FOLDER_MIME, iso_ms
from .common import (api_user, cacheable, file_answer, gerror, icon_link, parse_json_body, resolve_parent, select,
                     split_fields, unauthenticated)
from .listing import files_list
from .upload import create_v3, multipart, resumable_put, resumable_start


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
        return files_list(server, req, u)
    m = re.match(r"^/drive/v3/files/([^/]+)$", path)
    if m and req.method == "GET":
        with st.lock:  # "root" names the top folder, as its own id does ("My Drive", no parents)
            f = u["files"].get(u["root_id"] if m.group(1) == "root" else m.group(1))
        if f is None:
            return gerror(404, "File not found: %s." % m.group(1), "notFound", status="NOT_FOUND",
                          location="fileId", location_type="parameter")
        if req.params.get("alt") == "media":
            if req.hdr("Authorization") is None:  # downloads take no token in the address (since 2020)
                return unauthenticated(missing=True)
            c = f.get("content")
            if c is None or not c.available():
                return gerror(403, "Only files with binary content can be downloaded.", "fileNotDownloadable",
                              status="PERMISSION_DENIED")
            return download(req, c, f["mimeType"])
        return cacheable(req, file_answer(req, u, f))
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
            up = Upload(server.state.sink, "md5")
            for view in req.iter_body():
                up.add(view, hash_it=False)
            up.take_over(req.hasher)
            return create_v3(server, req, u, {"mimeType": req.hdr("Content-Type")}, up.content())
        return gerror(400, "Invalid Value", "invalid", status="INVALID_ARGUMENT", location="uploadType")
    return gerror(404, "Not Found", "notFound", status="NOT_FOUND")
