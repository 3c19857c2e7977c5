"""Feeds and releases that must be refused, leaving what is installed as it was."""

import json
import os
import shutil

from support import (
    KEY_A,
    SEED_A,
    SEED_B,
    Feed,
    FeedServer,
    UpdaterTestCase,
    installed_is_intact,
    make_tree,
    noise,
    past,
    release_files,
    write_config,
)

from thornwake_updater import ed25519

UNSIGNED = "not signed by a trusted Thornwake key"
UNSAFE = "release description is damaged or unsafe"


def tamper_feed(test):
    test.feed.publish_client(test.tree_b, "2027.01.1")
    path = os.path.join(test.feed.root, "feed.json")
    with open(path, "rb") as handle:
        data = handle.read()
    with open(path, "wb") as handle:
        handle.write(data.replace(b"2027.01.1", b"2027.01.2"))


def unknown_key(test):
    test.feed.publish_client(test.tree_b, "2027.01.1", seed=SEED_B)


def expired(test):
    test.feed.publish_client(test.tree_b, "2027.01.1", now=past(31), expires_days=30)


def lower_sequence(test):
    old = test.feed.snapshot()
    test.feed.publish_client(test.tree_b, "2027.01.1")
    test.assertEqual(0, test.check().status)  # sequence 2 accepted
    test.feed.restore(old)


def newer_format(test):
    test.feed.publish_client(test.tree_b, "2027.01.1")
    path = os.path.join(test.feed.root, "feed.json")
    with open(path, "rb") as handle:
        document = json.load(handle)
    document["format"] = 2
    data = json.dumps(document).encode("utf-8")
    with open(path, "wb") as handle:
        handle.write(data)
    with open(path + ".sig", "w") as handle:
        handle.write(ed25519.sign(SEED_A, data).hex() + "\n")


def other_region(test):
    other = Feed(os.path.join(test.tmp, "other-feed"), region="staging")
    other.publish_client(test.tree_b, "2027.01.1")
    for name in ("feed.json", "feed.json.sig"):
        shutil.copy(os.path.join(other.root, name), os.path.join(test.feed.root, name))
    shutil.copytree(os.path.join(other.root, "objects"), os.path.join(test.feed.root, "objects"), dirs_exist_ok=True)


def corrupt_object(test):
    test.feed.publish_client(test.tree_b, "2027.01.1")
    ref = test.feed.store_object(noise("b-only", 5000))
    path = os.path.join(test.feed.root, ref.relative_url())
    with open(path, "wb") as handle:
        handle.write(noise("something else", 5000))


def manifest_with(*entries):
    def publish(test):
        ref = test.feed.store_object(b"#!/bin/sh\nexit 0\n")
        game = {"path": "bin/game", "type": "file", "mode": 0o755}
        game.update(ref.to_json())
        files = [game]
        for entry in entries:
            entry = dict(entry)
            if entry.get("type", "file") == "file":
                entry.update(ref.to_json())
            files.append(entry)
        document = {"format": 1, "kind": "client", "releaseId": "2027.01.1", "executable": "bin/game", "files": files}
        test.feed.publish_manifest(document, "2027.01.1")

    return publish


CASES = [
    # name, how the bad release is published, whether the check already refuses it, error text
    ("tampered feed.json", tamper_feed, True, UNSIGNED),
    ("signature by an unknown key", unknown_key, True, UNSIGNED),
    ("expired feed", expired, True, "has expired"),
    ("lower sequence", lower_sequence, True, "older update information"),
    ("feed for another region", other_region, True, "for another region"),
    ("feed of a newer format", newer_format, True, "needs a newer Thornwake Launcher"),
    ("object that does not match its hash", corrupt_object, False, "did not match the signed release"),
    ("absolute manifest path", manifest_with({"path": "/tmp/evil"}), False, UNSAFE),
    ("manifest path with ..", manifest_with({"path": "data/../../../evil"}), False, UNSAFE),
    ("link leaving the tree", manifest_with({"path": "data", "type": "link", "target": "../../../.."}), False, UNSAFE),
    (
        "file written through a link",
        manifest_with({"path": "data", "type": "link", "target": "bin"}, {"path": "data/evil"}),
        False,
        UNSAFE,
    ),
    ("duplicate path differing in case", manifest_with({"path": "BIN/GAME"}), False, UNSAFE),
    # Under 1,024 characters but over 4,000 bytes: too long once placed in the support directory.
    ("path too long for this system", manifest_with({"path": "/".join(["\U0001d11e" * 63] * 16)}), False, UNSAFE),
]


