"""The launcher replacing its own bundle: the swap, its checks, recovery after a kill, play runs."""

import ctypes
import errno
import os
import random
import shlex
import shutil
import subprocess
import time
import unittest
from unittest import mock

from support import (
    KEY_A,
    LAUNCHER_NEW,
    LAUNCHER_OLD,
    PUBLISHER,
    PYTHON,
    SCRIPT,
    WORLD,
    Feed,
    FeedServer,
    UpdaterTestCase,
    bundle_files,
    make_bundle,
    make_tree,
    publish,
    release_files,
    tree_listing,
    write_config,
)

from thornwake_updater import selfupdate
from thornwake_updater.errors import FeedRejected

INSTALLED_AT = "Launcher installed at "
RESTARTING = "Installed launcher %s. Restarting\u2026" % LAUNCHER_NEW


class SelfUpdateTestCase(UpdaterTestCase):
    def setUp(self):
        super().setUp()
        self.feed = Feed(os.path.join(self.tmp, "feed"))
        self.feed.add_client(make_tree(os.path.join(self.tmp, "client"), release_files("a")), "2026.12.1")
        # The new bundle differs from the old one in its Info.plist, one framework binary and two data files.
        self.new_tree = make_bundle(os.path.join(self.tmp, "published", "Thornwake Launcher.app"), LAUNCHER_NEW, "b")
        self.old_tree = make_bundle(os.path.join(self.tmp, "old", "Thornwake Launcher.app"), LAUNCHER_OLD, "a")
        self.apps = os.path.join(self.tmp, "Applications")
        self.bundle = os.path.join(self.apps, "Thornwake Launcher.app")
        shutil.copytree(self.old_tree, self.bundle, symlinks=True)

    def args(self, version=LAUNCHER_OLD, *extra):
        return ["--launcher-bundle", self.bundle, "--launcher-version", version] + list(extra)

    def leftovers(self):
        return sorted(name for name in os.listdir(self.apps) if name != "Thornwake Launcher.app")


