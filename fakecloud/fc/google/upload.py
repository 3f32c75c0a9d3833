"""Drive uploads: multipart, media and resumable sessions."""

import json
import re
import secrets
from urllib.parse import quote

from ..http import Response, json_response
from ..content import Content, Upload
from ..state import FOLDER_MIME, b64u
from .common import file_answer, gerror, no_space, parse_json_body, resolve_parent



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


SESSION_LIFETIME = 7 * 86400  # a resumable session's address lasts a week


def session_uri(upload_id, fields=None):
    """The session's address; it keeps the `fields` of the request that made it, as Google's does."""
    uri = "https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable&upload_id=" + upload_id
    return uri + ("&fields=" + quote(fields, safe=",()/") if fields else "")


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
                                    "upload": Upload(st.sink, "md5"), "file": None, "created": st.now(),
                                    "fields": req.params.get("fields")}
    r = Response(200, b"")
    r.headers.set("Location", session_uri(upload_id, req.params.get("fields")))
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
        if sess is not None and (sess.get("expired") or st.now() - sess["created"] > SESSION_LIFETIME):
            del st.g_sessions[upload_id]  # gone, with what it held
            sess = None
    if sess is None or req.params.get("uploadType") != "resumable":
        return gerror(404, "Not Found", "notFound", status="NOT_FOUND")
    up = sess["upload"]
    u = st.google_user(sess["email"])
    with up.lock:
        if sess["file"] is not None:
            req.drain()
            return json_response(file_answer(req, u, sess["file"], sess["fields"]))
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
                    return complete(server, req, u, sess, total)  # every byte is here: the file is made now
                return Response(308, b"", headers=range_header(up.size))
            start = int(m.group(2))
            if int(m.group(3)) - start + 1 != (req.body_length if req.body_length is not None else -1):
                return gerror(400, "Content-Range does not match Content-Length.", "badContent")
        elif up.size:
            up.restart()  # a PUT without a range starts the data over
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
            return complete(server, req, u, sess, total)
        return Response(308, b"", headers=range_header(up.size))


def complete(server, req, u, sess, total):
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
    return json_response(file_answer(req, u, f, sess["fields"]))


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
    return json_response(file_answer(req, u, f))
