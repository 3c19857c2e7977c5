"""Hostile and broken servers: every fetch ends in a clear error, bounded in time and memory."""

import os
import shutil
import tempfile
import time
import unittest

from support import LAUNCHER_OLD, FeedServer, ServedFeedTestCase, make_bundle, make_tree, release_files, write

from thornwake_updater import transfer, transport
from thornwake_updater.errors import FeedRejected, NetworkError

SHORT = transport.Limits(socket_timeout=1.0, base_deadline=2.0, min_rate=10**9)


def serve(length=None, body=b"", repeat=1, pause=0.0, location=None):
    """An answer with a Content-Length of length (none when None) and body, sent repeat times, pause seconds apart;
    with a location, a redirect there."""

    def answer(handler):
        handler.send_response(302 if location else 200)
        for name, value in (("Content-Length", length), ("Location", location)):
            if value is not None:
                handler.send_header(name, str(value))
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


endless = serve(body=b"x" * 65536, repeat=10**5)
trickle = serve(100, b"x", repeat=100, pause=0.3)


class HostileServerTest(unittest.TestCase):
    def setUp(self):
        root = tempfile.mkdtemp(prefix="thornwake-test-")
        self.addCleanup(shutil.rmtree, root)
        self.body = bytes(range(120))
        write(os.path.join(root, "body"), self.body)
        self.server = FeedServer(root)
        self.addCleanup(self.server.stop)

    def test_bad_answers_end_in_the_right_error_within_bounds(self):
        body = self.body
        cases = [
            # path, answer, first byte and end of the range asked for (None: to the end), limit,
            # error (None: the bytes of the range arrive)
            ("/endless", endless, 0, None, 1 << 20, FeedRejected),
            ("/huge", serve(10**12), 0, None, 1 << 20, FeedRejected),
            ("/trickle", trickle, 0, None, 1 << 20, NetworkError),
            ("/silent", lambda handler: time.sleep(3), 0, None, 1 << 20, NetworkError),
            ("/short", serve(100, b"y" * 50), 0, 100, 1 << 20, NetworkError),
            ("/short-of-its-own-length", serve(100, b"y" * 50), 0, None, 1 << 20, NetworkError),
            ("/bigger", serve(120, body), 0, None, 100, FeedRejected),
            ("/to-file", serve(0, location="file:///etc/passwd"), 0, None, 1 << 20, FeedRejected),
            ("/to-ftp", serve(0, location="ftp://127.0.0.1/x"), 0, None, 1 << 20, FeedRejected),
            ("/missing", lambda handler: handler.send_error(404), 0, None, 1 << 20, NetworkError),
            ("/moved", serve(0, location=self.server.url + "moved-here"), 0, None, 1 << 20, None),
            ("/range", lambda handler: handler.send_file("/body"), 10, 60, 1 << 20, None),
            ("/range-ignored", serve(120, body), 10, 60, 1 << 20, None),
            ("/another-range", self.other_range, 10, 60, 1 << 20, FeedRejected),
            ("/range-past-the-end", serve(50, body[:50]), 10, 60, 1 << 20, NetworkError),
        ]
        self.server.httpd.hooks["/moved-here"] = serve(120, body)
        for path, hook, start, end, limit, error in cases:
            with self.subTest(path):
                self.server.httpd.hooks[path] = hook
                received = []
                started = time.monotonic()
                try:
                    transfer.get(self.server.url + path[1:], received.append, start, end, limit, SHORT)
                    self.assertEqual((None, body[start:end]), (error, b"".join(received)))
                except (FeedRejected, NetworkError) as exc:
                    self.assertIsInstance(exc, error or ())
                    self.assertTrue(exc.message)
                self.assertLess(time.monotonic() - started, 5.0)
                self.assertLessEqual(len(b"".join(received)), limit)

    @staticmethod
    def other_range(handler):
        handler.send_response(206)
        handler.send_header("Content-Range", "bytes 0-49/120")
        handler.send_header("Content-Length", "50")
        handler.end_headers()
        handler.wfile.write(bytes(50))

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
        # Release r2 brings a pack of new objects.
        packs = self.feed.packs()
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "tree-b"), release_files("b", count=8)), "r2")
        new_packs = sorted(self.feed.packs() - packs)
        # The bounds promised to players: a check ends within 20 s, play waits 5 s at most for the
        # network, an update gives up after 60 s without progress.
        check, play, update = (self.SCALE * bound for bound in (20, 5, 60))
        unreachable = "Thornwake launcher error: The update server could not be reached."
        cases = [
            # name, answer, paths, arguments, status, last line, bound
            ("check with a slow feed", trickle, ["/feed.signed"], ["--check"], 0,
             "UPDATE_CHECK launcher=unknown client=unknown world=unknown", check),
            ("play with a slow feed", trickle, ["/feed.signed"],
             ["--launcher-bundle", bundle, "--launcher-version", LAUNCHER_OLD], 0, "Starting Thornwake\u2026", play),
            ("update from a server that keeps dropping the connection", dribble_then_drop, new_packs,
             ["--update-only"], 1, unreachable, update),
            ("update from a server that never ends its headers", trickle_headers, new_packs, ["--update-only"], 1,
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
                    self.assertGreater(len(self.server.object_requests()), 1, "the download was continued")
        self.assertEqual("r1", self.current()["releaseId"])