class SelfUpdateRunTest(SelfUpdateTestCase):
    def setUp(self):
        super().setUp()
        # The operator's command line, with a real bundle tree.
        status, _, err = publish_cli("add-launcher", self.feed.root, "--region", self.region, "--version", LAUNCHER_NEW, self.new_tree)
        self.assertEqual(0, status, err)
        self.feed.sign()
        self.server = FeedServer(self.feed.root)
        self.addCleanup(self.server.stop)
        self.config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, self.server.url, [KEY_A])])

    def test_update_replaces_the_bundle_keeps_the_old_one_and_the_relaunched_check_is_current(self):
        self.assertEqual("UPDATE_CHECK launcher=available:%s client=available:2026.12.1 world=%s" % (LAUNCHER_NEW, WORLD),
                         self.run_updater(*self.args(LAUNCHER_OLD, "--check"), config=self.config).lines[-1])
        self.server.reset()
        run = self.run_updater(*self.args(LAUNCHER_OLD, "--update-only"), config=self.config)
        self.assertEqual(0, run.status, run.text)
        self.assertEqual([INSTALLED_AT + self.bundle, RESTARTING], run.lines[-2:])
        self.assertTrue(run.lines[0].startswith("Updating launcher to %s (" % LAUNCHER_NEW), run.lines[0])
        self.assertIn("Verifying and installing launcher\u2026", run.lines)
        progress = [line for line in run.lines if line.startswith("Downloading launcher: ")]
        self.assertEqual(("Downloading launcher: 0%", "Downloading launcher: 100%"), (progress[0], progress[-1]))
        self.assertNotIn("Installed client 2026.12.1.", run.lines, "the client waits for the new launcher")

        self.assertEqual(tree_listing(self.new_tree), tree_listing(self.bundle))
        self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle + ".old"))
        for name in ("thornwake-launcher", "helper"):
            self.assertTrue(os.access(os.path.join(self.bundle, "Contents", "MacOS", name), os.X_OK))
        self.assertEqual(["Thornwake Launcher.app.old"], self.leftovers())
        program = subprocess.run([os.path.join(self.bundle, "Contents", "MacOS", "thornwake-launcher")],
                                 stdout=subprocess.PIPE, timeout=10)
        self.assertEqual(b"launcher in Thornwake Launcher.app\n", program.stdout)
        # Files the running bundle already had were taken from it, not downloaded.
        changed = {"Contents/Info.plist", "Contents/Frameworks/Engine.framework/Versions/A/Engine",
                   "Contents/Resources/data/item000.bin", "Contents/Resources/data/item001.bin"}
        expected = sum(len(data) for path, data in bundle_files(LAUNCHER_NEW, "b").items() if path in changed)
        manifest_bytes = self.server.httpd.sent[self.server.object_requests()[0]]
        self.assertLessEqual(self.server.object_bytes() - manifest_bytes, expected)
        self.assertEqual(1 + len(changed), len(self.server.object_requests()))

        # The relaunched launcher: its check is current for the launcher and goes on with the client.
        relaunched = self.args(LAUNCHER_NEW, "--relaunched-from", LAUNCHER_OLD)
        run = self.run_updater(*relaunched + ["--check"], config=self.config)
        self.assertEqual("UPDATE_CHECK launcher=current client=available:2026.12.1 world=%s" % WORLD, run.lines[-1])
        run = self.run_updater(*relaunched + ["--update-only"], config=self.config)
        self.assertEqual((0, "Installed client 2026.12.1."), (run.status, run.lines[-1]), run.text)
        self.assertEqual(tree_listing(self.new_tree), tree_listing(self.bundle))

    def test_a_launcher_folder_this_user_cannot_change_keeps_the_launcher_and_updates_the_game(self):
        apps = shlex.quote(self.apps)
        read_only = ["mount --bind %s %s" % (apps, apps), "mount -o remount,ro,bind " + apps]
        region = ["--config", self.config, "--region", self.region]
        run = self.run_with_mounts(read_only, [region + self.args(LAUNCHER_OLD, "--check")])
        self.assertEqual("UPDATE_CHECK launcher=current client=available:2026.12.1 world=%s" % WORLD, run.lines[-1])
        self.assertTrue(any("is read-only" in line and LAUNCHER_NEW in line for line in run.lines[:-1]), run.text)
        # The update installs the client (the step fails the test otherwise), and Play starts it.
        run = self.run_with_mounts(read_only, [region + self.args(LAUNCHER_OLD, "--update-only"), region + self.args(LAUNCHER_OLD)])
        self.assertEqual((0, "Starting Thornwake\u2026"), (run.status, run.lines[-1]), run.text)
        self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle))

    def test_a_launcher_relaunched_from_the_offered_version_does_not_install_it_again(self):
        # The launcher reports another version than the one installed before the relaunch.
        looping = self.args(LAUNCHER_OLD, "--relaunched-from", LAUNCHER_NEW)
        run = self.run_updater(*looping + ["--check"], config=self.config)
        self.assertEqual("UPDATE_CHECK launcher=current client=available:2026.12.1 world=%s" % WORLD, run.lines[-1])
        self.assertTrue(any(LAUNCHER_NEW in line and "not installed again" in line for line in run.lines[:-1]), run.text)
        for mode in ("--update-only", None):
            with self.subTest(mode=mode):
                run = self.run_updater(*looping + ([mode] if mode else []), config=self.config)
                self.assertEqual(0, run.status, run.text)
                self.assertFalse([line for line in run.lines if "aunch" in line and "not installed again" not in line], run.text)
        self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle))
        self.assertEqual([], self.leftovers())

    def test_play_installs_the_launcher_instead_of_starting_the_game_and_plays_when_offline(self):
        run = self.run_updater(*self.args(LAUNCHER_NEW, "--update-only"), config=self.config)
        self.assertEqual(0, run.status, run.text)
        run = self.run_updater(*self.args(LAUNCHER_OLD, "--", "--windowed"), config=self.config)
        self.assertEqual(0, run.status, run.text)
        self.assertEqual([INSTALLED_AT + self.bundle, RESTARTING], run.lines[-2:])
        self.assertNotIn("Starting Thornwake\u2026", run.lines)
        self.assertFalse(os.path.exists(os.path.join(self.region_dir, "args.txt")), "the game did not run")

        run = self.run_updater(*self.args(LAUNCHER_NEW, "--relaunched-from", LAUNCHER_OLD), config=self.config)
        self.assertEqual(["Client 2026.12.1 is current.", "Starting Thornwake\u2026"], run.lines)
        self.server.stop()
        run = self.run_updater(*self.args(LAUNCHER_OLD), config=self.config)
        self.assertEqual((0, "Starting Thornwake\u2026"), (run.status, run.lines[-1]), run.text)
        self.assertTrue(any(line.startswith("The launcher was not updated") for line in run.lines), run.text)

    def test_a_bundle_that_is_not_the_offered_version_is_refused_and_the_running_one_kept(self):
        # Published around the publisher's own check: the manifest says NEW, the Info.plist OLD.
        wrong = make_bundle(os.path.join(self.tmp, "wrong", "Thornwake Launcher.app"), LAUNCHER_OLD, "c")
        ref, _, _ = publish.publish_tree(self.feed.root, wrong, "launcher", version=LAUNCHER_NEW)
        draft = publish.load_draft(self.feed.root, self.region)
        draft["launcher"] = {"version": LAUNCHER_NEW, "manifest": ref.to_json()}
        publish.save_draft(self.feed.root, draft)
        self.feed.sign()

        run = self.run_updater(*self.args(LAUNCHER_OLD, "--update-only"), config=self.config)
        self.assertEqual(1, run.status, run.text)
        self.assertIn("not the version it claims to be", run.lines[-1])
        self.assertNotIn(RESTARTING, run.lines)
        self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle))
        self.assertEqual([], self.leftovers(), "no staging directory or .old left behind")


