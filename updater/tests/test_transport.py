"""Hostile and broken servers: every fetch ends in a clear error, bounded in time and memory."""

import json
import os
import shutil
import tempfile
import time
import unittest

from support import (
    KEY_A,
    LAUNCHER_OLD,
    Feed,
    FeedServer,
    UpdaterTestCase,
    make_bundle,
    make_tree,
    noise,
    release_files,
    write_config,
)

from thornwake_updater import transport
from thornwake_updater.errors import FeedRejected, NetworkError
from thornwake_updater.feed import ObjectRef

SHORT = transport.Limits(socket_timeout=1.0, base_deadline=2.0, min_rate=10**9)


def endless(handler):
    handler.send_response(200)
    handler.end_headers()
    chunk = b"x" * 65536
    deadline = time.monotonic() + 10
    try:
        while time.monotonic() < deadline:
            handler.wfile.write(chunk)
    except OSError:
        pass


def huge_length(handler):
    handler.send_response(200)
    handler.send_header("Content-Length", str(10**12))
    handler.end_headers()


def trickle(handler):
    handler.send_response(200)
    handler.send_header("Content-Length", "100")
    handler.end_headers()
    try:
        for _ in range(100):
            handler.wfile.write(b"x")
            handler.wfile.flush()
            time.sleep(0.3)
    except OSError:
        pass


def silent(handler):
    time.sleep(3)


def short_body(handler):
    handler.send_response(200)
    handler.send_header("Content-Length", "100")
    handler.end_headers()
    handler.wfile.write(b"y" * 50)
    handler.close_connection = True


def redirect_to(location):
    def answer(handler):
        handler.send_response(302)
        handler.send_header("Location", location)
        handler.send_header("Content-Length", "0")
        handler.end_headers()

    return answer


def ok_body(handler):
    body = b"z" * 120
    handler.send_response(200)
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body)


class HostileServerTest(unittest.TestCase):
    def setUp(self):
        self.server = FeedServer(os.path.dirname(os.path.abspath(__file__)))
        self.addCleanup(self.server.stop)

    def fetch(self, path, limit=1 << 20, exact=None):
        received = []
        started = time.monotonic()
        try:
            transport.fetch(self.server.url + path.lstrip("/"), received.append, limit, exact=exact, limits=SHORT)
        finally:
            self.elapsed = time.monotonic() - started
            self.received = sum(len(chunk) for chunk in received)

    def test_bad_answers_end_in_the_right_error_within_bounds(self):
        cases = [
            ("/endless", endless, {}, FeedRejected),
            ("/huge", huge_length, {}, FeedRejected),
            ("/trickle", trickle, {}, NetworkError),
            ("/silent", silent, {}, NetworkError),
            ("/short", short_body, {"exact": 100}, NetworkError),
            ("/short-of-its-own-length", short_body, {}, NetworkError),
            ("/bigger", ok_body, {"exact": 100, "limit": 100}, FeedRejected),
            ("/to-file", redirect_to("file:///etc/passwd"), {}, FeedRejected),
            ("/to-ftp", redirect_to("ftp://127.0.0.1/x"), {}, FeedRejected),
            ("/missing", lambda handler: handler.send_error(404), {}, NetworkError),
        ]
        for path, hook, kwargs, error in cases:
            with self.subTest(path):
                self.server.hook(path, hook)
                with self.assertRaises(error) as caught:
                    self.fetch(path, **kwargs)
                self.assertLess(self.elapsed, 5.0)
                self.assertLessEqual(self.received, kwargs.get("limit", 1 << 20))
                self.assertTrue(caught.exception.message)

    def test_redirect_within_loopback_http_is_followed(self):
        self.server.hook("/moved", redirect_to(self.server.url + "body"))
        self.server.hook("/body", ok_body)
        self.fetch("/moved", exact=120)
        self.assertEqual(120, self.received)

    def test_redirect_rules(self):
        cases = [
            ("https://a.example/feed.json", "https://b.example/feed.json", True),
            ("https://a.example/feed.json", "http://a.example/feed.json", False),
            ("https://a.example/feed.json", "http://127.0.0.1/feed.json", False),
            ("https://a.example/feed.json", "file:///etc/passwd", False),
            ("http://127.0.0.1/feed.json", "http://localhost:8080/feed.json", True),
            ("http://127.0.0.1/feed.json", "http://a.example/feed.json", False),
            ("http://127.0.0.1/feed.json", "https://a.example/feed.json", True),
        ]
        for old, new, allowed in cases:
            with self.subTest(old=old, new=new):
                self.assertEqual(allowed, transport._redirect_allowed(old, new))
        for url, allowed in (("http://10.0.0.1/x", False), ("http://[::1]/x", True), ("ftp://127.0.0.1/", False),
                             ("file:///tmp/x", True), ("file://host/tmp/x", False), ("https:///x", False)):
            with self.subTest(url=url):
                self.assertEqual(allowed, transport.allowed_url(url))


