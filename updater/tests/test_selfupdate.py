"""The launcher replacing its own bundle: the swap, its checks, recovery after a kill, play runs."""

import ctypes
import errno
import os
import shlex
import shutil
import subprocess
from unittest import mock

from support import (LAUNCHER_NEW, LAUNCHER_OLD, PUBLISHER, PYTHON, SCRIPT, WORLD, ServedFeedTestCase,
                     bundle_files, make_bundle, make_tree, publish, release_files, tree_listing)

from thornwake_updater import selfupdate
from thornwake_updater.errors import FeedRejected

INSTALLED_AT = "Launcher installed at "
RESTARTING = "Installed launcher %s. Restarting\u2026" % LAUNCHER_NEW
STARTING = "Starting Thornwake\u2026"


class SelfUpdateTestCase(ServedFeedTestCase):
    def setUp(self, count=20):
        super().setUp()
        self.feed.add_client(make_tree(os.path.join(self.tmp, "client"), release_files("a")), "2026.12.1")
        # The new bundle differs from the old one in its Info.plist, one framework binary and two data files.
        self.new_tree = make_bundle(os.path.join(self.tmp, "new", "Thornwake Launcher.app"), LAUNCHER_NEW, "b", count=count)
        self.old_tree = make_bundle(os.path.join(self.tmp, "old", "Thornwake Launcher.app"), LAUNCHER_OLD, "a", count=count)
        self.apps = os.path.join(self.tmp, "Applications")
        self.bundle = os.path.join(self.apps, "Thornwake Launcher.app")
        shutil.copytree(self.old_tree, self.bundle, symlinks=True)

    def args(self, version=LAUNCHER_OLD, *extra):
        return ["--launcher-bundle", self.bundle, "--launcher-version", version] + list(extra)

    def leftovers(self):
        return sorted(name for name in os.listdir(self.apps) if name != "Thornwake Launcher.app")


class SwapTest(SelfUpdateTestCase):
    def test_the_swap_is_one_exchange_where_the_system_has_one_and_a_failed_one_keeps_the_running_bundle(self):
        self.assertIsNotNone(selfupdate._exchange_call(), "this system exchanges two paths atomically")
        cases = [
            # name, the exchange the system offers, whether a bundle is staged, renames made
            ("exchange", selfupdate._exchange_call, True, 1),
            ("no exchange call", lambda: None, True, 2),
            # The call fails with EINVAL, as it does on a file system that cannot exchange.
            ("a file system without exchange", lambda: lambda a, b: (ctypes.set_errno(errno.EINVAL), -1)[1], True, 2),
            ("exchange, nothing staged", selfupdate._exchange_call, False, 0),
            ("no exchange, nothing staged", lambda: None, False, 3),
        ]
        for name, lookup, staged_there, renames in cases:
            with self.subTest(name):
                os.makedirs(os.path.join(self.bundle + ".old", "Contents"), exist_ok=True)  # a stale one goes first
                staged = selfupdate.staging_prefix(self.bundle) + "0123"
                if staged_there:
                    shutil.copytree(self.new_tree, staged, symlinks=True)
                with mock.patch.object(selfupdate, "_exchange_call", lookup), \
                        mock.patch.object(selfupdate.os, "rename", wraps=os.rename) as rename:
                    try:
                        selfupdate.swap(self.bundle, staged)
                    except OSError:
                        self.assertFalse(staged_there)
                self.assertEqual(renames, rename.call_count)
                if staged_there:
                    self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle + ".old"))
                    self.assertEqual(["Thornwake Launcher.app.old"], self.leftovers())
                    # The next case swaps the old bundle in again.
                    self.old_tree, self.new_tree = self.new_tree, self.old_tree
                self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle))

    def test_bundle_checks(self):
        # A bundle of another version is refused in the run below.
        for spoil, error in (("Contents/Info.plist", "Info.plist"), ("Contents/MacOS/thornwake-launcher", "no executable"),
                             ("chmod", "no executable")):
            with self.subTest(spoil):
                root = shutil.copytree(self.old_tree, os.path.join(self.tmp, spoil.replace("/", "-")), symlinks=True)
                program = os.path.join(root, "Contents", "MacOS", "thornwake-launcher")
                os.chmod(program, 0o644) if spoil == "chmod" else os.unlink(os.path.join(root, *spoil.split("/")))
                with self.assertRaises(FeedRejected) as caught:
                    selfupdate.check_bundle(root, LAUNCHER_OLD)
                self.assertIn(error, caught.exception.detail)


