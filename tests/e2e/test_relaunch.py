"""A launcher that installed its successor starts it and quits; the successor cleans up after it.

The updater here is a scripted stand-in that swaps the bundle the way a self-update does, so the
test is about the launcher's side: the relaunch command line, quitting, and the retired bundles.
"""

import json
import os
import shutil
import signal
import sys

from harness import E2ETestCase, copy_bundle, wait_for

OLD = "0000000000000aaa"
NEW = "0000000000000bbb"

UPDATER = r'''import json, os, shutil, sys
resources = os.path.dirname(os.path.abspath(__file__))
args = sys.argv[1:]
with open(os.path.join(os.environ["THORNWAKE_E2E_RECORD"], "runs.jsonl"), "a") as record:
    record.write(json.dumps({"argv": args, "launcher": os.getppid(), "bundle": os.path.dirname(os.path.dirname(resources))}) + "\n")
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
    def test_the_successor_starts_with_the_handover_arguments_and_removes_retired_bundles(self):
        apps = os.path.join(self.tmp, "apps")
        bundle = copy_bundle(os.path.join(apps, "X.app"), OLD)
        staged = copy_bundle(os.path.join(self.tmp, "staged", "X.app"), NEW)
        for target in (bundle, staged):
            with open(os.path.join(target, "Contents", "Resources", "client_updater.py"), "w") as handle:
                handle.write(UPDATER)
        legacy = os.path.join(apps, "Gloamreach Launcher.app.old")
        os.makedirs(os.path.join(legacy, "Contents"))

        env = dict(self.home.env, QT_QPA_PLATFORM="offscreen", THORNWAKE_E2E_RECORD=self.tmp,
                   THORNWAKE_E2E_STAGED=staged, THORNWAKE_E2E_OFFERED=NEW)
        old = self.launch(bundle, "--continue", "--no-self-update", "--", "--fullscreen", "--", env=env)
        self.assertEqual(old.wait_exit(60), 0, self.home.log())

        log = self.home.log()
        self.assertIn("Installed launcher %s. Restarting\u2026\nStarted the updated launcher.\n" % NEW, log)
        def runs():
            with open(os.path.join(self.tmp, "runs.jsonl")) as handle:
                return [json.loads(line) for line in handle]

        self.assertTrue(wait_for(lambda: len(runs()) >= 3, 30), runs())
        check, update, successor_check = runs()[:3]
        self.assertIn("--check", check["argv"])
        self.assertIn("--update-only", update["argv"])
        # The successor is the new bundle at the same path, told where it came from.
        self.assertEqual(successor_check["bundle"], bundle)
        argv = successor_check["argv"]
        self.assertEqual(argv[argv.index("--launcher-version") + 1], NEW)
        self.assertEqual(argv[argv.index("--relaunched-from") + 1], OLD)
        self.assertIn("--no-self-update", argv)
        self.assertEqual(argv[argv.index("--region") + 1], "eu-west")
        self.assertNotEqual(successor_check["launcher"], old.process.pid)
        # At its start the successor removed the retired copies beside it.
        self.assertTrue(wait_for(lambda: not os.path.exists(bundle + ".old"), 10))
        self.assertTrue(wait_for(lambda: not os.path.exists(legacy), 10))
        self.assertTrue(os.path.exists(os.path.join(bundle, "Contents", "MacOS", "thornwake-launcher")))
        self.assertTrue(wait_for(lambda: self.home.log().count("--- Launcher opened") == 2, 10))
        os.kill(successor_check["launcher"], signal.SIGTERM)

    def test_a_successor_that_cannot_start_is_reported(self):
        bundle = copy_bundle(os.path.join(self.tmp, "apps", "X.app"), OLD)
        staged = copy_bundle(os.path.join(self.tmp, "staged", "X.app"), NEW)
        os.remove(os.path.join(staged, "Contents", "MacOS", "thornwake-launcher"))
        with open(os.path.join(bundle, "Contents", "Resources", "client_updater.py"), "w") as handle:
            handle.write(UPDATER)
        env = dict(self.home.env, QT_QPA_PLATFORM="offscreen", THORNWAKE_E2E_RECORD=self.tmp,
                   THORNWAKE_E2E_STAGED=staged, THORNWAKE_E2E_OFFERED=NEW)
        old = self.launch(bundle, "--continue", env=env)
        self.assertTrue(wait_for(lambda: "The updated launcher could not be started: " in self.home.log(), 30),
                        self.home.log())
        self.assertIsNone(old.process.poll(), "the launcher quit although its successor did not start")
        # It still holds the claim: another start (of the copy it runs from) ends at once.
        self.assertEqual(self.launch(bundle + ".old", env=env).wait_exit(10), 0)


if __name__ == "__main__":
    sys.exit("run with: python3 -m unittest discover -s tests/e2e")
