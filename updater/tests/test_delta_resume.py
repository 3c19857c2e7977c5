"""Delta updates, resumed downloads and kept connections, counted by the test server."""

import glob
import os
import subprocess

from support import (
    KEY_A,
    PYTHON,
    SCRIPT,
    Feed,
    FeedServer,
    UpdaterTestCase,
    installed_is_intact,
    make_tree,
    noise,
    release_files,
    write_config,
)

from thornwake_updater import parallel
from thornwake_updater.output import format_size

FILES = 200
FILE_SIZE = 20000


def big_client(changed=(), variant="v1"):
    """200 incompressible files of 20 kB; the changed ones get other content."""
    files = {"bin/game": release_files("a")["bin/game"]}
    for index in range(FILES):
        seed = "%s-%d" % (variant if index in changed else "base", index)
        files["data/%02d/file%03d.bin" % (index % 20, index)] = noise(seed, FILE_SIZE)
    return files


class FeedTestCase(UpdaterTestCase):
    def setUp(self):
        super().setUp()
        self.feed = Feed(os.path.join(self.tmp, "feed"))
        self.server = FeedServer(self.feed.root)
        self.addCleanup(self.server.stop)
        self.config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, self.server.url, [KEY_A])])

    def update(self):
        run = self.run_updater("--update-only", config=self.config)
        self.assertEqual(0, run.status, run.text)
        return run

    def release_path(self, relative):
        return os.path.join(self.region_dir, "releases", self.current()["releaseDirectory"], *relative.split("/"))


