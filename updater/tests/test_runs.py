"""Check, update and play runs of the real script against a loopback server and file feeds."""

import os
import shlex
import shutil
import signal
import subprocess
import time

from support import (
    KEY_A,
    LAUNCHER_NEW,
    LAUNCHER_OLD,
    PYTHON,
    SCRIPT,
    UPDATER_DIR,
    WORLD,
    WORLD_2,
    Feed,
    FeedServer,
    UpdaterTestCase,
    installed_is_intact,
    make_bundle,
    make_tree,
    noise,
    release_files,
    tree_listing,
    write_config,
)


class HttpFeedTest(UpdaterTestCase):
    def setUp(self):
        super().setUp()
        self.feed = Feed(os.path.join(self.tmp, "feed"))
        self.tree_a = make_tree(os.path.join(self.tmp, "tree-a"), release_files("a"), links={"bin/data": "../data"})
        self.server = FeedServer(self.feed.root)
        self.addCleanup(self.server.stop)
        self.config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, self.server.url, [KEY_A])])
        self.port = (str(self.server.httpd.server_address[1]), "<port>")

    def check(self, *extra):
        return self.run_updater(*(list(extra) + ["--check"]), config=self.config)

    def update(self, *extra):
        return self.run_updater(*(list(extra) + ["--update-only"]), config=self.config)

    def test_first_install_then_everything_is_current(self):
        self.feed.publish_client(self.tree_a, "2026.12.1")

        run = self.check()
        self.assertEqual(0, run.status)
        self.assertEqual(["UPDATE_CHECK launcher=unpackaged client=available:2026.12.1 world=%s" % WORLD], run.lines)
        self.golden("check_client_available", run, "check")

        run = self.update()
        self.assertEqual(0, run.status, run.text)
        self.assertEqual("Updating to client 2026.12.1 (", run.lines[0][:30])
        self.assertTrue(run.lines[0].endswith(")\u2026"))
        progress = [line for line in run.lines if line.startswith("Downloading client: ")]
        self.assertEqual("Downloading client: 0%", progress[0])
        self.assertEqual("Downloading client: 100%", progress[-1])
        values = [int(line[20:-1]) for line in progress]
        self.assertEqual(sorted(set(values)), values, "percentages rise and never repeat")
        self.assertEqual(["Verifying and installing client\u2026", "Installed client 2026.12.1."], run.lines[-2:])
        self.golden("update_install", run, "update")

        current = self.current()
        self.assertEqual(
            {"releaseId": "2026.12.1", "sourceRevision": current["sourceRevision"], "worldVersion": WORLD},
            {k: current[k] for k in ("releaseId", "sourceRevision", "worldVersion")},
        )
        self.assertEqual(("2026.12.1", True), installed_is_intact(self.region_dir))
        tree = os.path.join(self.region_dir, "releases", current["releaseDirectory"])
        self.assertTrue(os.access(os.path.join(tree, "bin", "game"), os.X_OK))
        self.assertFalse(os.access(os.path.join(tree, "data", "text.txt"), os.X_OK))
        self.assertEqual("../data", os.readlink(os.path.join(tree, "bin", "data")))

        run = self.check()
        self.assertEqual(["UPDATE_CHECK launcher=unpackaged client=current world=%s" % WORLD], run.lines)
        self.golden("check_current", run, "check")

        self.server.requests.clear()
        run = self.update()
        self.assertEqual((0, ["Client 2026.12.1 is current."]), (run.status, run.lines))
        self.assertEqual([], self.server.object_requests(), "an unchanged release downloads nothing")
        self.assertEqual(["/feed.json", "/feed.json.sig"], self.server.requests)
        self.golden("update_current", run, "update")

    def test_launcher_value_follows_bundle_feed_and_self_update_permission(self):
        self.feed.publish_client(self.tree_a, "2026.12.1")
        bundle = make_bundle(os.path.join(self.tmp, "Thornwake Launcher.app"), LAUNCHER_OLD)
        packaged = ["--launcher-bundle", bundle, "--launcher-version", LAUNCHER_OLD]
        self.assertEqual("launcher=unconfigured", self.check(*packaged).lines[0].split()[1])

        self.feed.add_launcher(make_bundle(os.path.join(self.tmp, "launcher"), LAUNCHER_NEW), LAUNCHER_NEW)
        self.feed.sign()
        missing = os.path.join(self.tmp, "Missing.app")
        cases = [
            ([], "unpackaged"),
            (["--launcher-bundle", missing, "--launcher-version", LAUNCHER_OLD], "unpackaged"),
            (["--launcher-bundle", self.tmp, "--launcher-version", LAUNCHER_OLD], "unpackaged"),
            (packaged, "available:" + LAUNCHER_NEW),
            (packaged + ["--no-self-update"], "current"),
            (packaged + ["--relaunched-from", LAUNCHER_OLD], "available:" + LAUNCHER_NEW),
            (["--launcher-bundle", bundle, "--launcher-version", LAUNCHER_NEW], "current"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                run = self.check(*args)
                self.assertEqual(0, run.status)
                self.assertEqual("launcher=" + expected, run.lines[0].split()[1])
        run = self.check(*packaged)
        self.golden("check_launcher_available", run, "check")

    def test_damaged_install_is_reported_and_repaired_with_only_the_missing_object(self):
        self.feed.publish_client(self.tree_a, "2026.12.1")
        self.assertEqual(0, self.update().status)
        tree = os.path.join(self.region_dir, "releases", self.current()["releaseDirectory"])
        os.unlink(os.path.join(tree, "data", "a", "part002.bin"))
        with open(os.path.join(tree, "data", "text.txt"), "ab") as handle:
            handle.write(b"x")

        self.assertEqual("client=available:2026.12.1", self.check().lines[0].split()[2])
        self.server.requests.clear()
        run = self.update()
        self.assertEqual(0, run.status, run.text)
        self.assertEqual(2, len(self.server.object_requests()), self.server.requests)
        self.assertEqual(("2026.12.1", True), installed_is_intact(self.region_dir))
        self.assert_only_current_release()

    def test_new_release_downloads_only_new_objects_and_retires_the_old_one(self):
        self.feed.publish_client(self.tree_a, "2026.12.1")
        self.assertEqual(0, self.update().status)
        files = release_files("a")
        files.update({"data/b/new.bin": b"new content " * 100})
        del files["data/a/part005.bin"]
        tree_b = make_tree(os.path.join(self.tmp, "tree-b"), files)
        self.feed.publish_client(tree_b, "2027.01.1", world=WORLD_2)
        self.assertEqual(["UPDATE_CHECK launcher=unpackaged client=available:2027.01.1 world=%s" % WORLD_2], self.check().lines)

        self.server.requests.clear()
        run = self.update()
        self.assertEqual(0, run.status, run.text)
        objects = self.server.object_requests()
        self.assertEqual(2, len(objects), "the manifest and the one new file: %s" % objects)
        self.assertEqual(("2027.01.1", True), installed_is_intact(self.region_dir))
        self.assertEqual(WORLD_2, self.current()["worldVersion"])
        self.assert_only_current_release("old release removed")

    def test_unreachable_server(self):
        self.feed.publish_client(self.tree_a, "2026.12.1")
        self.server.stop()
        self.addCleanup(lambda: None)
        run = self.check()
        self.assertEqual(1, run.status)
        self.assertTrue(run.lines[-1].startswith("Thornwake launcher error: The update server could not be reached and Thornwake is not installed"))
        self.assertFalse(os.path.exists(os.path.join(self.region_dir, "current.json")))
        self.golden("check_offline_nothing_installed", run, "check", self.port)

    def test_unreachable_server_with_installed_game_offers_play(self):
        self.feed.publish_client(self.tree_a, "2026.12.1")
        self.assertEqual(0, self.update().status)
        self.server.stop()
        run = self.check()
        self.assertEqual(0, run.status)
        self.assertEqual("UPDATE_CHECK launcher=unknown client=unknown world=unknown", run.lines[-1])
        self.assertIn("The update server could not be reached; using the installed game.", run.lines)
        self.golden("check_offline_installed", run, "check", self.port)

        run = self.update()
        self.assertEqual(1, run.status)
        self.assertEqual(
            "Thornwake launcher error: The update server could not be reached. Check your internet connection and try again. "
            "Your installed game was not changed.",
            run.lines[-1],
        )
        self.golden("update_offline", run, "update", self.port)

    def test_server_errors_and_transfers_cut_short_count_as_unreachable(self):
        self.feed.publish_client(self.tree_a, "2026.12.1")
        self.assertEqual(0, self.update().status)

        def fail(handler):
            handler.send_error(503)

        def cut_short(handler):
            handler.send_file(handler.path, stop_after=40)

        for path, hook in (("/feed.json", fail), ("/feed.json", cut_short), ("/feed.json.sig", cut_short)):
            with self.subTest(path=path, hook=hook.__name__):
                self.server.httpd.hooks = {path: hook}
                run = self.check()
                self.assertEqual((0, "UPDATE_CHECK launcher=unknown client=unknown world=unknown"),
                                 (run.status, run.lines[-1]), run.text)


class PlayTest(UpdaterTestCase):
    def setUp(self):
        super().setUp()
        self.feed = Feed(os.path.join(self.tmp, "feed"))
        # A plain relative path: taken from the configuration file's directory.
        self.config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, "feed", [KEY_A])])

    def install(self):
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "tree"), release_files("a")), "2026.12.1")
        run = self.run_updater("--update-only", config=self.config)
        self.assertEqual(0, run.status, run.text)

    def test_play_starts_the_game_with_its_arguments_and_reports_its_status(self):
        self.install()
        game_args = ["--", "--check", "two words", "", "--update-only"]
        run = self.run_updater("--", *game_args, config=self.config)
        self.assertEqual(0, run.status, run.text)
        self.assertEqual(["Client 2026.12.1 is current.", "Starting Thornwake\u2026"], run.lines)
        self.golden("play_started", run, "play")
        with open(os.path.join(self.region_dir, "args.txt")) as handle:
            self.assertEqual(game_args, handle.read().split("\n")[:-1])
        with open(os.path.join(self.region_dir, "game.log")) as handle:
            self.assertIn("game output line", handle.read(), "game output goes to the game log, not the pipe")

        for end, status in (("fail", 7), ("term", 128 + signal.SIGTERM)):
            with self.subTest(end=end):
                run = self.run_updater(config=self.config, THORNWAKE_TEST_END=end)
                self.assertEqual(status, run.status)
                self.assertEqual("Starting Thornwake\u2026", run.lines[-1])
                if end == "fail":
                    self.golden("play_game_failed", run, "play")

    def test_a_stop_request_right_after_the_start_line_reaches_the_game(self):
        self.install()
        # A play run whose output stream asks the run to stop the moment it prints the start line.
        driver = (
            "import os, signal, sys\n"
            "sys.path.insert(0, sys.argv[1])\n"
            "from thornwake_updater import output, play\n"
            "class Stream:\n"
            "    def write(self, text):\n"
            "        sys.stdout.write(text)\n"
            "        if text.startswith('Starting Thornwake'):\n"
            "            os.kill(os.getpid(), signal.SIGTERM)\n"
            "    def flush(self):\n"
            "        sys.stdout.flush()\n"
            "sys.exit(play.run_play(sys.argv[2], [], output.Output(Stream())))\n"
        )
        run = subprocess.run([PYTHON, "-c", driver, UPDATER_DIR, self.region_dir], stdout=subprocess.PIPE,
                             env=self.env(THORNWAKE_TEST_END="wait"), timeout=30)
        self.assertIn(b"Starting Thornwake\xe2\x80\xa6\n", run.stdout)
        # The game's own status: its handler's 3, or 128 + 15 when the request came before it had one.
        self.assertIn(run.returncode, (3, 128 + signal.SIGTERM), "not the game's status: %d" % run.returncode)

    def test_a_full_disk_does_not_keep_the_game_from_starting(self):
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "tree"), release_files("a")), "2026.12.1")
        region = ["--config", self.config, "--region", self.region]
        run = self.run_with_mounts(
            ["mount -t tmpfs -o size=80m tmpfs " + shlex.quote(self.home)],
            # The install needs room for itself and a margin; then the disk is filled.
            [region + ["--update-only"], "cat /dev/zero > " + shlex.quote(os.path.join(self.home, "filler")), region],
        )
        self.assertEqual(0, run.status, run.text)
        self.assertEqual("Starting Thornwake\u2026", run.lines[-1])
        self.assertTrue(any("game.log could not be written (No space left on device)" in line for line in run.lines), run.text)

    def test_play_without_a_complete_installed_game_is_an_error(self):
        run = self.run_updater("--", "x", config=self.config)
        self.assertEqual(1, run.status)
        self.assertEqual(
            ["Thornwake launcher error: Thornwake is not installed for this region yet. Update the game, then press Play."],
            run.lines,
        )
        self.golden("play_not_installed", run, "play")

        self.install()
        tree = os.path.join(self.region_dir, "releases", self.current()["releaseDirectory"])
        os.unlink(os.path.join(tree, "data", "shared.bin"))
        run = self.run_updater(config=self.config)
        self.assertEqual(1, run.status)
        self.assertIn("incomplete or damaged", run.lines[-1])
        self.assertNotIn("Starting Thornwake\u2026", run.lines)

    def test_game_that_cannot_start_is_an_error(self):
        self.install()
        tree = os.path.join(self.region_dir, "releases", self.current()["releaseDirectory"])
        game = os.path.join(tree, "bin", "game")
        with open(game, "r+b") as handle:
            handle.write(b"#!/nonexistent/interpreter\n"[: len(b"#!/bin/sh\n")])
        run = self.run_updater(config=self.config)
        self.assertEqual(1, run.status)
        self.assertTrue(run.lines[-1].startswith("Thornwake launcher error: Thornwake could not be started"), run.text)
        self.assertNotIn("Starting Thornwake\u2026", run.lines)


