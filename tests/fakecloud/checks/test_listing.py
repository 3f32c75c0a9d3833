"""Listing, search and links that stream: Dropbox list_folder and search_v2 with cursors, temporary links, Drive
files.list with page tokens and fields, byte ranges, many generated files, faults on these paths."""

import hashlib, json, time, urllib.parse
from .support import StandInCase, dig

LIST, MORE, SEARCH, SEARCH_MORE, LINK = ("/2/files/" + p for p in ("list_folder", "list_folder/continue", "search_v2",
                                                                   "search/continue_v2", "get_temporary_link"))
ENTRY_KEYS = {".tag", "name", "path_lower", "path_display", "id", "size", "client_modified", "server_modified", "rev",
              "content_hash", "is_downloadable"}


def pattern(seed, start, end):
    """The bytes the stand-in generates for a file made with only a size."""
    block = hashlib.sha256(seed.encode()).digest() * 128
    return (block * (end // 4096 + 1))[start:end]


class Listing(StandInCase):
    def setUp(self):
        super().setUp()
        for svc, folder in [("dropbox", "/Many"), ("google", "Many")]:
            self.ctl("POST", "/files/generate", {"service": svc, "folder": folder, "count": 2500, "size": 1000, "prefix": "clip", "ext": ".mp4"})
        self.ctl("POST", "/files", {"service": "dropbox", "path": "/Many/Deeper/inner clip.mp4", "content": "x"})

    def call(self, path, args):
        r = self.db(path, self.tok, args)
        return r.status, json.loads(r.body) if r.getheader("Content-Type") == "application/json" else r.body.decode()

    def drive_list(self, **params):
        r = self.drive("GET", "/drive/v3/files?" + urllib.parse.urlencode(params), self.gtok)
        return r.status, json.loads(r.body)

    def test_dropbox_pages(self):
        for args, sizes, first in [  # the pages' sizes, and the first entry's name
                ({"path": "/Many"}, [2000, 501], "clip 00001.mp4"), ({"path": "/many", "limit": 1000}, [1000, 1000, 501], "clip 00001.mp4"),
                ({"path": "/Many/Deeper", "recursive": True}, [1], "inner clip.mp4"),
                ({"path": "/Many", "recursive": True, "limit": 2000}, [2000, 502], "clip 00001.mp4"),
                ({"path": "", "limit": 3}, [3, 1], "Documents")]:
            with self.subTest(args=args):
                status, page = self.call(LIST, args)
                got, names = [], []
                while status == 200:
                    got.append(len(page["entries"]))
                    names += [e["name"] for e in page["entries"]]
                    if not page["has_more"]:
                        break
                    status, page = self.call(MORE, {"cursor": page["cursor"]})
                self.assertEqual((status, got, names[0], len(set(names))), (200, sizes, first, sum(sizes)))
        entry = self.call(LIST, {"path": "/Many", "limit": 1})[1]["entries"][0]
        self.assertEqual((set(entry), entry["size"], entry[".tag"]), (ENTRY_KEYS, 1000, "file"))

    def test_dropbox_refusals(self):
        status, page = self.call(LIST, {"path": "/Many", "limit": 10})
        self.ctl("POST", "/cursors/reset", {"service": "dropbox"})
        for path, args, status, want in [
                (MORE, {"cursor": page["cursor"]}, 409, ("error_summary", "reset/...")), (MORE, {"cursor": "nonsense"}, 400, 'Invalid "cursor"'),
                (LIST, {"path": "/Many", "limit": 0}, 400, "limit: 0 is not within"), (LIST, {"path": "/Many", "limit": 2001}, 400, "limit: 2001"),
                (LIST, {"path": "/Nowhere"}, 409, ("error_summary", "path/not_found/...")),
                (LIST, {"path": "/holiday.mov"}, 409, ("error_summary", "path/not_folder/...")),
                (SEARCH, {"query": ""}, 400, "query"), (LINK, {"path": "/Many"}, 409, ("error_summary", "path/not_file/..."))]:
            with self.subTest(path=path, args=args):
                got, body = self.call(path, args)
                self.assertEqual(got, status, body)
                self.assertIn(want, body) if isinstance(want, str) else self.assertEqual(dig(body, want[0]), want[1])

    def test_dropbox_search(self):
        for args, pages, first in [({"query": "clip 0001"}, [11], "/many/clip 00001.mp4"),
                                   ({"query": "CLIP", "options": {"path": "/Many/Deeper"}}, [1], "/many/deeper/inner clip.mp4"),
                                   ({"query": "clip 024", "options": {"max_results": 40}}, [40, 40, 33], "/many/clip 00024.mp4")]:
            with self.subTest(args=args):
                status, page = self.call(SEARCH, args)
                got = [len(page["matches"])]
                found = page["matches"][0]["metadata"]["metadata"]["path_lower"]
                while page["has_more"]:
                    page = self.call(SEARCH_MORE, {"cursor": page["cursor"]})[1]
                    got.append(len(page["matches"]))
                self.assertEqual((status, got, found), (200, pages, first))

    def test_links_stream_by_range(self):
        status, answer = self.call(LINK, {"path": "/holiday.mov"})
        meta = self.stored("google", "name")["holiday.mov"]
        drive = "https://www.googleapis.com/drive/v3/files/%s?alt=media" % meta["id"]
        direct = self.ctl("GET", "/links?path=/Videos/clip.mkv")["link"]
        for url, seed, size, auth, header, status, content_range in [
                (answer["link"], "/holiday.mov", 3 << 20, {}, "bytes=10-19", 206, "bytes 10-19/3145728"),
                (answer["link"], "/holiday.mov", 3 << 20, {}, "bytes=3145720-", 206, "bytes 3145720-3145727/3145728"),
                (answer["link"], "/holiday.mov", 3 << 20, {}, "bytes=3145728-", 416, "bytes */3145728"),
                (direct, "/Videos/clip.mkv", 2 << 20, {}, "bytes=-5", 206, "bytes 2097147-2097151/2097152"),
                (drive, "holiday.mov", 3 << 20, {"Authorization": "Bearer " + self.gtok}, "bytes=4096-4100", 206, "bytes 4096-4100/3145728"),
                (drive, "holiday.mov", 3 << 20, {"Authorization": "Bearer " + self.gtok}, None, 200, None),
                (drive, "holiday.mov", 3 << 20, {}, "bytes=0-1", 401, None)]:
            with self.subTest(url=url, header=header):
                r = self.https("GET", url, headers=dict(auth, **({"Range": header} if header else {})))
                self.assertEqual((r.status, r.getheader("Content-Range")), (status, content_range), r.body[:200])
                if status in (200, 206):
                    start, end = (0, size) if status == 200 else map(int, content_range.split()[1].split("/")[0].split("-"))
                    self.assertEqual((r.body, r.getheader("Accept-Ranges")), (pattern(seed, start, end + (status == 206)), "bytes"))
        self.ctl("POST", "/clock", {"advance": 4 * 3600 - 5})
        self.assertEqual(self.https("GET", answer["link"], headers={"Range": "bytes=0-0"}).status, 206, "valid for 4 hours")
        self.ctl("POST", "/clock", {"advance": 10})
        self.assertEqual(self.https("GET", answer["link"]).status, 410)

    def test_drive_pages_and_fields(self):
        many = self.stored("google", "name")["Many"]["id"]
        inside = "'%s' in parents and trashed = false" % many
        for params, sizes, keys, first in [  # the pages' sizes, the keys of the answer and of an entry, the first name
                ({"q": inside}, [100] * 25, ({"kind", "nextPageToken", "incompleteSearch", "files"}, {"kind", "id", "name", "mimeType"}), "clip 00001.mp4"),
                ({"q": inside, "pageSize": 1000, "fields": "nextPageToken,files(id,name,size,md5Checksum,modifiedTime,parents,mimeType)"},
                 [1000, 1000, 500], ({"nextPageToken", "files"}, {"id", "name", "size", "md5Checksum", "modifiedTime", "parents", "mimeType"}), "clip 00001.mp4"),
                ({"q": inside + " and name contains '0250'", "fields": "files(name)"}, [2], ({"files"}, {"name"}), "clip 00250.mp4"),
                ({"q": "mimeType = 'video/quicktime'", "orderBy": "name desc", "fields": "files(id)"}, [1], ({"files"}, {"id"}), None),
                ({"q": inside, "orderBy": "name desc", "pageSize": 2500, "fields": "files(name)"}, [], None, None)]:
            with self.subTest(params=params):
                status, page = self.drive_list(**params)
                got = []
                while status == 200:
                    got.append(len(page["files"]))
                    if first and len(got) == 1:
                        self.assertEqual((set(page), set(page["files"][0]), page["files"][0]["name"]), keys + (first,))
                    if "nextPageToken" not in page:
                        break
                    status, page = self.drive_list(**dict(params, pageToken=page["nextPageToken"]))
                self.assertEqual((status, got), (200, sizes) if sizes else (400, []), page)
        meta = self.drive_list(q=inside, pageSize=1, fields="files(size,md5Checksum)")[1]["files"][0]
        self.assertEqual(meta, {"size": "1000", "md5Checksum": hashlib.md5(pattern(many + "clip", 0, 1000)).hexdigest()})

    def test_drive_page_tokens_refused(self):
        inside = "'root' in parents"
        token = self.drive_list(q=inside, pageSize=2)[1]["nextPageToken"]
        for params, reset, location in [({"q": inside, "pageSize": 2, "pageToken": token + "x"}, False, "pageToken"),
                                        ({"q": "trashed = false", "pageSize": 2, "pageToken": token}, False, "pageToken"),
                                        ({"q": inside, "pageSize": 2, "pageToken": token}, True, "pageToken"),
                                        ({"q": inside, "pageSize": 1001}, False, "pageSize"), ({"q": inside, "pageSize": 0}, False, "pageSize")]:
            with self.subTest(params=params, reset=reset):
                if reset:
                    self.ctl("POST", "/cursors/reset", {"service": "google"})
                status, body = self.drive_list(**params)
                self.assertEqual((status, dig(body, "error/errors/0/location"), dig(body, "error/errors/0/reason")), (400, location, "invalid"))

    def test_faults_on_listing_paths_and_many_files_quickly(self):
        for host, path, fault, call, status, header in [
                ("api.dropboxapi.com", LIST, {"kind": "rate_limit", "retry_after": 4}, lambda: self.call(LIST, {"path": ""}), 429, ("Retry-After", "4")),
                ("api.dropboxapi.com", MORE, {"kind": "status", "status": 503}, lambda: self.call(MORE, {"cursor": "x"}), 503, None),
                ("www.googleapis.com", "/drive/v3/files", {"kind": "rate_limit", "retry_after": 2}, lambda: self.drive_list(q=""), 429, ("Retry-After", "2")),
                ("www.googleapis.com", "/drive/v3/files", {"kind": "delay", "seconds": 1}, lambda: self.drive_list(q=""), 200, None)]:
            with self.subTest(path=path, fault=fault):
                self.ctl("POST", "/faults", dict(fault, host=host, path=path, times=1))
                t0 = time.monotonic()
                self.assertEqual(call()[0], status)
                e = self.record(path=path)[-1]
                self.assertEqual((e["fault"], header and dict(e["response_headers"]).get(header[0])), (fault["kind"], header and header[1]))
                self.assertGreaterEqual(time.monotonic() - t0, 1 if fault["kind"] == "delay" else 0)
        t0 = time.monotonic()
        self.ctl("POST", "/files/generate", {"service": "dropbox", "folder": "/Ten/Thousand", "count": 10000, "size": 1 << 30})
        self.assertLess(time.monotonic() - t0, 1.0, "ten thousand files in well under a second")
        self.assertEqual(self.call(LIST, {"path": "/Ten/Thousand", "limit": 1})[1]["entries"][0]["size"], 1 << 30)