class RejectionTest(UpdaterTestCase):
    def prepare(self, name):
        self.tmp = os.path.join(self.tmp_root, name.replace(" ", "-").replace(".", ""))
        os.makedirs(self.tmp)
        self.home = os.path.join(self.tmp, "home")
        self.support = os.path.join(self.home, ".local", "share", "Thornwake")
        self.region_dir = os.path.join(self.support, "client", "regions", self.region)
        self.feed = Feed(os.path.join(self.tmp, "feed"))
        self.tree_a = make_tree(os.path.join(self.tmp, "tree-a"), release_files("a", count=2))
        files = release_files("a", count=2)
        files["data/b-only.bin"] = noise("b-only", 5000)
        self.tree_b = make_tree(os.path.join(self.tmp, "tree-b"), files)
        self.server = FeedServer(self.feed.root)
        self.addCleanup(self.server.stop)
        self.config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, self.server.url, [KEY_A])])

    def setUp(self):
        super().setUp()
        self.tmp_root = self.tmp

    def check(self):
        return self.run_updater("--check", config=self.config)

    def update(self):
        return self.run_updater("--update-only", config=self.config)

    def assert_refused(self, run, text):
        self.assertEqual(1, run.status, run.text)
        self.assertTrue(run.lines[-1].startswith("Thornwake launcher error: "), run.text)
        self.assertIn(text, run.lines[-1])

    def test_each_bad_feed_or_release_is_refused_and_the_installed_release_stays_current(self):
        for name, publish_bad, check_refuses, text in CASES:
            with self.subTest(name):
                self.prepare(name)
                self.feed.publish_client(self.tree_a, "2026.12.1")
                self.assertEqual(0, self.update().status)
                before = self.current()
                publish_bad(self)

                check = self.check()
                if check_refuses:
                    # Reached but unusable: the installed game stays playable, the reason goes to the log.
                    self.assertEqual((0, "UPDATE_CHECK launcher=unknown client=unknown world=unknown"),
                                     (check.status, check.lines[-1]), check.text)
                    self.assertTrue(any(text in line for line in check.lines[:-1]), check.text)
                else:
                    self.assertEqual(0, check.status)
                self.server.reset()
                run = self.update()
                self.assert_refused(run, text)
                if text == UNSAFE:
                    self.assertEqual(1, len(self.server.object_requests()), "only the manifest was downloaded")
                if name == "object that does not match its hash":
                    self.golden("update_rejected_object", run, "update")

                self.assertEqual(before, self.current())
                self.assertEqual(("2026.12.1", True), installed_is_intact(self.region_dir))
                self.assert_only_current_release("no staging or partial release left")
                self.assertFalse(os.path.exists(os.path.join(self.tmp, "evil")))

                # The same refusal with nothing installed.
                shutil.rmtree(self.home)
                if name == "lower sequence":
                    os.makedirs(self.region_dir)
                    with open(os.path.join(self.region_dir, "feed-state.json"), "w") as handle:
                        json.dump({"sequence": 2}, handle)
                self.assert_refused(self.check() if check_refuses else self.update(), text)
                self.assertFalse(os.path.exists(os.path.join(self.region_dir, "current.json")))

    def test_rejected_signature_transcript(self):
        self.prepare("transcript")
        self.feed.publish_client(self.tree_a, "2026.12.1", seed=SEED_B)
        run = self.check()
        self.assert_refused(run, UNSIGNED)
        self.golden("check_rejected_signature", run, "check")
