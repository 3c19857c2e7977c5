"""The object cache: resumed downloads, bounded decoding, and two regions sharing it at once."""

import glob
import os
import subprocess
import unittest
import zlib

from support import (KEY_A, PYTHON, UPDATER_DIR, Feed, ServedFeedTestCase, UpdaterTestCase, installed_is_intact,
                     make_tree, noise, release_files, write, write_config)

from thornwake_updater import objects
from thornwake_updater.errors import FeedRejected
from thornwake_updater.feed import ObjectRef

BIG = 2 << 20


class ResumeTest(ServedFeedTestCase):
    def setUp(self):
        super().setUp()
        files = dict(release_files("a"), **{"data/big.bin": noise("big", BIG)})
        self.big = "/" + self.feed.store_object(files["data/big.bin"]).relative_url()
        self.partial = os.path.join(self.support, "client", "objects", "tmp", self.big.split("/")[-1] + ".part")
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r1"), files), "r1")

    def test_a_cut_download_continues_where_it_stopped_or_starts_over_cleanly(self):
        cases = [
            # name, what spoils the partial download before the next run (None: the same run goes on), bytes of
            # the big object fetched after the cut
            ("in the same run", None, 0.55 * BIG),
            ("in the next run", lambda: None, 0.55 * BIG),
            ("server ignores Range", lambda: setattr(self.server.httpd, "honor_range", False), 1.05 * BIG),
            ("damaged partial", lambda: write(self.partial, b"\xff" * 64, "r+b"), 1.55 * BIG),
        ]
        for name, spoil, bound in cases:
            with self.subTest(name):
                # The connection breaks halfway through the big object; the server then fails, or answers.
                answers = [lambda handler: handler.send_file(self.big, stop_after=BIG // 2)]
                answers += [lambda handler: handler.send_error(503)] if spoil else []
                self.server.httpd.hooks[self.big] = lambda handler: answers.pop(0)(handler) if answers else \
                    handler.send_file(self.big)
                if spoil:
                    run = self.run_mode("--update-only")
                    self.assertEqual((1, BIG // 2), (run.status, os.path.getsize(self.partial)), "the partial is kept")
                    self.server.reset()
                    spoil()
                self.update()
                self.assertEqual(("r1", True), installed_is_intact(self.region_dir))
                self.assertLessEqual(self.server.httpd.sent.get(self.big, 0) - (0 if spoil else BIG // 2), bound)
                self.assertEqual(["bytes=%d-" % (BIG // 2)], [r for r in self.server.httpd.ranges if r])
                self.assertEqual([], glob.glob(os.path.join(os.path.dirname(self.partial), "*.part")))
                self.server.httpd.honor_range = True
                self.server.reset()
                os.unlink(os.path.join(self.region_dir, "current.json"))


class DecoderTest(unittest.TestCase):
    def test_a_stream_that_inflates_past_its_declared_size_is_refused_before_it_is_written(self):
        packed = zlib.compress(bytes(10 << 20))
        written = []
        decoder = objects._Decoder(ObjectRef("ab" * 32, 1000, "zlib", len(packed)), written.append)
        with self.assertRaises(FeedRejected):
            decoder.feed(packed)
        self.assertLessEqual(sum(len(chunk) for chunk in written), 1000)


PAIRS = 20
# One updater process per region that runs an update each time it reads a line: the pairs start
# together, and twenty of them cost no more than the two processes.
UPDATES_ON_REQUEST = """
import sys
sys.path.insert(0, sys.argv[1])
from thornwake_updater import cli, output
for _ in sys.stdin:
    print("status %d" % cli.run(sys.argv[2:], output.Output()), flush=True)
"""


class SharedCacheTest(UpdaterTestCase):
    def test_two_regions_updating_at_once_both_succeed(self):
        regions = ("production", "staging")
        feeds = {region: Feed(os.path.join(self.tmp, "feed-" + region), region=region) for region in regions}
        config = write_config(os.path.join(self.tmp, "launcher-config.json"),
                              [(region, feeds[region].root, [KEY_A]) for region in regions])
        # Two small releases in turn: each pair needs the same new objects in both regions at once.
        trees = [make_tree(os.path.join(self.tmp, "tree-" + variant), release_files(variant, count=24, size=100))
                 for variant in ("a", "b")]
        updaters = {}
        for region in regions:
            updaters[region] = subprocess.Popen(
                [PYTHON, "-c", UPDATES_ON_REQUEST, UPDATER_DIR, "--config", config, "--region", region, "--update-only"],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env())
            self.addCleanup(updaters[region].communicate)
        for pair in range(PAIRS):
            for feed in feeds.values():
                feed.publish_client(trees[pair % 2], "r%d" % pair)
            for process in updaters.values():
                process.stdin.write(b"go\n")
                process.stdin.flush()
            for region, process in updaters.items():
                lines = []
                while not lines or not lines[-1].startswith("status "):
                    lines.append(process.stdout.readline().decode("utf-8") or "status (ended)")
                self.assertEqual("status 0\n", lines[-1], "pair %d, %s: %s" % (pair, region, "".join(lines)))
                region_dir = os.path.join(self.support, "client", "regions", region)
                self.assertEqual(("r%d" % pair, True), installed_is_intact(region_dir), "pair %d, %s" % (pair, region))
        self.assertEqual([], os.listdir(os.path.join(self.support, "client", "objects", "tmp")), "nothing kept back")


if __name__ == "__main__":
    unittest.main()
