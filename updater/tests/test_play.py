"""Play runs: the installed game starts with its arguments, its output goes to game.log, its status comes back."""

import io
import os
import signal
import unittest
from unittest import mock

from support import KEY_A, Feed, UpdaterTestCase, make_tree, read, release_files, write, write_config

from thornwake_updater import output, play

STARTING = "Starting Thornwake\u2026"


class StopAtStart(io.StringIO):
    """An output stream that asks the run to stop the moment it prints the start line."""

    def write(self, text):
        if text.startswith("Starting Thornwake"):
            os.kill(os.getpid(), signal.SIGTERM)
        return super().write(text)


class PlayTest(UpdaterTestCase):
    def play(self, *game_arguments, **env):
        return self.run_updater("--", *game_arguments, config=self.config, **env)

    def test_play_starts_the_installed_game_and_ends_with_its_status(self):
        feed = Feed(os.path.join(self.tmp, "feed"))
        # A plain relative path: taken from the configuration file's directory.
        self.config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, "feed", [KEY_A])])
        run = self.play("x")
        self.assertEqual((1, ["Thornwake launcher error: Thornwake is not installed for this region yet. "
                              "Update, then press Play."]), (run.status, run.lines))
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
        with mock.patch.dict(os.environ, THORNWAKE_TEST_END="wait"):
            self.assertIn(play.run_play(self.region_dir, [], output.Output(StopAtStart())), (3, 128 + signal.SIGTERM))

        # A game log that cannot be written (a full disk, say) does not keep the game from starting.
        os.unlink(os.path.join(self.region_dir, "game.log"))
        os.mkdir(os.path.join(self.region_dir, "game.log"))
        run = self.play()
        self.assertEqual((0, STARTING), (run.status, run.lines[-1]), run.text)
        self.assertTrue(any("game.log could not be written" in line for line in run.lines), run.text)

        write(self.release_path("bin", "game"), b"#!/nonexistent/interpreter\n"[: len(b"#!/bin/sh\n")], "r+b")
        run = self.play()
        self.assertEqual(1, run.status)
        self.assertTrue(run.lines[-1].startswith("Thornwake launcher error: The game could not be started"), run.text)
        os.unlink(self.release_path("data", "shared.bin"))
        run = self.play()
        self.assertEqual((1, False), (run.status, STARTING in run.lines))
        self.assertIn("is incomplete", run.lines[-1])


if __name__ == "__main__":
    unittest.main()
