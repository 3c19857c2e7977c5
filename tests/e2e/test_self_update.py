"""The launcher updates itself through the real updater, relaunches, and its successor finishes the job.

Nothing is installed at the start; the feed offers a newer launcher bundle (a copy of the built one
with another version) and a client. One press of Return installs the launcher; everything after
that happens by itself.
"""

import os
import plistlib
import signal
import sys

from harness import E2ETestCase, Feed, copy_bundle, game_tree, processes_running, wait_for, write_config

OLD = "0000000000000a01"
NEW = "0000000000000b02"
RELEASE = "2026.12.1"


class SelfUpdateTest(E2ETestCase):
    def test_the_launcher_installs_its_successor_which_removes_the_old_bundle_and_installs_the_client(self):
        feed = Feed(os.path.join(self.tmp, "feed"))
        url = "file://" + feed.root
        apps = os.path.join(self.tmp, "apps")
        bundle = copy_bundle(os.path.join(apps, "Thornwake Launcher.app"), OLD)
        published = copy_bundle(os.path.join(self.tmp, "build-b", "Thornwake Launcher.app"), NEW)
        for target in (bundle, published):
            write_config(target, [("eu-west", "Europe West", url, feed.public_key)])
        feed.add_client(RELEASE, game_tree(os.path.join(self.tmp, "r1"), RELEASE))
        feed.add_launcher(NEW, published)
        feed.sign()

        launcher = self.launch(bundle)
        launcher.wait_idle_after("UPDATE_CHECK launcher=available:%s client=available:%s" % (NEW, RELEASE))
        self.assertIsNone(self.home.current())

        launcher.press_return()  # Update: the launcher first
        self.assertEqual(launcher.wait_exit(120), 0, self.home.log())
        log = self.home.log()
        self.assertIn("Launcher installed at %s\n" % bundle, log)
        self.assertIn("Installed launcher %s. Restarting\u2026\nStarted the updated launcher.\n" % NEW, log)
        with open(os.path.join(bundle, "Contents", "Info.plist"), "rb") as handle:
            self.assertEqual(plistlib.load(handle)["CFBundleVersion"], NEW)

        program = os.path.join(bundle, "Contents", "MacOS", "thornwake-launcher")
        successor = wait_for(lambda: processes_running(program), 30)
        self.assertTrue(successor, "the new launcher is not running")
        self.addCleanup(stop, successor)
        self.assertTrue(wait_for(lambda: not os.path.exists(bundle + ".old"), 30), "the old bundle was not removed")

        # The successor checks on its own, finds its launcher current and continues into the client.
        installed = "Installed client %s." % RELEASE
        self.assertTrue(wait_for(lambda: installed in self.home.log(), 120), self.home.log())
        log = self.home.log()
        successor_part = log[log.index("Started the updated launcher."):]
        self.assertIn("UPDATE_CHECK launcher=current client=available:%s" % RELEASE, successor_part)
        self.assertLess(successor_part.index("launcher=current"), successor_part.index(installed))
        self.assertNotIn("Thornwake launcher error", log)
        self.assertEqual(self.home.current()["releaseId"], RELEASE)
        self.assertTrue(wait_for(lambda: "client=current" in self.home.log()[self.home.log().index(installed):], 60),
                        self.home.log())


def stop(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass


if __name__ == "__main__":
    sys.exit("run with: python3 -m unittest discover -s tests/e2e")
