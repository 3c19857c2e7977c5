"""Hostile and broken servers: every fetch ends in a clear error, bounded in time and memory."""

import os
import shutil
import tempfile
import time
import unittest

from support import LAUNCHER_OLD, FeedServer, ServedFeedTestCase, make_bundle, make_tree, noise, release_files, write

from thornwake_updater import transport
from thornwake_updater.errors import FeedRejected, NetworkError

SHORT = transport.Limits(socket_timeout=1.0, base_deadline=2.0, min_rate=10**9)


def serve(declared=None, body=b"", repeat=1, pause=0.0):
    """An answer with a Content-Length of declared (none when None) and body, sent repeat times, pause seconds apart."""

    def answer(handler):
        handler.send_response(200)
        if declared is not None:
            handler.send_header("Content-Length", str(declared))
        handler.end_headers()
        try:
            for _ in range(repeat):
                handler.wfile.write(body)
                handler.wfile.flush()
                time.sleep(pause)
        except OSError:
            pass
        handler.close_connection = True

    return answer


def redirect_to(location):
    def answer(handler):
        handler.send_response(302)
        handler.send_header("Location", location)
        handler.send_header("Content-Length", "0")
        handler.end_headers()

    return answer


endless = serve(body=b"x" * 65536, repeat=10**5)
trickle = serve(100, b"x", repeat=100, pause=0.3)


class HostileServerTest(unittest.TestCase):
    def setUp(self):
        self.server = FeedServer(os.path.dirname(os.path.abspath(__file__)))
        self.addCleanup(self.server.stop)

    def test_bad_answers_end_in_the_right_error_within_bounds(self):
        cases = [
            # path, answer, limit and exact size of the fetch, error (None: the 120 bytes arrive)
            ("/endless", endless, 1 << 20, None, FeedRejected),
            ("/huge", serve(10**12), 1 << 20, None, FeedRejected),
            ("/trickle", trickle, 1 << 20, None, NetworkError),
            ("/silent", lambda handler: time.sleep(3), 1 << 20, None, NetworkError),
            ("/short", serve(100, b"y" * 50), 1 << 20, 100, NetworkError),
            ("/short-of-its-own-length", serve(100, b"y" * 50), 1 << 20, None, NetworkError),
            ("/bigger", serve(120, b"z" * 120), 100, 100, FeedRejected),
            ("/to-file", redirect_to("file:///etc/passwd"), 1 << 20, None, FeedRejected),
            ("/to-ftp", redirect_to("ftp://127.0.0.1/x"), 1 << 20, None, FeedRejected),
            ("/missing", lambda handler: handler.send_error(404), 1 << 20, None, NetworkError),
            ("/moved", redirect_to(self.server.url + "body"), 1 << 20, 120, None),
        ]
        self.server.httpd.hooks["/body"] = serve(120, b"z" * 120)
        for path, hook, limit, exact, error in cases:
            with self.subTest(path):
                self.server.httpd.hooks[path] = hook
                received = [0]
                started = time.monotonic()
                try:
                    transport.fetch(self.server.url + path[1:], lambda chunk: received.append(received.pop() + len(chunk)),
                                    limit, exact=exact, limits=SHORT)
                    self.assertEqual((None, 120), (error, received[0]))
                except (FeedRejected, NetworkError) as exc:
                    self.assertIsInstance(exc, error or ())
                    self.assertTrue(exc.message)
                self.assertLess(time.monotonic() - started, 5.0)
                self.assertLessEqual(received[0], limit)

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


def dribble_then_drop(handler):
    """The object from the requested offset a byte at a time, the connection dropped after two seconds."""
    handler.send_file(handler.path, stop_after=20, pace=0.1)


def trickle_headers(handler):
    """Headers that never end: a download thread waits in the HTTP library, where no deadline of its own reaches."""
    try:
        handler.wfile.write(b"HTTP/1.0 200 OK\r\nX-Wait: ")
        for _ in range(400):
            handler.wfile.write(b"a")
            time.sleep(0.1)
    except OSError:
        pass


class SlowServerRunTest(ServedFeedTestCase):
    # Every deadline shortened twentyfold.
    SCALE = 0.05
    # Starting Python and the updater, reading the installed release: well under this on a busy machine.
    MARGIN = 2.5

    def test_slow_servers_are_given_up_within_the_bounds(self):
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "tree-a"), release_files("a")), "r1")
        self.update()
        bundle = make_bundle(os.path.join(self.tmp, "Thornwake Launcher.app"), LAUNCHER_OLD)
        # Release r2 brings eight new objects, more than the download threads.
        files = release_files("b", count=8)
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "tree-b"), files), "r2")
        new_objects = ["/" + self.feed.store_object(files["data/b/part%03d.bin" % index]).relative_url() for index in range(8)]
        # The bounds promised to players: a check ends within 20 s, play waits 5 s at most for the
        # network, an update gives up after 60 s without progress.
        check, play, update = (self.SCALE * bound for bound in (20, 5, 60))
        unreachable = "Thornwake launcher error: The update server could not be reached."
        cases = [
            # name, answer, paths, arguments, status, last line, bound
            ("check with a slow signature", trickle, ["/feed.json.sig"], ["--check"], 0,
             "UPDATE_CHECK launcher=unknown client=unknown world=unknown", check),
            ("play with a slow signature", trickle, ["/feed.json.sig"],
             ["--launcher-bundle", bundle, "--launcher-version", LAUNCHER_OLD], 0, "Starting Thornwake\u2026", play),
            ("update from a server that keeps dropping the connection", dribble_then_drop, new_objects,
             ["--update-only"], 1, unreachable, update),
            ("update from a server that never ends its headers", trickle_headers, new_objects, ["--update-only"], 1,
             unreachable, update),
        ]
        for name, hook, paths, arguments, status, last, bound in cases:
            with self.subTest(name):
                self.server.httpd.hooks = {path: hook for path in paths}
                self.server.reset()
                started = time.monotonic()
                run = self.run_mode(*arguments, THORNWAKE_UPDATER_DEADLINE_SCALE=str(self.SCALE))
                self.assertEqual(status, run.status, run.text)
                self.assertTrue(run.lines[-1].startswith(last), run.text)
                self.assertLess(time.monotonic() - started, bound + self.MARGIN, run.text)
                if hook is dribble_then_drop:
                    self.assertTrue([r for r in self.server.httpd.ranges if r], "the object downloads were retried")
        self.assertEqual("r1", self.current()["releaseId"])


class ShrinkingFileTest(unittest.TestCase):
    def test_a_feed_file_that_shrinks_while_read_is_a_cut_transfer(self):
        root = tempfile.mkdtemp(prefix="thornwake-shrink-")
        self.addCleanup(shutil.rmtree, root, True)
        path = os.path.join(root, "feed.json")
        write(path, noise("shrink", 600000))

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
        write(os.path.join(root, "object"), data)
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
