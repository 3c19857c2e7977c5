"""Retiring releases: never one a game runs from, and the game's saved files go along."""

import os
import subprocess
import tempfile
import time
import unittest

from support import (KEY_A, PYTHON, SCRIPT, Feed, UpdaterTestCase, make_tree, read, release_files, write,
                     write_config)

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
        old = manifest.Manifest("client", _entries(("saves", "dir"), ("saves/default.cfg", "file")))
        new = manifest.Manifest("client", _entries(("saves", "dir"), ("saves/shipped.cfg", "file"),
                                                   ("saves/blocked", "link", "../bin"), ("bin", "dir")))
        with tempfile.TemporaryDirectory() as root:
            def place(release, path, spec):
                full = os.path.join(root, release, *path.split("/"))
                os.makedirs(os.path.dirname(full), exist_ok=True)
                if isinstance(spec, str):
                    os.symlink(spec, full)
                    return
                write(full, spec[0], "w")
                moment = time.time() - spec[1]
                os.utime(full, (moment, moment))

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


class UpdateWhilePlayingTest(UpdaterTestCase):
    def test_an_update_while_the_game_runs_keeps_its_release_and_saves_until_the_game_ends(self):
        feed = Feed(os.path.join(self.tmp, "feed"))
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, feed.root, [KEY_A])])
        trees = {}
        for release in ("a", "b"):
            trees[release] = make_tree(os.path.join(self.tmp, "tree-" + release), release_files(release))
            os.mkdir(os.path.join(trees[release], "saves"))
        feed.publish_client(trees["a"], "a")
        self.assertEqual(0, self.run_updater("--update-only", config=config).status)
        old = os.path.join(self.region_dir, "releases", self.current()["releaseDirectory"])

        play = self.start_until([PYTHON, SCRIPT, "--config", config, "--region", self.region], "Starting Thornwake",
                                THORNWAKE_TEST_END="hold")[0]
        self.addCleanup(play.communicate)
        deadline = time.monotonic() + 20
        while not os.path.exists(os.path.join(self.region_dir, "playing")) and time.monotonic() < deadline:
            time.sleep(0.02)

        feed.publish_client(trees["b"], "b")
        run = self.run_updater("--update-only", config=config)
        self.assertEqual((0, "Installed client b."), (run.status, run.lines[-1]), run.text)
        self.assertTrue(os.path.isdir(old), "the running game's release is kept")

        open(os.path.join(self.region_dir, "stop"), "w").close()
        self.assertEqual(0, play.wait(timeout=30))
        self.assertEqual("read\n", read(os.path.join(self.region_dir, "reads.txt")), "the game could still read its files")
        # The play run retired it once the game had ended, and kept what the game had saved in it.
        self.assertFalse(os.path.exists(old))
        self.assert_installed("b")
        self.assertEqual(["early.sav", "late.sav"], sorted(os.listdir(self.release_path("saves"))))


if __name__ == "__main__":
    unittest.main()