class SwapTest(SelfUpdateTestCase):
    def test_a_failed_swap_puts_the_running_bundle_back_and_a_cut_one_is_recovered(self):
        stale = self.bundle + ".old"
        os.makedirs(os.path.join(stale, "Contents"))
        with self.assertRaises(OSError):
            selfupdate.swap(self.bundle, os.path.join(self.apps, ".missing-staging"))
        self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle))

        # What a kill between the two renames leaves: no bundle, the whole old one beside it.
        os.rename(self.bundle, stale)
        self.assertTrue(selfupdate.recover(self.bundle))
        self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle))
        self.assertFalse(selfupdate.recover(self.bundle), "nothing to do while the bundle is there")

    def test_the_swap_is_one_atomic_exchange_where_the_system_has_one_and_two_renames_elsewhere(self):
        def refused_by_the_file_system():
            def call(a, b):
                ctypes.set_errno(errno.EINVAL)
                return -1

            return call

        self.assertIsNotNone(selfupdate._exchange_call(), "this system exchanges two paths atomically")
        cases = [
            ("exchange", selfupdate._exchange_call, 1),
            ("no exchange call", lambda: None, 2),
            ("a file system without exchange", refused_by_the_file_system, 2),
        ]
        for name, lookup, renames in cases:
            with self.subTest(name):
                shutil.rmtree(self.bundle + ".old", ignore_errors=True)
                staged = selfupdate.staging_prefix(self.bundle) + "0123"
                shutil.copytree(self.new_tree, staged, symlinks=True)
                with mock.patch.object(selfupdate, "_exchange_call", lookup), \
                        mock.patch.object(selfupdate.os, "rename", wraps=os.rename) as rename:
                    selfupdate.swap(self.bundle, staged)
                self.assertEqual(renames, rename.call_count)
                self.assertEqual(tree_listing(self.new_tree), tree_listing(self.bundle))
                self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle + ".old"))
                self.assertEqual(["Thornwake Launcher.app.old"], self.leftovers())
                # The next case swaps the old bundle in again.
                self.old_tree, self.new_tree = self.new_tree, self.old_tree

    def test_bundle_checks(self):
        cases = {
            "matching": (LAUNCHER_OLD, None, None),
            "other version": (LAUNCHER_NEW, None, "CFBundleVersion"),
            "no Info.plist": (LAUNCHER_OLD, "Contents/Info.plist", "Info.plist"),
            "program missing": (LAUNCHER_OLD, "Contents/MacOS/thornwake-launcher", "no executable"),
        }
        for name, (version, remove, error) in cases.items():
            with self.subTest(name):
                root = os.path.join(self.tmp, "check-" + name.replace(" ", "-"))
                shutil.copytree(self.old_tree, root, symlinks=True)
                if remove:
                    os.unlink(os.path.join(root, *remove.split("/")))
                if error is None:
                    selfupdate.check_bundle(root, version)
                    continue
                with self.assertRaises(FeedRejected) as caught:
                    selfupdate.check_bundle(root, version)
                self.assertIn(error, caught.exception.detail)
        root = os.path.join(self.tmp, "check-not-executable")
        shutil.copytree(self.old_tree, root, symlinks=True)
        os.chmod(os.path.join(root, "Contents", "MacOS", "thornwake-launcher"), 0o644)
        with self.assertRaises(FeedRejected):
            selfupdate.check_bundle(root, LAUNCHER_OLD)