class EndlessFeedRunTest(UpdaterTestCase):
    def test_endless_feed_ends_in_an_error_line_not_a_traceback(self):
        feed = Feed(os.path.join(self.tmp, "feed"))
        feed.publish_client(make_tree(os.path.join(self.tmp, "tree"), release_files("a", count=1)), "r1")
        server = FeedServer(feed.root)
        self.addCleanup(server.stop)
        server.hook("/feed.json", endless)
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, server.url, [KEY_A])])
        started = time.monotonic()
        run = self.run_updater("--check", config=config)
        self.assertLess(time.monotonic() - started, 15)
        self.assertEqual(1, run.status)
        self.assertEqual(
            "Thornwake launcher error: The update server sent an invalid response. Try again later.", run.lines[-1]
        )


def dribble_then_drop(handler):
    """The object from the requested offset a byte at a time, the connection dropped after two seconds."""
    with open(handler.translate_path(handler.path), "rb") as source:
        data = source.read()
    wanted = handler.headers.get("Range")
    start = int(wanted[6:-1]) if wanted else 0
    handler.send_response(206 if start else 200)
    handler.send_header("Content-Length", str(len(data) - start))
    if start:
        handler.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
    handler.end_headers()
    end = time.monotonic() + 2.0
    try:
        for index in range(start, len(data) - 1):
            if time.monotonic() > end:
                break
            handler.wfile.write(data[index:index + 1])
            time.sleep(0.1)
    except OSError:
        pass
    handler.close_connection = True


def trickle_headers(handler):
    """Headers that never end: a download thread waits in the HTTP library, where no deadline of its own reaches."""
    try:
        handler.wfile.write(b"HTTP/1.0 200 OK\r\nX-Wait: ")
        for _ in range(400):
            handler.wfile.write(b"a")
            time.sleep(0.1)
    except OSError:
        pass


def object_paths(root):
    """The URL paths of a feed directory's objects."""
    return {"/" + os.path.relpath(os.path.join(directory, name), root)
            for directory, _, names in os.walk(os.path.join(root, "objects")) for name in names}


