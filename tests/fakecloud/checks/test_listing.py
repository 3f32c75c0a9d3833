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
    return (hashlib.sha256(seed.encode()).digest() * 128 * (end // 4096 + 1))[start:end]


class Listing(StandInCase):
    def setUp(self):
        super().setUp()
        for svc, folder in [("dropbox", "/Many"), ("google", "Many")]:
            self.ctl("POST", "/files/generate", {"service": svc, "folder": folder, "count": 2500, "size": 1000, "prefix": "clip", "ext": ".mp4"})
        self.ctl("POST", "/files", {"service": "dropbox", "path": "/Many/Deeper/inner clip.mp4", "content": "x"})
        self.many = self.stored("google", "name")["Many"]["id"]
        self.inside = "'%s' in parents and trashed = false" % self.many

    def call(self, path, args):
        r = self.db(path, self.tok, args) if path.startswith("/2/") else self.drive("GET", path + urllib.parse.urlencode(args), self.gtok)
        return r.status, json.loads(r.body) if r.getheader("Content-Type").startswith("application/json") else r.body.decode()

    def walk(self, path, args):
        """Every page of a listing: the status that ended it, the pages' sizes and their first entry."""
        status, page, sizes, first = *self.call(path, args), [], None
        while status == 200 and len(sizes) < 100:  # a cursor that never advances ends too
            items = page.get("entries", page.get("matches", page.get("files")))
            sizes.append(len(items))
            first = first or items[0]
            token = page.get("cursor") if page.get("has_more") else page.get("nextPageToken")
            if not token:
                break
            status, page = self.call({LIST: MORE, SEARCH: SEARCH_MORE}.get(path, path), {"cursor": token} if path in (LIST, SEARCH)
                                     else dict(args, pageToken=token))
        return status, sizes, first

    def test_pages(self):
        drive, fields = "/drive/v3/files?", "nextPageToken,files(id,name,size,md5Checksum,modifiedTime,parents,mimeType)"
        for path, args, sizes, first in [  # the pages' sizes; in the first entry: a name, or the keys it has
                (LIST, {"path": "/Many"}, [2000, 501], ENTRY_KEYS), (LIST, {"path": "/many", "limit": 1000}, [1000, 1000, 501], "clip 00001.mp4"),
                (LIST, {"path": "/Many", "recursive": True}, [2000, 502], "clip 00001.mp4"), (LIST, {"path": "", "limit": 3}, [3, 1], "Documents"),
                (SEARCH, {"query": "clip 0001"}, [11], "clip 00001.mp4"),
                (SEARCH, {"query": "CLIP", "options": {"path": "/Many/Deeper"}}, [1], "inner clip.mp4"),
                (SEARCH, {"query": "clip 024", "options": {"max_results": 40}}, [40, 40, 33], "clip 00024.mp4"),
                (drive, {"q": self.inside}, [100] * 25, {"kind", "id", "name", "mimeType"}),
                (drive, {"q": self.inside, "pageSize": 1000, "fields": fields}, [1000, 1000, 500], set(fields[20:-1].split(","))),
                (drive, {"q": self.inside, "fields": "files(id)"}, [100], {"id"}),  # no next page unless nextPageToken is asked for
                (drive, {"q": self.inside + " and name contains '0250'", "fields": "files(name)"}, [2], {"name"}),
                (drive, {"q": "mimeType = 'video/quicktime'", "orderBy": "name desc", "fields": "files(name)"}, [1], "holiday.mov")]:
            with self.subTest(path=path, args=args):
                status, got, entry = self.walk(path, args)
                entry = entry.get("metadata", {}).get("metadata", entry)
                self.assertEqual((status, got, entry["name"] if isinstance(first, str) else set(entry)), (200, sizes, first))
        top = [self.call("/drive/v3/files/%s?" % fid, {"fields": "id,name,parents"})[1] for fid in ("root", self.stored("google", "name")["Many"]["parents"][0])]
        self.assertEqual([(t["name"], bool(t.get("parents"))) for t in top], [("My Drive", False)] * 2)  # the top, by alias or id
        files = self.call(drive, {"q": self.inside, "pageSize": 1, "fields": "files(size,md5Checksum)"})[1]["files"]
        self.assertEqual(files, [{"size": "1000", "md5Checksum": hashlib.md5(pattern(self.many + "clip", 0, 1000)).hexdigest()}])

    def test_refusals(self):
        cursor, token = self.call(LIST, {"path": "/Many", "limit": 10})[1]["cursor"], self.call("/drive/v3/files?", {"pageSize": 2})[1]["nextPageToken"]
        self.ctl("POST", "/cursors/reset")
        for path, args, status, want in [  # want: text of the answer, or a place in its JSON and the value there
                (MORE, {"cursor": cursor}, 409, ("error_summary", "reset/...")), (MORE, {"cursor": "nonsense"}, 400, 'Invalid "cursor"'),
                (LIST, {"path": "/Many", "limit": 2001}, 400, "limit: 2001 is not within"),
                (LIST, {"path": "/Nowhere"}, 409, ("error_summary", "path/not_found/...")),
                (LIST, {"path": "/holiday.mov"}, 409, ("error_summary", "path/not_folder/...")), (SEARCH, {"query": ""}, 400, "query"),
                (LINK, {"path": "/Many"}, 409, ("error_summary", "path/not_file/...")),
                ("/drive/v3/files?", {"pageSize": 2, "pageToken": token}, 400, ("error/errors/0/location", "pageToken")),
                ("/drive/v3/files?", {"pageSize": 1001}, 400, ("error/errors/0/location", "pageSize"))]:
            with self.subTest(path=path, args=args):
                got, body = self.call(path, args)
                self.assertEqual(got, status, body)
                self.assertIn(want, body) if isinstance(want, str) else self.assertEqual(dig(body, want[0]), want[1])
        self.ctl("POST", "/reset")  # a token of another search, or a forged one, is refused as well
        token = self.call("/drive/v3/files?", {"pageSize": 2})[1]["nextPageToken"]
        self.assertEqual([self.call("/drive/v3/files?", args)[0] for args in [{"pageSize": 2, "pageToken": token}, {"pageSize": 2, "q": "trashed = false",
                          "pageToken": token}, {"pageSize": 2, "pageToken": token[:-1]}]], [200, 400, 400])

    def test_links_stream_by_range(self):
        link = self.call(LINK, {"path": "/holiday.mov"})[1]["link"]
        drive = "https://www.googleapis.com/drive/v3/files/%s?alt=media" % self.stored("google", "name")["holiday.mov"]["id"]
        direct, auth = self.ctl("GET", "/links?path=/Videos/clip.mkv")["link"], {"Authorization": "Bearer " + self.gtok}
        for url, seed, headers, status, content_range in [
                (link, "/holiday.mov", {"Range": "bytes=10-19"}, 206, "bytes 10-19/3145728"),
                (link, "/holiday.mov", {"Range": "bytes=3145720-"}, 206, "bytes 3145720-3145727/3145728"),
                (link, "/holiday.mov", {"Range": "bytes=3145728-"}, 416, "bytes */3145728"),
                (direct, "/Videos/clip.mkv", {"Range": "bytes=-5"}, 206, "bytes 2097147-2097151/2097152"),
                (drive, "holiday.mov", dict(auth, Range="bytes=4096-4100"), 206, "bytes 4096-4100/3145728"),
                (drive, "holiday.mov", auth, 200, None),
                (drive + "&access_token=" + self.gtok, "", {"Range": "bytes=0-1"}, 401, None)]:  # only with the header
            with self.subTest(url=url, headers=headers):
                r = self.https("GET", url, headers=headers)
                self.assertEqual((r.status, r.getheader("Content-Range")), (status, content_range), r.body[:200])
                if status in (200, 206):
                    start, end = map(int, content_range.split()[1].split("/")[0].split("-")) if content_range else (0, (3 << 20) - 1)
                    self.assertEqual((r.body, r.getheader("Accept-Ranges")), (pattern(seed, start, end + 1), "bytes"))
        self.ctl("POST", "/faults", {"path": "/apitl/1/*", "kind": "pause", "where": "response", "after": 1000,
                                     "seconds": 1, "times": 1})  # a peer that stops sending for a while
        t0, r = time.monotonic(), self.https("GET", link)
        self.assertEqual((r.body, time.monotonic() - t0 >= 1), (pattern("/holiday.mov", 0, 3 << 20), True))
        for seconds, status in [(4 * 3600 - 5, 206), (10, 410)]:  # valid for 4 hours by the clock
            self.ctl("POST", "/clock", {"advance": seconds})
            self.assertEqual(self.https("GET", link, headers={"Range": "bytes=0-0"}).status, status)

    def test_faults_on_listing_paths_and_many_files_quickly(self):
        for path, fault, args, status, header in [
                (LIST, {"kind": "rate_limit", "retry_after": 4}, {"path": ""}, 429, ("too_many_requests", "4")),
                (MORE, {"kind": "status", "status": 503}, {"cursor": "x"}, 503, None),
                ("/drive/v3/files", {"kind": "rate_limit", "retry_after": 2}, {}, 429, ("rateLimitExceeded", "2")),
                ("/drive/v3/files", {"kind": "delay", "seconds": 1}, {}, 200, None)]:
            with self.subTest(path=path, fault=fault):
                self.ctl("POST", "/faults", dict(fault, path=path, times=1))
                t0, (got, body) = time.monotonic(), self.call(path + ("?" if "drive" in path else ""), args)
                reason = header and dig(body, "error/reason/.tag" if path == LIST else "error/errors/0/reason")
                self.assertEqual((got, reason, header and self.record(path=path)[-1]["response_headers"][-1]), (status, header and header[0],
                                 header and ["Retry-After", header[1]]))
                self.assertGreaterEqual(time.monotonic() - t0, fault.get("seconds", 0))
        t0 = time.monotonic()
        self.ctl("POST", "/files/generate", {"service": "dropbox", "folder": "/Ten/Thousand", "count": 10000, "size": 1 << 30})
        self.assertLess(time.monotonic() - t0, 1.0, "ten thousand files in well under a second")
        self.assertEqual(self.call(LIST, {"path": "/Ten/Thousand", "limit": 1})[1]["entries"][0]["size"], 1 << 30)
