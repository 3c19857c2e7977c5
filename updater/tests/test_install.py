"""Update runs: installing, delta updates, refused releases, two regions at once, and SIGKILL at any moment."""

import hashlib
import os
import subprocess
import tempfile
import unittest

from support import (KEY_A, PYTHON, SCRIPT, UPDATER_DIR, Feed, ServedFeedTestCase, UpdaterTestCase, installed_is_intact,
                     make_tree, noise, read, release_files, write, write_config)

from thornwake_updater import assemble, install, installed, manifest, parallel


class StampsTest(unittest.TestCase):
    def test_the_stamps_an_install_records_are_those_the_next_update_trusts(self):
        files = {"a.bin": b"a", "d/\u00e9.bin": b"e", 'q"uote.bin': b"q", "same.bin": b"a"}
        with tempfile.TemporaryDirectory() as root:
            make_tree(root, files)
            stamp = {path: assemble.stamp_of(os.lstat(os.path.join(root, path))) for path in files}
            record = os.path.join(root, "release.verified")
            install.write_stamps(record, ((path, assemble.STAMP.unpack(stamp[path])) for path in files))
            sources = assemble.ReleaseSources(root)
            recorded = installed.read_stamps(record)
            for path, data in files.items():
                sources.add(path, hashlib.sha256(data).hexdigest(), 0o644, len(data), recorded.get(path))
            for path, data in files.items():
                entry = manifest.Entry(path, "file", len(data), 0o644, hashlib.sha256(data).hexdigest())
                # The first file with a content is its source.
                first = next(other for other in files if files[other] == data)
                self.assertEqual([(os.path.join(root, first), 0o644, stamp[first])], sources.whole(entry), path)
                # Hard-linked only with its mode: another one takes a copy, and room for it.
                executable = manifest.Entry(path, "file", len(data), 0o755, entry.sha256)
                self.assertEqual((True, False), (sources.linkable(entry), sources.linkable(executable)), path)
            self.assertFalse(sources.linkable(manifest.Entry("new", "file", 1, 0o644, hashlib.sha256(b"new").hexdigest())))
            # Written in pieces: more files than one piece holds.
            many = {"f%d" % index: [index, 2**40 + index, -index] for index in range(2500)}
            install.write_stamps(record, ((path, tuple(value)) for path, value in many.items()))
            self.assertEqual(many, installed.read_stamps(record))


