"""SIGKILL at random moments of an install never leaves a broken current release."""

import os
import random
import signal
import subprocess
import time

from support import (
    KEY_A,
    PYTHON,
    SCRIPT,
    Feed,
    UpdaterTestCase,
    installed_is_intact,
    make_tree,
    release_files,
    write_config,
)

KILLS = 30


class KillDuringInstallTest(UpdaterTestCase):
    def test_current_release_is_always_complete_after_sigkill(self):
        feed = Feed(os.path.join(self.tmp, "feed"))
        trees = {
            "A": make_tree(os.path.join(self.tmp, "tree-a"), release_files("a", count=100, size=1500)),
            "B": make_tree(os.path.join(self.tmp, "tree-b"), release_files("b", count=100, size=1500)),
        }
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, feed.root, [KEY_A])])
        argv = [PYTHON, SCRIPT, "--config", config, "--region", self.region, "--update-only"]

        feed.publish_client(trees["A"], "A")
        self.assertEqual(0, self.run_updater("--update-only", config=config).status)
        # The shorter of two full updates: the kills should land inside runs even when the
        # machine is busy during one of the measurements.
        durations = []
        for release in ("B", "A"):
            feed.publish_client(trees[release], release)
            started = time.monotonic()
            self.assertEqual(0, self.run_updater("--update-only", config=config).status)
            durations.append(time.monotonic() - started)
        duration = min(durations)

        seed = int(time.time())
        chance = random.Random(seed)
        interrupted = 0
        current = "A"
        for attempt in range(KILLS):
            target = "A" if current == "B" else "B"
            feed.publish_client(trees[target], target)
            process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env())
            time.sleep(chance.uniform(0, duration))
            if process.poll() is None:
                interrupted += 1
            process.send_signal(signal.SIGKILL)
            process.wait()
            current, intact = installed_is_intact(self.region_dir)
            self.assertIn(current, ("A", "B"))
            self.assertTrue(intact, "kill %d (seed %d) left release %s damaged" % (attempt, seed, current))

        # Most kills must land inside a run, or the test proves little.
        self.assertGreaterEqual(interrupted, KILLS // 2, "seed %d" % seed)
        run = self.run_updater("--update-only", config=config)
        self.assertEqual(0, run.status, run.text)
        current, intact = installed_is_intact(self.region_dir)
        self.assertTrue(intact)
        self.assert_only_current_release("leftovers were removed")