class DeltaTest(FeedTestCase):
    def test_a_two_percent_change_downloads_under_three_percent_and_reuses_the_rest(self):
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r1"), big_client()), "r1")
        self.update()
        full = self.server.object_bytes()
        inodes = {path: os.stat(self.release_path(path)).st_ino for path in big_client()}

        changed = range(0, FILES, FILES // 4)  # 4 of 200 files: 2 % of the bytes
        files = big_client(changed)
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r2"), files), "r2")
        self.server.reset()
        run = self.update()

        fetched = self.server.object_bytes()
        self.assertLessEqual(fetched, 0.03 * full, "%d of %d bytes fetched" % (fetched, full))
        changed_bytes = 4 * FILE_SIZE
        self.assertEqual("Updating to client r2 (%s)\u2026" % format_size(changed_bytes), run.lines[0])
        progress = [int(line[20:-1]) for line in run.lines if line.startswith("Downloading client: ")]
        self.assertEqual(sorted(set(progress)), progress, "one line per percentage, rising")
        self.assertEqual(("r2", True), installed_is_intact(self.region_dir))
        changed_paths = {"data/%02d/file%03d.bin" % (index % 20, index) for index in changed}
        kept = [path for path in files if path not in changed_paths]
        linked = [path for path in kept if os.stat(self.release_path(path)).st_ino == inodes[path]]
        self.assertEqual(len(kept), len(linked), "unchanged files are hard links of the installed ones")

        # A reused file is hashed again: one that changed on disk is fetched, not linked.
        damaged = self.release_path("data/05/file005.bin")
        with open(damaged, "r+b") as handle:
            handle.write(b"\0" * 16)
        files = big_client(changed)
        files["data/new.txt"] = b"new"
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r3"), files), "r3")
        self.server.reset()
        self.update()
        self.assertEqual(3, len(self.server.object_requests()), "manifest, new file, damaged file")
        self.assertEqual(("r3", True), installed_is_intact(self.region_dir))

    def test_connections_are_kept_for_many_objects(self):
        server = FeedServer(self.feed.root, keep_alive=True)
        self.addCleanup(server.stop)
        config = write_config(os.path.join(self.tmp, "keep-alive.json"), [(self.region, server.url, [KEY_A])])
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r1"), release_files("a", count=80, size=500)), "r1")
        run = self.run_updater("--update-only", config=config)
        self.assertEqual(0, run.status, run.text)
        self.assertGreater(len(server.requests), 80)
        # One for the feed and the manifest, one per download thread.
        self.assertLessEqual(server.httpd.connections, parallel.WORKERS + 1)


BIG = 2 << 20


def cut_first(test, path, then):
    """The first answer for path stops halfway; later ones are then(handler)."""
    calls = []

    def answer(handler):
        calls.append(1)
        if len(calls) == 1:
            return handler.send_file(path, stop_after=BIG // 2)
        return then(handler)

    test.server.hook(path, answer)


class ResumeTest(FeedTestCase):
    def setUp(self):
        super().setUp()
        files = release_files("a")
        files["data/big.bin"] = noise("big", BIG)
        ref = self.feed.store_object(files["data/big.bin"])
        self.big = "/" + ref.relative_url()
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r1"), files), "r1")

    def sent(self):
        return self.server.httpd.sent.get(self.big, 0)

    def partials(self):
        return glob.glob(os.path.join(self.support, "client", "objects", "tmp", "*.part"))

    def partial(self):
        return os.path.join(self.support, "client", "objects", "tmp", self.big.split("/")[-1] + ".part")

    def fail_first_run(self):
        """A run whose connection breaks halfway through the big object, the server then failing."""
        cut_first(self, self.big, lambda handler: handler.send_error(503))
        run = self.run_updater("--update-only", config=self.config)
        self.assertEqual(1, run.status, run.text)
        self.assertIn("could not be reached", run.lines[-1])
        self.assertEqual(BIG // 2, os.path.getsize(self.partial()), "the partial download is kept")
        self.server.hook(self.big, lambda handler: handler.send_file(self.big, handler.server.honor_range))
        self.server.reset()

    def test_a_download_cut_in_the_same_run_continues_where_it_stopped(self):
        cut_first(self, self.big, lambda handler: handler.send_file(self.big))
        self.update()
        self.assertLessEqual(self.sent(), 1.55 * BIG)
        self.assertIn("bytes=%d-" % (BIG // 2), self.server.httpd.ranges)
        self.assertEqual(("r1", True), installed_is_intact(self.region_dir))

    def test_the_next_run_continues_a_cut_download(self):
        self.fail_first_run()
        self.update()
        self.assertLessEqual(self.sent(), 0.55 * BIG)
        self.assertIn("bytes=%d-" % (BIG // 2), self.server.httpd.ranges)
        self.assertEqual(1, self.server.object_requests().count(self.big))
        self.assertEqual(("r1", True), installed_is_intact(self.region_dir))
        self.assertEqual([], self.partials())

    def test_a_server_ignoring_the_range_or_a_damaged_partial_starts_over_cleanly(self):
        cases = {
            "server ignores Range": lambda: setattr(self.server.httpd, "honor_range", False),
            "damaged partial": lambda: self.damage(self.partial()),
        }
        for name, spoil in cases.items():
            with self.subTest(name):
                self.fail_first_run()
                spoil()
                self.update()
                self.assertEqual(("r1", True), installed_is_intact(self.region_dir))
                self.assertLessEqual(self.sent(), 1.55 * BIG)
                self.assertEqual([], self.partials())
                self.server.httpd.honor_range = True
                os.unlink(os.path.join(self.region_dir, "current.json"))

    def damage(self, path):
        with open(path, "r+b") as handle:
            handle.write(b"\xff" * 64)


PAIRS = 20


class SharedCacheTest(UpdaterTestCase):
    def test_two_regions_updating_at_once_both_succeed(self):
        regions = ("production", "staging")
        feeds = {region: Feed(os.path.join(self.tmp, "feed-" + region), region=region) for region in regions}
        config = write_config(os.path.join(self.tmp, "launcher-config.json"),
                              [(region, feeds[region].root, [KEY_A]) for region in regions])
        # Two releases in turn: each pair needs the same new objects in both regions at once.
        trees = [make_tree(os.path.join(self.tmp, "tree-" + variant), release_files(variant, count=24, size=1000))
                 for variant in ("a", "b")]
        for pair in range(PAIRS):
            for feed in feeds.values():
                feed.publish_client(trees[pair % 2], "r%d" % pair)
            runs = [subprocess.Popen([PYTHON, SCRIPT, "--config", config, "--region", region, "--update-only"],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env())
                    for region in regions]
            for region, process in zip(regions, runs):
                text = process.communicate(timeout=60)[0].decode("utf-8")
                self.assertEqual(0, process.returncode, "pair %d, %s: %s" % (pair, region, text))
                region_dir = os.path.join(self.support, "client", "regions", region)
                self.assertEqual(("r%d" % pair, True), installed_is_intact(region_dir), "pair %d, %s" % (pair, region))
        self.assertEqual([], os.listdir(os.path.join(self.support, "client", "objects", "tmp")), "nothing kept back")
