"""A launcher whose installed successor cannot start says so and stays, still the one launcher.

The updater here is a scripted stand-in that swaps the bundle the way a self-update does; the
real self-update, relaunch and clean-up are test_self_update's.
"""

import os
import sys

from harness import E2ETestCase, copy_bundle, wait_for

OLD = "0000000000000aaa"
NEW = "0000000000000bbb"

UPDATER = r'''import os, shutil, sys
args = sys.argv[1:]
version = args[args.index("--launcher-version") + 1] if "--launcher-version" in args else None
if "--check" in args:
    offered = os.environ["THORNWAKE_E2E_OFFERED"]
    print("UPDATE_CHECK launcher=%s client=current" % ("current" if version == offered else "available:" + offered))
    sys.exit(0)
bundle = args[args.index("--launcher-bundle") + 1]
os.rename(bundle, bundle + ".old")
shutil.copytree(os.environ["THORNWAKE_E2E_STAGED"], bundle, symlinks=True)
print("Launcher installed at " + bundle)
print("Installed launcher %s. Restarting\u2026" % os.environ["THORNWAKE_E2E_OFFERED"])
'''


class RelaunchTest(E2ETestCase):
    def test_a_successor_that_cannot_start_is_reported(self):
        bundle = copy_bundle(os.path.join(self.tmp, "apps", "X.app"), OLD)
        staged = copy_bundle(os.path.join(self.tmp, "staged", "X.app"), NEW)
        os.remove(os.path.join(staged, "Contents", "MacOS", "thornwake-launcher"))
        with open(os.path.join(bundle, "Contents", "Resources", "client_updater.py"), "w") as handle:
            handle.write(UPDATER)
        env = dict(self.home.env, QT_QPA_PLATFORM="offscreen", THORNWAKE_E2E_STAGED=staged,
                   THORNWAKE_E2E_OFFERED=NEW)
        old = self.launch(bundle, "--continue", env=env)
        self.assertTrue(wait_for(lambda: "The updated launcher could not be started: " in self.home.log(), 30),
                        self.home.log())
        self.assertIsNone(old.process.poll(), "the launcher quit although its successor did not start")
        # It still holds the claim: another start (of the copy it runs from) ends at once.
        self.assertEqual(self.launch(bundle + ".old", env=env).wait_exit(10), 0)


if __name__ == "__main__":
    sys.exit("run with: python3 -m unittest discover -s tests/e2e")
