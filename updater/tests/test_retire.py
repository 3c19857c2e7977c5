"""Retiring releases: never one a game runs from, and the game's saved files go along."""

import os
import tempfile
import time
import unittest

from support import PYTHON, SCRIPT, ServedFeedTestCase, make_tree, read, release_files, write

from thornwake_updater import fsutil, manifest, retire


def _entries(*specs):
    """Manifest entries from (path, kind[, link target]) tuples."""
    return [manifest.Entry(path, kind, target=rest[0] if rest else None) for path, kind, *rest in specs]


class CarryOverTest(unittest.TestCase):
    # What the game left in the retired release, what the current one has at the same place
    # (content and age in seconds, or a link), and what the current one holds afterwards.
    CASES = [
        ("only in the retired release", "saves/one.sav", ("o", 50), None, "o"),
        ("in a subdirectory", "saves/sub/two.sav", ("o", 50), None, "o"),
        ("newer in the retired release", "saves/three.sav", ("o", 10), ("n", 100), "o"),
        ("newer in the current release", "saves/four.sav", ("o", 100), ("n", 10), "n"),
        ("the retired release's own file", "saves/default.cfg", ("o", 0), None, None),
        ("the current release's own file", "saves/shipped.cfg", ("o", 0), ("n", 100), "n"),
        ("outside a declared directory", "data/notes.txt", ("o", 50), None, None),
        ("a link the game made", "saves/link.sav", "../../outside.txt", None, None),
        ("below a link of the current release", "saves/blocked/five.sav", ("o", 50), None, None),
    ]

    def test_the_games_files_in_declared_directories_move_into_the_current_release(self):
        # What an update holds of the retired release's manifest.
        old = retire.carry_over_view(["saves"], ["saves/default.cfg", "data/shipped.dat"])
        new = manifest.Manifest("client", _entries(("saves", "dir"), ("saves/shipped.cfg", "file"),
                                                   ("saves/blocked", "link", "../bin"), ("bin", "dir")))
        with tempfile.TemporaryDirectory() as root:
            def place(release, path, content):
                make_tree(os.path.join(root, release), {path: content if isinstance(content, str) else content[0].encode()})
                if not isinstance(content, str):
                    os.utime(os.path.join(root, release, *path.split("/")), (time.time() - content[1],) * 2)

            os.makedirs(os.path.join(root, "new", "bin"))
            place("new", "saves/blocked", "../bin")
            place("", "outside.txt", ("outside", 0))
            for _, path, in_old, in_new, _ in self.CASES:
                place("old", path, in_old)
                if in_new is not None:
                    place("new", path, in_new)
            releases = fsutil.open_directory(root)
            try:
                retire.carry_over(releases, "old", old, "new", new)
            finally:
                os.close(releases)
            for name, path, in_old, _, expected in self.CASES:
                full = os.path.join(root, "new", *path.split("/"))
                found = None if os.path.islink(full) or not os.path.exists(full) else read(full)
                self.assertEqual(expected, found, name)
            self.assertEqual([], os.listdir(os.path.join(root, "new", "bin")), "nothing went through the link")
            self.assertEqual("outside", read(os.path.join(root, "outside.txt")))


class UpdateWhilePlayingTest(ServedFeedTestCase):
    def test_an_update_while_the_game_runs_keeps_its_release_and_saves_until_the_game_ends(self):
        trees = {release: make_tree(os.path.join(self.tmp, release), release_files(release)) for release in "ab"}
        for tree in trees.values():
            os.mkdir(os.path.join(tree, "saves"))
        self.feed.publish_client(trees["a"], "a")
        self.update()
        old = self.release_path()
        play = self.start_until([PYTHON, SCRIPT, "--config", self.config, "--region", self.region], "Starting Thornwake",
                                THORNWAKE_TEST_END="hold")[0]
        self.addCleanup(play.communicate)
        deadline = time.monotonic() + 20
        while not os.path.exists(os.path.join(self.region_dir, "playing")) and time.monotonic() < deadline:
            time.sleep(0.02)

        self.feed.publish_client(trees["b"], "b")
        self.assertEqual("Installed client b.", self.update().lines[-1])
        self.assertTrue(os.path.isdir(old), "the running game's release is kept")

        write(os.path.join(self.region_dir, "stop"), b"")
        self.assertEqual(0, play.wait(timeout=30))
        self.assertEqual("read\n", read(os.path.join(self.region_dir, "reads.txt")), "the game could still read its files")
        # The play run retired it once the game had ended, and kept what the game had saved in it.
        self.assertFalse(os.path.exists(old))
        self.assert_installed("b")
        self.assertEqual(["early.sav", "late.sav"], sorted(os.listdir(self.release_path("saves"))))


if __name__ == "__main__":
    unittest.main()