class UpdateTest(ServedFeedTestCase):
    keep_alive = True

    def client_value(self):
        return self.run_mode("--check").lines[0].split()[2]

    def test_first_install_then_current_a_damaged_install_repaired_and_a_refused_release_changes_nothing(self):
        files = release_files("a")
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "a"), dict(files, **{"bin/data": "../data"})), "2026.12.1")
        self.golden("check_client_available", self.run_mode("--check"), "check")
        run = self.update()
        # Each report: what is done, then the percentage, which rises from 0 to 100.
        reports = [(first, second) for first, second in zip(run.lines, run.lines[1:]) if second.startswith("Downloading client: ")]
        self.assertTrue(all(first.startswith("Updating to client 2026.12.1 (") for first, _ in reports), run.text)
        values = [int(second[20:-1]) for _, second in reports]
        self.assertEqual((0, 100, sorted(values)), (values[0], values[-1], values))
        self.golden("update_install", run, "update")
        self.assert_installed("2026.12.1")
        self.golden("check_current", self.run_mode("--check"), "check")
        self.server.reset()
        self.golden("update_current", self.update(), "update")
        # Only the feed, past any cache.
        self.assertRegex(" ".join(self.server.httpd.requests), r"\A/feed\.signed\?t=[0-9a-f]{16}\Z")
        self.assertEqual("no-cache", self.server.httpd.headers[0]["Cache-Control"])

        # A file of the wrong size makes the release incomplete; the update fetches only that file.
        write(self.release_path("data", "text.txt"), b"x")
        self.assertEqual("client=available:2026.12.1", self.client_value())
        self.server.reset()
        self.update()
        self.assertEqual(1, len(self.server.object_requests()), self.server.httpd.requests)
        self.assert_installed("2026.12.1")
        # So does a missing one.
        os.unlink(self.release_path("data", "text.txt"))
        self.assertEqual("client=available:2026.12.1", self.client_value())
        self.server.reset()
        self.update()
        self.assertEqual(1, len(self.server.object_requests()), self.server.httpd.requests)
        # The same release name published again with other content is offered again.
        again = make_tree(os.path.join(self.tmp, "a2"), dict(files, **{"data/x": b"x"}))
        self.feed.publish_client(again, "2026.12.1")
        self.assertEqual("client=available:2026.12.1", self.client_value())
        self.update()

        # A refused release leaves the installed one current and whole.
        b_only = noise("b-only", 5000)
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "b"), dict(files, **{"data/b-only.bin": b_only})), "2027.01.1")
        self.feed.spoil(b_only)
        self.golden("update_rejected_object", self.run_mode("--update-only"), "update", self.port)
        self.assertEqual(("2026.12.1", True), installed_is_intact(self.region_dir))
        # Under 1,024 characters but over 4,000 bytes: too long once placed in the support directory, which is
        # known before anything but the manifest is downloaded.
        game = dict(self.feed.store_object(b"#!/bin/sh\n").to_json(), path="bin/game", mode=0o755)
        self.feed.publish_manifest({"format": 1, "kind": "client", "releaseId": "2027.01.1", "executable": "bin/game",
                                    "files": [game, dict(game, path="/".join(["\U0001d11e" * 63] * 16))]}, "2027.01.1")
        self.server.reset()
        run = self.run_mode("--update-only")
        self.assertIn("release description is damaged or unsafe", run.lines[-1])
        self.assertEqual(1, len(self.server.object_requests()), "only the manifest was downloaded")
        self.assert_installed("2026.12.1")
        self.feed.publish_client(again, "2026.12.1")
        self.assertEqual("client=current", self.client_value())
        # A manifest beside the release that is not the one current.json names is not trusted.
        write(self.release_path() + ".manifest", b" " + read(self.release_path() + ".manifest", "rb"))
        self.assertEqual("client=available:2026.12.1", self.client_value())

    def test_a_delta_update_fetches_only_changed_files_and_links_the_rest(self):
        def client(changed=()):
            # 100 incompressible files of 10 kB; the changed ones get other content.
            files = {"data/%02d/file%03d.bin" % (i % 10, i): noise("%s-%d" % (i in changed, i), 10000) for i in range(100)}
            return dict(files, **{"bin/game": release_files("a")["bin/game"]})

        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r1"), client()), "r1")
        self.update()
        full = self.server.object_bytes()
        inodes = {path: os.stat(self.release_path(path)).st_ino for path in client()}
        files = client(changed=(0, 50))  # 2 % of the bytes
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r2"), files), "r2")
        self.server.reset()
        run = self.update()
        self.assertLessEqual(self.server.object_bytes(), 0.03 * full)
        self.assertEqual("Updating to client r2 (0 of 20 KB)\u2026", run.lines[0])
        self.assert_installed("r2", "the old release is retired")
        linked = [path for path in files if os.stat(self.release_path(path)).st_ino == inodes[path]]
        self.assertEqual(len(files) - 2, len(linked), "unchanged files are hard links of the installed ones")
        # One connection for the feed and the manifest, one per download thread.
        self.assertLessEqual(self.server.httpd.connections, parallel.WORKERS + 1)

        # A reused file is hashed again: one that changed on disk is fetched, not linked.
        write(self.release_path("data", "05", "file005.bin"), b"\0" * 16, "r+b")
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r3"), dict(files, **{"data/new.txt": b"new"})), "r3")
        self.server.reset()
        self.update()
        self.assertEqual(3, len(self.server.object_requests()), "manifest, new file, damaged file")
        self.assert_installed("r3")


class KillDuringInstallTest(ServedFeedTestCase):
    def test_the_current_release_is_whole_whenever_an_update_is_killed(self):
        trees = {name: make_tree(os.path.join(self.tmp, name), release_files(name, count=100, size=1500)) for name in "ab"}
        self.feed.publish_client(trees["a"], "a")
        self.update()
        target = []

        def start(line):
            # An update to the release that is not current.
            target.append("b" if installed_is_intact(self.region_dir)[0] == "a" else "a")
            self.feed.publish_client(trees[target[-1]], target[-1])
            return self.start_until([PYTHON, SCRIPT, "--config", self.config, "--region", self.region, "--update-only"], line)

        def check(where):
            current, intact = installed_is_intact(self.region_dir)
            self.assertEqual((True, True), (current in trees, intact), "%s left release %s damaged" % (where, current))

        # A few kills while it downloads, most while it installs, where the switch happens.
        self.kill_spread(lambda: start("Updating to client "), 3, check)
        self.kill_spread(lambda: start("Verifying and installing client\u2026"), 6, check)
        self.update()
        self.assert_installed(target[-1], "leftovers were removed")


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


class TwoRegionsTest(UpdaterTestCase):
    def test_two_regions_updating_at_once_both_succeed(self):
        regions = ("production", "staging")
        feeds = {region: Feed(os.path.join(self.tmp, "feed-" + region), region=region) for region in regions}
        config = write_config(os.path.join(self.tmp, "launcher-config.json"),
                              [(region, feeds[region].root, [KEY_A]) for region in regions])
        # Two small releases in turn: each pair installs the same new files in both regions at once.
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
        self.assertFalse(os.path.lexists(os.path.join(self.support, "client", "objects")), "no shared cache")