class UpdateWhilePlayingTest(UpdaterTestCase):
    def test_an_update_while_the_game_runs_keeps_its_release_and_saves_until_the_game_ends(self):
        feed = Feed(os.path.join(self.tmp, "feed"))
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, feed.root, [KEY_A])])
        trees = {}
        for release in ("a", "b"):
            trees[release] = make_tree(os.path.join(self.tmp, "tree-" + release), release_files(release))
            os.mkdir(os.path.join(trees[release], "saves"))
        feed.publish_client(trees["a"], "a")
        self.assertEqual(0, self.run_updater("--update-only", config=config).status)
        old = os.path.join(self.region_dir, "releases", self.current()["releaseDirectory"])

        play = subprocess.Popen([PYTHON, SCRIPT, "--config", config, "--region", self.region], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, env=self.env(THORNWAKE_TEST_END="hold"))
        self.addCleanup(play.wait)
        self.addCleanup(play.stdout.close)
        lines = [play.stdout.readline().decode("utf-8").rstrip("\n") for _ in range(2)]
        self.assertEqual(["Client a is current.", "Starting Thornwake\u2026"], lines)
        deadline = time.monotonic() + 20
        while not os.path.exists(os.path.join(self.region_dir, "playing")) and time.monotonic() < deadline:
            time.sleep(0.02)

        feed.publish_client(trees["b"], "b")
        run = self.run_updater("--update-only", config=config)
        self.assertEqual((0, "Installed client b."), (run.status, run.lines[-1]), run.text)
        self.assertTrue(os.path.isdir(old), "the running game's release is kept")

        with open(os.path.join(self.region_dir, "stop"), "w"):
            pass
        self.assertEqual(0, play.wait(timeout=30))
        with open(os.path.join(self.region_dir, "reads.txt")) as handle:
            self.assertEqual("read\n", handle.read(), "the game could still read its files")
        # The play run retired it once the game had ended, and kept what the game had saved in it.
        self.assertFalse(os.path.exists(old))
        self.assert_only_current_release()
        saves = os.path.join(self.region_dir, "releases", self.current()["releaseDirectory"], "saves")
        self.assertEqual(["early.sav", "late.sav"], sorted(os.listdir(saves)))


