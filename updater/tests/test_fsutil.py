"""Durable writes, and links planted in the support directory that no run may follow."""

import errno
import fcntl
import os
import shutil
import tempfile
import time
import unittest
from unittest import mock

from support import (KEY_A, Feed, UpdaterTestCase, make_tree, noise, read, release_files, tree_listing,
                     write_config)

from thornwake_updater import fsutil


class DurableFlushTest(unittest.TestCase):
    def test_full_flush_where_the_system_has_it_else_fsync(self):
        full = 51  # macOS's F_FULLFSYNC; Linux has none
        for command, refusal, expected in ((full, None, "full"), (full, errno.ENOTSUP, "fsync"), (None, None, "fsync")):
            calls = []

            def fake_fcntl(fd, asked, *args):
                if refusal:
                    raise OSError(refusal, os.strerror(refusal))
                calls.append("full" if asked == full else asked)

            with self.subTest(command=command, refusal=refusal), tempfile.TemporaryDirectory() as directory, \
                    mock.patch.object(fcntl, "F_FULLFSYNC", command, create=True), \
                    mock.patch.object(fcntl, "fcntl", fake_fcntl), \
                    mock.patch.object(os, "fsync", lambda fd: calls.append("fsync")):
                fsutil.atomic_write(os.path.join(directory, "current.json"), b"{}")
                self.assertEqual([expected, expected], calls, "the file and its directory")


class PlantedLinksTest(UpdaterTestCase):
    def test_links_planted_in_the_support_directory_are_never_followed(self):
        feed = Feed(os.path.join(self.tmp, "feed"))
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, feed.root, [KEY_A])])
        feed.publish_client(make_tree(os.path.join(self.tmp, "tree-a"), release_files("a")), "a")
        self.assertEqual(0, self.run_updater("--update-only", config=config).status)
        needed = noise("b-only", 5000)
        feed.add_client(make_tree(os.path.join(self.tmp, "tree-b"), dict(release_files("a"), **{"data/b.bin": needed})), "b")
        feed.sign()
        cached = feed.store_object(needed).sha256
        os.makedirs(os.path.join(self.support, "client", "objects", cached[:2]))
        # Where a link is planted (below <support>/client) and what in the outside tree it leads to.
        planted = {
            "trash": ("trash", ""),
            "game.log": (os.path.join("regions", self.region, "game.log"), "victim.log"),
            "cached object": (os.path.join("objects", cached[:2], cached), "copy.bin"),
            "objects/tmp": (os.path.join("objects", "tmp"), ""),
        }
        listings = {}
        for name, (where, target) in planted.items():
            outside = os.path.join(self.tmp, "outside", name)
            # What a link might lead to: files, a day-old one among them, and one with the needed content.
            make_tree(outside, {"victim.log": b"precious\n", "old.bin": b"old", "copy.bin": needed, "sub/keep.txt": b"k"})
            two_days_ago = time.time() - 2 * 86400
            os.utime(os.path.join(outside, "old.bin"), (two_days_ago, two_days_ago))
            listings[name] = tree_listing(outside)
            where = os.path.join(self.support, "client", where)
            shutil.rmtree(where, ignore_errors=True)
            os.symlink(os.path.join(outside, target), where)

        run = self.run_updater("--update-only", config=config)
        self.assertEqual((0, "Installed client b."), (run.status, run.lines[-1]), run.text)
        self.assert_installed("b")
        run = self.run_updater(config=config)
        self.assertEqual((0, "Starting Thornwake\u2026"), (run.status, run.lines[-1]), run.text)
        self.assertIn("game output line", read(os.path.join(self.region_dir, "game.log")))
        # The retired release is deleted by a process of its own: wait for it.
        trash = os.path.join(self.support, "client", "trash")
        deadline = time.monotonic() + 20
        while os.listdir(trash) and time.monotonic() < deadline:
            time.sleep(0.05)
        for name, listing in listings.items():
            with self.subTest(name):
                self.assertEqual(listing, tree_listing(os.path.join(self.tmp, "outside", name)))


if __name__ == "__main__":
    unittest.main()
