"""A player's paths through the real launcher on a real X server: Return presses the button."""

import os
import subprocess
import sys

from harness import E2ETestCase, Feed, FeedServer, copy_bundle, free_port, game_tree, wait_for, write_config

VERSION = "00000000000000a1"


class PlayerTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.feed = Feed(os.path.join(self.tmp, "feed"))
        self.feed.add_client("2026.12.1", game_tree(os.path.join(self.tmp, "r1"), "2026.12.1"))
        self.feed.sign()
        self.bundle = copy_bundle(os.path.join(self.tmp, "apps", "Thornwake Launcher.app"), VERSION)

    def use_feed(self, url):
        write_config(self.bundle, [("eu-west", "Europe West", url, self.feed.public_key)])

    def install_directly(self):
        """Installs the feed's client with the updater itself, as an earlier session would have."""
        resources = os.path.join(self.bundle, "Contents", "Resources")
        result = subprocess.run(["/usr/bin/python3", os.path.join(resources, "client_updater.py"), "--config",
                                 os.path.join(resources, "launcher-config.json"), "--region", "eu-west",
                                 "--update-only"], env=self.home.env, capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_fresh_install_update_then_play_and_quit_when_the_game_ends(self):
        self.use_feed("file://" + self.feed.root)
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

    def test_offline_with_nothing_installed_fails_then_recovers(self):
        port = free_port()
        self.use_feed("http://127.0.0.1:%d/" % port)
        launcher = self.launch(self.bundle)
        launcher.wait_idle_after("Thornwake launcher error:")
        self.assertIsNone(self.home.current())

        server = FeedServer(self.feed.root, port)
        self.addCleanup(server.stop)
        launcher.press_return()  # Retry
        launcher.wait_idle_after("client=available:2026.12.1")

    def test_offline_with_a_game_installed_still_plays(self):
        port = free_port()
        self.use_feed("http://127.0.0.1:%d/" % port)
        server = FeedServer(self.feed.root, port)
        self.install_directly()
        server.stop()

        launcher = self.launch(self.bundle)
        launcher.wait_idle_after("UPDATE_CHECK launcher=unknown client=unknown")
        launcher.press_return()  # Play
        self.assertTrue(wait_for(lambda: "Starting Thornwake\u2026" in self.home.log(), 60), self.home.log())
        self.assertEqual(launcher.wait_exit(60), 0)


if __name__ == "__main__":
    sys.exit("run with: python3 -m unittest discover -s tests/e2e")