class FileFeedTest(UpdaterTestCase):
    def test_file_url_feed_installs_and_second_update_copies_nothing(self):
        feed = Feed(os.path.join(self.tmp, "feed dir"))
        feed.publish_client(make_tree(os.path.join(self.tmp, "tree"), release_files("a")), "2026.12.1")
        url = "file://" + feed.root.replace(" ", "%20") + "/"
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, url, [KEY_A])])
        run = self.run_updater("--update-only", config=config)
        self.assertEqual(0, run.status, run.text)
        self.assertEqual(("2026.12.1", True), installed_is_intact(self.region_dir))
        # Removing the objects proves the second update needs none of them.
        shutil.rmtree(os.path.join(feed.root, "objects"))
        run = self.run_updater("--update-only", config=config)
        self.assertEqual((0, ["Client 2026.12.1 is current."]), (run.status, run.lines))
        self.assertEqual("UPDATE_CHECK launcher=unpackaged client=current world=%s" % WORLD,
                         self.run_updater("--check", config=config).lines[0])

    def test_xdg_data_home_chooses_the_support_directory(self):
        feed = Feed(os.path.join(self.tmp, "feed"))
        feed.publish_client(make_tree(os.path.join(self.tmp, "tree"), release_files("a", count=1)), "r1")
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, feed.root, [KEY_A])])
        data_home = os.path.join(self.tmp, "xdg")
        for value, root in ((data_home, data_home), ("relative/xdg", os.path.join(self.home, ".local", "share"))):
            with self.subTest(XDG_DATA_HOME=value):
                run = self.run_updater("--update-only", config=config, XDG_DATA_HOME=value)
                self.assertEqual(0, run.status, run.text)
                self.assertTrue(os.path.exists(os.path.join(root, "Thornwake", "client", "regions", self.region, "current.json")))


