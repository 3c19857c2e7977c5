"""Links planted in the support directory, which no run may follow."""

import os
import shutil
import time
import unittest

from support import ServedFeedTestCase, make_tree, noise, read, release_files, tree_listing


class PlantedLinksTest(ServedFeedTestCase):
    def test_links_planted_in_the_support_directory_are_never_followed(self):
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "tree-a"), release_files("a")), "a")
        self.update()
        needed = noise("b-only", 5000)
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "tree-b"), dict(release_files("a"), **{"data/b.bin": needed})), "b")
        cached = self.feed.store_object(needed).sha256
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
            os.utime(os.path.join(outside, "old.bin"), (time.time() - 2 * 86400,) * 2)
            listings[name] = tree_listing(outside)
            where = os.path.join(self.support, "client", where)
            shutil.rmtree(where, ignore_errors=True)
            os.symlink(os.path.join(outside, target), where)

        self.assertEqual("Installed client b.", self.update().lines[-1])
        self.assert_installed("b")
        run = self.run_mode()
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