class SlowServerRunTest(UpdaterTestCase):
    # Every deadline shortened twentyfold.
    SCALE = 0.05
    # Starting Python and the updater, reading the installed release: well under this on a busy machine.
    MARGIN = 2.5

    def test_slow_servers_are_given_up_within_the_bounds(self):
        feed = Feed(os.path.join(self.tmp, "feed"))
        feed.publish_client(make_tree(os.path.join(self.tmp, "tree-a"), release_files("a")), "r1")
        server = FeedServer(feed.root)
        self.addCleanup(server.stop)
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, server.url, [KEY_A])])
        self.assertEqual(0, self.run_updater("--update-only", config=config).status)
        bundle = make_bundle(os.path.join(self.tmp, "Thornwake Launcher.app"), LAUNCHER_OLD)
        # Release r2 brings eight new objects, more than the download threads.
        before = object_paths(feed.root)
        feed.publish_client(make_tree(os.path.join(self.tmp, "tree-b"), release_files("b", count=8)), "r2")
        with open(os.path.join(feed.root, "feed.json")) as handle:
            manifest = "/" + ObjectRef.from_json(json.load(handle)["client"]["manifest"], "manifest").relative_url()
        new_objects = object_paths(feed.root) - before - {manifest}
        self.assertEqual(8, len(new_objects))
        # The bounds promised to players: a check ends within 20 s, play waits 5 s at most for the
        # network, an update gives up after 60 s without progress.
        check, play, update = (self.SCALE * bound for bound in (20, 5, 60))
        unreachable = "Thornwake launcher error: The update server could not be reached."
        cases = [
            # name, hook, paths, arguments, status, last line, bound
            ("check with a slow signature", trickle, ["/feed.json.sig"], ["--check"], 0,
             "UPDATE_CHECK launcher=unknown client=unknown world=unknown", check),
            ("play with a slow signature", trickle, ["/feed.json.sig"],
             ["--launcher-bundle", bundle, "--launcher-version", LAUNCHER_OLD], 0, "Starting Thornwake\u2026",
             play),
            ("update from a server that keeps dropping the connection", dribble_then_drop, new_objects,
             ["--update-only"], 1, unreachable, update),
            ("update from a server that never ends its headers", trickle_headers, new_objects, ["--update-only"], 1,
             unreachable, update),
        ]
        for name, hook, paths, arguments, status, last, bound in cases:
            with self.subTest(name):
                server.httpd.hooks = {path: hook for path in paths}
                server.reset()
                started = time.monotonic()
                run = self.run_updater(*arguments, config=config, timeout=30,
                                       THORNWAKE_UPDATER_DEADLINE_SCALE=str(self.SCALE))
                elapsed = time.monotonic() - started
                self.assertEqual(status, run.status, run.text)
                self.assertTrue(run.lines[-1].startswith(last), run.text)
                self.assertLess(elapsed, bound + self.MARGIN, run.text)
                if hook is dribble_then_drop:
                    self.assertTrue([r for r in server.httpd.ranges if r], "the object downloads were retried")
        self.assertEqual("r1", self.current()["releaseId"])


class ShrinkingFileTest(unittest.TestCase):
    def test_a_feed_file_that_shrinks_while_read_is_a_cut_transfer(self):
        root = tempfile.mkdtemp(prefix="thornwake-shrink-")
        self.addCleanup(shutil.rmtree, root, True)
        path = os.path.join(root, "feed.json")
        with open(path, "wb") as handle:
            handle.write(noise("shrink", 600000))

        def sink(chunk):
            os.truncate(path, 300000)  # rewritten in place by a careless copy

        with self.assertRaises(NetworkError):
            transport.fetch("file://" + path, sink, 1 << 20, limits=SHORT)


class OffsetTest(unittest.TestCase):
    """Fetching from an offset: the rest when the source can, everything after restart() when not."""

    def test_fetch_continues_at_an_offset_or_starts_over(self):
        root = tempfile.mkdtemp(prefix="thornwake-range-")
        self.addCleanup(shutil.rmtree, root, True)
        data = noise("range", 300000)
        with open(os.path.join(root, "object"), "wb") as handle:
            handle.write(data)
        server = FeedServer(root, keep_alive=True)
        self.addCleanup(server.stop)
        file_url = "file://" + os.path.join(root, "object")
        cases = [
            # name, url, server honours ranges, offset, expected restart
            ("file from the middle", file_url, True, 120000, False),
            ("file past its end", file_url, True, 400000, True),
            ("http range", server.url + "object", True, 120000, False),
            ("http ignoring the range", server.url + "object", False, 120000, True),
            ("http range past the end", server.url + "object", True, 300000, True),
        ]
        for name, url, honour, offset, restarts in cases:
            with self.subTest(name):
                server.httpd.honor_range = honour
                received, restarted = [], []

                def restart():
                    restarted.append(True)
                    del received[:]

                count = transport.fetch(url, received.append, len(data), exact=len(data), limits=SHORT,
                                        offset=offset, restart=restart)
                expected = data if restarts else data[offset:]
                self.assertEqual((restarts, expected), (bool(restarted), b"".join(received)))
                self.assertEqual(len(expected), count)
        # Four requests: every answer was read to its end, so the connection was kept, except after
        # the 416 answer, with which the server closes it.
        self.assertEqual(2, server.httpd.connections)
