"""The check: what the launcher should offer, and what it says when the feed cannot be used."""

import os
import shutil
import tempfile
import unittest

from support import LAUNCHER_NEW, LAUNCHER_OLD, SEED_B, ServedFeedTestCase, make_tree, release_files

from thornwake_updater import check, cli, feed

REF = feed.ObjectRef("ab" * 32, 10)


class LauncherValueTest(unittest.TestCase):
    def test_launcher_value_follows_bundle_feed_and_self_update_permission(self):
        with tempfile.TemporaryDirectory() as root:
            bundle = os.path.join(root, "Thornwake Launcher.app")
            os.mkdir(bundle)
            packaged = dict(launcher_bundle=bundle + "/", launcher_version=LAUNCHER_OLD)
            cases = [
                # options, the feed's launcher version, launcher value
                ({}, LAUNCHER_NEW, "unpackaged"),
                (dict(packaged, launcher_bundle=root), LAUNCHER_NEW, "unpackaged"),
                (packaged, None, "unconfigured"),
                (packaged, LAUNCHER_NEW, "available:" + LAUNCHER_NEW),
                (dict(packaged, no_self_update=True), LAUNCHER_NEW, "current"),
                (dict(packaged, relaunched_from=LAUNCHER_OLD), LAUNCHER_NEW, "available:" + LAUNCHER_NEW),
                # Started by the very version offered: installing it again would relaunch for ever.
                (dict(packaged, relaunched_from=LAUNCHER_NEW), LAUNCHER_NEW, "current"),
                (dict(packaged, launcher_version=LAUNCHER_NEW), LAUNCHER_NEW, "current"),
            ]
            for options, offered, expected in cases:
                with self.subTest(options=options, offered=offered):
                    launcher = feed.LauncherRelease(offered, REF) if offered else None
                    offer = feed.Feed("file:///f/", "production", 1, None, None, launcher, ["file:///f/"], b"")
                    self.assertEqual(expected, check.launcher_value(cli.Options(**options), offer))


class UnusableFeedTest(ServedFeedTestCase):
    UNKNOWN = "UPDATE_CHECK launcher=unknown client=unknown world=unknown"

    def test_a_feed_that_cannot_be_used_leaves_the_installed_game_playable(self):
        tree = make_tree(os.path.join(self.tmp, "tree"), release_files("a"))
        self.feed.publish_client(tree, "2026.12.1", seed=SEED_B)
        run = self.run_mode("--check")
        self.assertEqual(1, run.status)
        self.golden("check_rejected_signature", run, "check")

        self.feed.publish_client(tree, "2026.12.1")
        self.update()
        # Reached, but what it sent is unusable: the reason goes to the log, the installed game stays playable.
        self.feed.sign(seed=SEED_B)
        run = self.run_mode("--check")
        self.assertEqual((0, self.UNKNOWN), (run.status, run.lines[-1]), run.text)
        self.assertTrue(any("not signed by a trusted key" in line for line in run.lines[:-1]), run.text)

        self.server.stop()
        run = self.run_mode("--check")
        self.assertEqual((0, self.UNKNOWN), (run.status, run.lines[-1]), run.text)
        self.golden("check_offline_installed", run, "check", self.port)
        run = self.run_mode("--update-only")
        self.assertEqual(1, run.status)
        self.golden("update_offline", run, "update", self.port)
        self.assert_installed("2026.12.1")
        shutil.rmtree(self.home)
        run = self.run_mode("--check")
        self.assertEqual(1, run.status)
        self.golden("check_offline_nothing_installed", run, "check", self.port)


if __name__ == "__main__":
    unittest.main()