def _cached_object_link(test, outside):
    # A link in the cache to a file with the very content the update needs.
    ref = test.feed.store_object(test.b_only)
    os.makedirs(os.path.join(test.support, "client", "objects", ref.sha256[:2]), exist_ok=True)
    return os.path.join("objects", ref.sha256[:2], ref.sha256), os.path.join(outside, "copy.bin")


# Where a link is planted (below <support>/client) and what it leads to.
PLANTED = {
    "trash": lambda test, outside: ("trash", outside),
    "game.log": lambda test, outside: (os.path.join("regions", test.region, "game.log"),
                                       os.path.join(outside, "victim.log")),
    "cached object": _cached_object_link,
    "objects/tmp": lambda test, outside: (os.path.join("objects", "tmp"), outside),
}


class PlantedLinksTest(UpdaterTestCase):
    def test_links_planted_in_the_support_directory_are_never_followed(self):
        self.feed = Feed(os.path.join(self.tmp, "feed"))
        config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, self.feed.root, [KEY_A])])
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "tree-a"), release_files("a")), "a")
        self.assertEqual(0, self.run_updater("--update-only", config=config).status)
        self.b_only = noise("b-only", 5000)
        files = dict(release_files("a"), **{"data/b-only.bin": self.b_only})
        self.feed.add_client(make_tree(os.path.join(self.tmp, "tree-b"), files), "b")
        self.feed.sign()

        listings = {}
        for name, plant in PLANTED.items():
            outside = os.path.join(self.tmp, "outside", name)
            # What a link might lead to: files, a day-old one among them, and one with the needed content.
            make_tree(outside, {"victim.log": b"precious\n", "old.bin": b"old", "copy.bin": self.b_only,
                                "sub/keep.txt": b"keep"})
            two_days_ago = time.time() - 2 * 86400
            os.utime(os.path.join(outside, "old.bin"), (two_days_ago, two_days_ago))
            listings[name] = tree_listing(outside)
            where, target = plant(self, outside)
            where = os.path.join(self.support, "client", where)
            shutil.rmtree(where, ignore_errors=True)
            os.symlink(target, where)

        run = self.run_updater("--update-only", config=config)
        self.assertEqual((0, "Installed client b."), (run.status, run.lines[-1]), run.text)
        self.assertEqual(("b", True), installed_is_intact(self.region_dir))
        run = self.run_updater(config=config)
        self.assertEqual((0, "Starting Thornwake\u2026"), (run.status, run.lines[-1]), run.text)
        with open(os.path.join(self.region_dir, "game.log")) as handle:
            self.assertIn("game output line", handle.read())
        # The retired release is deleted by a process of its own: wait for it.
        trash = os.path.join(self.support, "client", "trash")
        deadline = time.monotonic() + 20
        while os.listdir(trash) and time.monotonic() < deadline:
            time.sleep(0.05)
        for name, listing in listings.items():
            with self.subTest(name):
                self.assertEqual(listing, tree_listing(os.path.join(self.tmp, "outside", name)))
