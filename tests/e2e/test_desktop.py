"""The launcher on an X desktop: game arguments untouched by the toolkit, and one launcher per user.

The updater is a scripted stand-in that records each run: a check finds everything current, and a
play run announces the game and then stays, as a game would, until the test lets it end.
"""

import json
import os
import re
import signal
import subprocess
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


def stacking_order():
    """Ids of the root window's children that are viewable, topmost first (as xwininfo lists them)."""
    tree = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True).stdout
    ids = [int(match, 16) for match in re.findall(r"^\s+(0x[0-9a-f]+)", tree, re.MULTILINE)]
    return [i for i in ids if "IsViewable" in subprocess.run(
        ["xwininfo", "-id", str(i)], capture_output=True, text=True).stdout]


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
                self.stop_launchers()  # the one before, however its case ended
                plays = len(self.runs("play"))
                launcher = self.start("--", *game_arguments)
                window = launcher.window()
                self.assertTrue(window, "no window on this display")
                # The window carries the game's icon for task bars and switchers.
                icon = subprocess.run(["xprop", "-id", window, "_NET_WM_ICON"], capture_output=True, text=True)
                self.assertIn("Icon (16 x 16)", icon.stdout)
                launcher.press_return()  # Play
                self.assertTrue(wait_for(lambda: len(self.runs("play")) > plays, 30), self.home.log())
                argv = self.runs("play")[-1]["argv"]
                self.assertEqual(argv[argv.index("--"):], ["--"] + game_arguments)

    def test_a_second_launcher_brings_the_first_to_the_front_and_ends(self):
        first = self.start()
        window = int(first.window())
        cover = subprocess.Popen(["xmessage", "-geometry", "1024x768+0+0", "cover"], stderr=subprocess.DEVNULL)
        self.addCleanup(cover.wait)
        self.addCleanup(cover.kill)
        self.assertTrue(wait_for(lambda: stacking_order()[:1] != [window], 10), "nothing covers the launcher")

        second = self.launch(self.bundle, env=dict(self.env, DESKTOP_STARTUP_ID="e2e-host;1;2_TIME0"))
        self.assertEqual(second.wait_exit(10), 0)
        self.assertTrue(wait_for(lambda: stacking_order()[:1] == [window], 10), stacking_order())
        # The second launcher's startup id reached the window, for the window manager.
        startup = subprocess.run(["xprop", "-id", str(window), "_NET_STARTUP_ID"], capture_output=True, text=True)
        self.assertIn('"e2e-host;1;2_TIME0"', startup.stdout)
        self.assertEqual(len(self.runs()), 1)
        self.assertEqual(self.home.log().count("--- Launcher opened"), 1, self.home.log())

        # While the game runs the window stays hidden; another start changes nothing.
        first.press_return()
        self.assertTrue(wait_for(lambda: first.window() is None, 10), "the window stayed visible")
        runs = len(self.runs())
        third = self.launch(self.bundle, env=self.env)
        self.assertEqual(third.wait_exit(10), 0)
        self.assertFalse(wait_for(first.window, 1), "the window was shown during the game")
        self.assertEqual(len(self.runs()), runs)
        open(os.path.join(self.tmp, "game-over"), "w").close()
        self.assertEqual(first.wait_exit(30), 0)

    def test_of_two_started_together_one_runs_and_a_killed_one_blocks_nothing(self):
        pair = [self.launch(self.bundle, env=self.env) for _ in range(2)]
        self.assertTrue(wait_for(lambda: any(p.process.poll() is not None for p in pair), 10))
        ended = [p for p in pair if p.process.poll() is not None]
        self.assertEqual([p.process.returncode for p in ended], [0])
        survivor = next(p for p in pair if p not in ended)
        self.assertTrue(wait_for(lambda: self.runs(), 30))
        self.assertTrue(wait_for(survivor.idle, 30))
        self.assertEqual(len(self.runs()), 1)

        os.kill(survivor.process.pid, signal.SIGKILL)
        survivor.wait_exit()
        successor = self.start()
        self.assertTrue(successor.window())
        self.assertEqual(self.home.log().count("--- Launcher opened"), 2, self.home.log())

        # Without a usable runtime directory the launcher still starts, and says why.
        missing = os.path.join(self.tmp, "no-runtime")
        self.start(env=dict(self.env, XDG_RUNTIME_DIR=missing))
        self.assertIn("Started without the one-launcher check: %s does not exist.\n" % missing, self.home.log())


if __name__ == "__main__":
    sys.exit("run with: python3 -m unittest discover -s tests/e2e")