class SelfUpdateRunTest(SelfUpdateTestCase):
    def publish_launcher(self):
        # The operator's command line, with a real bundle tree.
        completed = subprocess.run([PYTHON, PUBLISHER, "add-launcher", self.feed.root, "--region", self.region,
                                    "--version", LAUNCHER_NEW, self.new_tree], capture_output=True, timeout=60)
        self.assertEqual(0, completed.returncode, completed.stderr)
        self.feed.sign()

    def test_the_bundle_is_replaced_by_update_or_play_keeping_the_old_one_and_the_relaunched_one_goes_on(self):
        # Published around the publisher's own check: the manifest says NEW, the Info.plist OLD.
        wrong = make_bundle(os.path.join(self.tmp, "wrong", "Thornwake Launcher.app"), LAUNCHER_OLD, "c")
        ref = publish.publish_tree(publish.FeedDirectory(self.feed.root), wrong, "launcher", version=LAUNCHER_NEW)[0]
        draft = publish.load_draft(self.feed.root, self.region)
        publish.save_draft(self.feed.root, dict(draft, launcher={"version": LAUNCHER_NEW, "manifest": ref.to_json()}))
        self.feed.sign()
        run = self.run_mode(*self.args(LAUNCHER_OLD, "--update-only"))
        self.assertEqual(1, run.status, run.text)
        self.assertIn("not the version it claims to be", run.lines[-1])
        self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle))
        self.assertEqual([], self.leftovers(), "no staging directory or .old left behind")

        self.publish_launcher()
        self.golden("check_launcher_available", self.run_mode(*self.args(LAUNCHER_OLD, "--check")), "check")
        for mode in (["--update-only"], ["--", "--windowed"]):
            with self.subTest(mode=mode):
                for path in (self.bundle + ".old", self.bundle):
                    shutil.rmtree(path, ignore_errors=True)
                shutil.copytree(self.old_tree, self.bundle, symlinks=True)
                self.server.reset()
                run = self.run_mode(*self.args(LAUNCHER_OLD, *mode))
                self.assertEqual((0, [INSTALLED_AT + self.bundle, RESTARTING]), (run.status, run.lines[-2:]), run.text)
                self.assertEqual(tree_listing(self.new_tree), tree_listing(self.bundle))
                self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle + ".old"))
                self.assertEqual(["Thornwake Launcher.app.old"], self.leftovers())
                # Files the running bundle already had were taken from it: the manifest and one range of
                # the pack with the Info.plist, framework binary and two data files that changed.
                self.assertEqual(2, len(self.server.object_requests()), self.server.httpd.requests)
                self.assertLess(self.server.object_bytes(), sum(map(len, bundle_files(LAUNCHER_NEW, "b").values())) / 2)

        # The relaunched launcher: current itself, it goes on with the client; offline, play starts the game.
        relaunched = self.args(LAUNCHER_NEW, "--relaunched-from", LAUNCHER_OLD)
        run = self.run_mode(*relaunched + ["--check"])
        self.assertEqual("UPDATE_CHECK launcher=current client=available:2026.12.1 world=%s" % WORLD, run.lines[-1])
        run = self.run_mode(*relaunched + ["--update-only"])
        self.assertEqual((0, "Installed client 2026.12.1."), (run.status, run.lines[-1]), run.text)
        self.server.stop()
        run = self.run_mode(*self.args(LAUNCHER_OLD))
        self.assertEqual((0, STARTING), (run.status, run.lines[-1]), run.text)
        self.assertTrue(any(line.startswith("The launcher was not updated") for line in run.lines), run.text)

    def test_a_launcher_folder_this_user_cannot_change_keeps_the_launcher_and_updates_the_game(self):
        self.publish_launcher()
        apps = shlex.quote(self.apps)
        region = ["--config", self.config, "--region", self.region]
        run = self.run_with_mounts(["mount --bind %s %s" % (apps, apps), "mount -o remount,ro,bind " + apps],
                                   [region + self.args(LAUNCHER_OLD, mode) for mode in ("--check", "--update-only", "--")])
        self.assertIn("UPDATE_CHECK launcher=current client=available:2026.12.1 world=%s" % WORLD, run.lines)
        self.assertTrue(any("is read-only" in line and LAUNCHER_NEW in line for line in run.lines), run.text)
        self.assertEqual(["Installed client 2026.12.1.", "Client 2026.12.1 is current.", STARTING], run.lines[-3:])
        self.assertEqual(tree_listing(self.old_tree), tree_listing(self.bundle))


class KillDuringSwapTest(SelfUpdateTestCase):
    def setUp(self):
        # A larger bundle, so building and checking it takes a measurable while.
        super().setUp(count=150)

    def test_sigkill_always_leaves_a_runnable_bundle_that_the_next_run_restores(self):
        self.feed.add_launcher(self.new_tree, LAUNCHER_NEW)
        self.feed.sign()
        listings = [tree_listing(self.old_tree), tree_listing(self.new_tree)]

        def start():
            # An update from the old bundle, up to the line before it builds, checks and swaps in the new one.
            for path in (self.bundle, self.bundle + ".old"):
                shutil.rmtree(path, ignore_errors=True)
            shutil.copytree(self.old_tree, self.bundle, symlinks=True)
            argv = [PYTHON, SCRIPT, "--config", self.config, "--region", self.region] + self.args(LAUNCHER_OLD, "--update-only")
            return self.start_until(argv, "Verifying and installing launcher\u2026")

        def check(where):
            if not os.path.isdir(self.bundle):
                # Cut between two renames: the whole old bundle beside the path, which the next run puts back.
                self.assertEqual(listings[0], tree_listing(self.bundle + ".old"), where)
                self.assertEqual(0, self.run_mode(*self.args(LAUNCHER_OLD, "--check")).status)
            self.assertIn(tree_listing(self.bundle), listings, where)

        self.kill_spread(start, 6, check)
        # A kill between the two renames is too brief to hit by chance; its state is made directly.
        for mode, expected in (("--check", 0), ("--update-only", 1)):
            with self.subTest(mode=mode):
                for path in (self.bundle, self.bundle + ".old"):
                    shutil.rmtree(path, ignore_errors=True)
                shutil.copytree(self.old_tree, self.bundle + ".old", symlinks=True)
                run = self.run_mode(*self.args(LAUNCHER_OLD, mode))
                self.assertEqual(0, run.status, run.text)
                self.assertEqual(listings[expected], tree_listing(self.bundle))
        self.assertEqual(["Thornwake Launcher.app.old"], self.leftovers(), "staging leftovers were removed")
