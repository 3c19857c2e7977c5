"""Play runs: the installed game starts with its arguments, its output goes to game.log, its status comes back."""

import os
import signal
import subprocess
import unittest

from support import (KEY_A, PYTHON, UPDATER_DIR, Feed, UpdaterTestCase, make_tree, read, release_files, write,
                     write_config)

STARTING = "Starting Thornwake\u2026"

# A play run whose output stream asks the run to stop the moment it prints the start line.
STOPPED_AT_START = """
import os, signal, sys
sys.path.insert(0, sys.argv[1])
from thornwake_updater import output, play
class Stream:
    def write(self, text):
        sys.stdout.write(text)
        if text.startswith('Starting Thornwake'):
            os.kill(os.getpid(), signal.SIGTERM)
    def flush(self):
        sys.stdout.flush()
sys.exit(play.run_play(sys.argv[2], [], output.Output(Stream())))
"""


class PlayTest(UpdaterTestCase):
    def play(self, *game_arguments, **env):
        return self.run_updater("--", *game_arguments, config=self.config, **env)

    def test_play_starts_the_installed_game_and_ends_with_its_status(self):
        feed = Feed(os.path.join(self.tmp, "feed"))
        # A plain relative path: taken from the configuration file's directory.
        self.config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, "feed", [KEY_A])])
        run = self.play("x")
        self.assertEqual((1, ["Thornwake launcher error: Thornwake is not installed for this region yet. "
                              "Update the game, then press Play."]), (run.status, run.lines))
        self.golden("play_not_installed", run, "play")
        feed.publish_client(make_tree(os.path.join(self.tmp, "tree"), release_files("a")), "2026.12.1")
        self.assertEqual(0, self.run_updater("--update-only", config=self.config).status)

        game_arguments = ["--", "--check", "two words", "", "--update-only"]
        run = self.play(*game_arguments)
        self.assertEqual((0, ["Client 2026.12.1 is current.", STARTING]), (run.status, run.lines))
        self.golden("play_started", run, "play")
        self.assertEqual(game_arguments, read(os.path.join(self.region_dir, "args.txt")).split("\n")[:-1])
        self.assertIn("game output line", read(os.path.join(self.region_dir, "game.log")), "not the pipe: the game log")
        run = self.play(THORNWAKE_TEST_END="fail")
        self.assertEqual((7, STARTING), (run.status, run.lines[-1]))
        self.golden("play_game_failed", run, "play")
        self.assertEqual(128 + signal.SIGTERM, self.play(THORNWAKE_TEST_END="term").status)

        # A stop request that comes right after the start line reaches the game: its handler's 3, or
        # 128 + 15 when the request came before it had one.
        stopped = subprocess.run([PYTHON, "-c", STOPPED_AT_START, UPDATER_DIR, self.region_dir], stdout=subprocess.PIPE,
                                 env=self.env(THORNWAKE_TEST_END="wait"), timeout=30)
        self.assertIn(b"Starting Thornwake\xe2\x80\xa6\n", stopped.stdout)
        self.assertIn(stopped.returncode, (3, 128 + signal.SIGTERM), "not the game's status")

        # A game log that cannot be written (a full disk, say) does not keep the game from starting.
        os.unlink(os.path.join(self.region_dir, "game.log"))
        os.mkdir(os.path.join(self.region_dir, "game.log"))
        run = self.play()
        self.assertEqual((0, STARTING), (run.status, run.lines[-1]), run.text)
        self.assertTrue(any("game.log could not be written" in line for line in run.lines), run.text)

        write(self.release_path("bin", "game"), b"#!/nonexistent/interpreter\n"[: len(b"#!/bin/sh\n")], "r+b")
        run = self.play()
        self.assertEqual(1, run.status)
        self.assertTrue(run.lines[-1].startswith("Thornwake launcher error: Thornwake could not be started"), run.text)
        os.unlink(self.release_path("data", "shared.bin"))
        run = self.play()
        self.assertEqual(1, run.status)
        self.assertIn("incomplete or damaged", run.lines[-1])
        self.assertNotIn(STARTING, run.lines)


if __name__ == "__main__":
    unittest.main()