KILLS = 14


class KillDuringSwapTest(SelfUpdateTestCase):
    def test_sigkill_always_leaves_a_runnable_bundle_that_the_next_run_restores(self):
        # A larger bundle, so building and checking it takes a measurable while.
        shutil.rmtree(self.bundle)
        self.old_tree = make_bundle(os.path.join(self.tmp, "old-big", "Thornwake Launcher.app"), LAUNCHER_OLD, "a", count=300)
        self.new_tree = make_bundle(os.path.join(self.tmp, "new-big", "Thornwake Launcher.app"), LAUNCHER_NEW, "b", count=300)
        self.feed.add_launcher(self.new_tree, LAUNCHER_NEW)
        self.feed.sign()
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, self.feed.root, [KEY_A])])
        argv = [PYTHON, SCRIPT, "--config", config, "--region", self.region] + self.args(LAUNCHER_OLD, "--update-only")
        listings = {"old": tree_listing(self.old_tree), "new": tree_listing(self.new_tree)}

        def reset():
            for path in (self.bundle, self.bundle + ".old"):
                shutil.rmtree(path, ignore_errors=True)
            shutil.copytree(self.old_tree, self.bundle, symlinks=True)

        def start():
            process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env())
            for raw in process.stdout:
                if raw.decode("utf-8").startswith("Verifying and installing launcher"):
                    return process
            process.wait()
            self.fail("the update ended before installing")

        # How long installing takes, from the line before the swap to the end of the run.
        windows = []
        for _ in range(2):
            reset()
            process = start()
            started = time.monotonic()
            process.stdout.read()
            process.stdout.close()
            self.assertEqual(0, process.wait())
            windows.append(time.monotonic() - started)
        window = min(windows)

        seed = int(time.time())
        chance = random.Random(seed)
        outcomes = {"old": 0, "new": 0, "cut": 0}
        interrupted = 0
        for attempt in range(KILLS):
            reset()
            process = start()
            time.sleep(chance.uniform(0, window))
            interrupted += process.poll() is None
            process.kill()
            process.wait()
            process.stdout.close()
            at_path = tree_listing(self.bundle) if os.path.isdir(self.bundle) else None
            at_old = tree_listing(self.bundle + ".old") if os.path.isdir(self.bundle + ".old") else None
            where = "kill %d (seed %d, %.3fs window)" % (attempt, seed, window)
            if at_path is None:
                self.assertEqual(listings["old"], at_old, where)
                outcomes["cut"] += 1
            else:
                self.assertIn(at_path, listings.values(), where)
                outcomes["old" if at_path == listings["old"] else "new"] += 1
            # Whatever the kill left, the next run starts from a whole bundle at the path.
            run = self.run_updater(*self.args(LAUNCHER_OLD, "--check"), config=config)
            self.assertEqual(0, run.status, run.text)
            self.assertIn(tree_listing(self.bundle), listings.values(), where)
        # Most kills must land inside a run, or the test proves little.
        self.assertGreaterEqual(interrupted, KILLS // 2, "seed %d: %s" % (seed, outcomes))

        # A kill between the two renames is too brief to hit by chance; its state is made directly.
        reset()
        os.rename(self.bundle, self.bundle + ".old")
        for mode in ("--check", "--update-only"):
            with self.subTest(mode=mode):
                run = self.run_updater(*self.args(LAUNCHER_OLD, mode), config=config)
                self.assertEqual(0, run.status, run.text)
                self.assertEqual(listings["old" if mode == "--check" else "new"], tree_listing(self.bundle))
                if mode == "--check":
                    os.rename(self.bundle, self.bundle + ".old")

        run = self.run_updater(*self.args(LAUNCHER_OLD, "--update-only"), config=config)
        self.assertEqual(0, run.status, run.text)
        self.assertEqual(listings["new"], tree_listing(self.bundle))
        self.assertEqual(["Thornwake Launcher.app.old"], self.leftovers(), "staging leftovers were removed")


def publish_cli(*args):
    completed = subprocess.run([PYTHON, PUBLISHER] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    return completed.returncode, completed.stdout.decode(), completed.stderr.decode()


if __name__ == "__main__":
    unittest.main()
