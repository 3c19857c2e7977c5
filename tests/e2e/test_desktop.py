"""The launcher on an X desktop: game arguments untouched by the toolkit.

The updater is a scripted stand-in that records each run: a check finds everything current, and a
play run announces the game and then stays, as a game would, until the test lets it end.
"""

import json
import os
import sys
import time

from harness import E2ETestCase, copy_bundle, wait_for

UPDATER = r'''import json, os, sys, time
args = sys.argv[1:]
parent = os.getppid()
record = os.environ["THORNWAKE_E2E_RECORD"]
with open(os.path.join(record, "runs.jsonl"), "a") as handle:
    handle.write(json.dumps({"argv": args, "launcher": os.getppid()}) + "\n")
if "--check" in args:
    print("UPDATE_CHECK launcher=current client=current")
    sys.exit(0)
print("Starting Thornwake\u2026", flush=True)
while not os.path.exists(os.path.join(record, "game-over")) and os.getppid() == parent:
    time.sleep(0.05)
'''


class DesktopTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.bundle = copy_bundle(os.path.join(self.tmp, "apps", "Thornwake Launcher.app"), "00000000000000d1")
        with open(os.path.join(self.bundle, "Contents", "Resources", "client_updater.py"), "w") as handle:
            handle.write(UPDATER)
        self.env = dict(self.home.env, THORNWAKE_E2E_RECORD=self.tmp)
        self.env.pop("QT_QPA_PLATFORM", None)
        self.env.pop("XDG_ACTIVATION_TOKEN", None)

    def runs(self, mode=None):
        try:
            with open(os.path.join(self.tmp, "runs.jsonl")) as handle:
                runs = [json.loads(line) for line in handle]
        except OSError:
            return []
        return [r for r in runs if mode is None or ("--check" in r["argv"]) == (mode == "check")]

    def start(self, *args, env=None):
        """A launcher that has run its first check."""
        checks = len(self.runs("check"))
        launcher = self.launch(self.bundle, *args, env=env or self.env)
        self.assertTrue(wait_for(lambda: len(self.runs("check")) > checks, 30), self.home.log())
        self.assertTrue(wait_for(launcher.idle, 30))
        time.sleep(0.4)
        return launcher

    def test_game_arguments_reach_the_game_and_never_the_toolkit(self):
        for game_arguments in (["-platform", "nonexistent"], ["-reverse", "-style", "x"], ["-display", ":999"]):
            with self.subTest(arguments=game_arguments):
                plays = len(self.runs("play"))
                launcher = self.start("--", *game_arguments)
                self.assertTrue(launcher.window(), "no window on this display")
                launcher.press_return()  # Play
                self.assertTrue(wait_for(lambda: len(self.runs("play")) > plays, 30), self.home.log())
                argv = self.runs("play")[-1]["argv"]
                self.assertEqual(argv[argv.index("--"):], ["--"] + game_arguments)
                launcher.stop()


if __name__ == "__main__":
    sys.exit("run with: python3 -m unittest discover -s tests/e2e")
