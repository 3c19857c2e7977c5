"""A player's paths through the real launcher on a real X server: Return presses the button."""

import os
import sys

from harness import E2ETestCase, Feed, copy_bundle, game_tree, wait_for, write_config

VERSION = "00000000000000a1"


class PlayerTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.feed = Feed(os.path.join(self.tmp, "feed"))
        self.feed.add_client("2026.12.1", game_tree(os.path.join(self.tmp, "r1"), "2026.12.1"))
        self.feed.sign()
        self.bundle = copy_bundle(os.path.join(self.tmp, "apps", "Thornwake Launcher.app"), VERSION)

    def test_fresh_install_update_then_play_and_quit_when_the_game_ends(self):
        write_config(self.bundle, [("eu-west", "Europe West", "file://" + self.feed.root, self.feed.public_key)])
        launcher = self.launch(self.bundle)
        launcher.wait_idle_after("client=available:2026.12.1")
        self.assertIsNone(self.home.current())

        launcher.press_return()  # Update
        launcher.wait_idle_after("Installed client 2026.12.1.")
        launcher.wait_idle_after("client=current")
        log = self.home.log()
        self.assertIn("Starting update.\n", log)
        self.assertIn("Downloading client: 100%\n", log)
        self.assertLess(log.index("Downloading client:"), log.index("Installed client 2026.12.1."))
        self.assertEqual(self.home.current()["releaseId"], "2026.12.1")

        launcher.press_return()  # Play: a check, then the play run
        self.assertTrue(wait_for(lambda: "Starting Thornwake\u2026" in self.home.log(), 60), self.home.log())
        self.assertTrue(wait_for(lambda: launcher.window() is None, 10), "the window stayed visible")
        self.assertEqual(launcher.wait_exit(60), 0)
        log = self.home.log()
        self.assertIn("Starting update check.\n", log)
        self.assertNotIn("Thornwake launcher error", log)


if __name__ == "__main__":
    sys.exit("run with: python3 -m unittest discover -s tests/e2e")
