"""The publisher's command line, as an operator uses it."""

import fcntl
import json
import os
import stat
import subprocess

from support import PUBLISHER, PYTHON, UpdaterTestCase, make_tree, read, release_files, tree_listing, write

from thornwake_updater import envelope


class PublisherTest(UpdaterTestCase):
    def publish(self, *args):
        completed = subprocess.run([PYTHON, PUBLISHER] + list(args), capture_output=True, timeout=60)
        return completed.returncode, completed.stdout.decode(), completed.stderr.decode()

    def test_keys_releases_signing_and_what_players_could_not_use(self):
        key, feed = os.path.join(self.tmp, "signing.key"), os.path.join(self.tmp, "feed")
        status, public, _ = self.publish("keygen", key)
        self.assertEqual((0, 0o600), (status, stat.S_IMODE(os.stat(key).st_mode)))
        self.assertEqual(1, self.publish("keygen", key)[0], "an existing key is never overwritten")

        tree = make_tree(os.path.join(self.tmp, "tree"), release_files("a", count=3))
        add = ["add-client", feed, "--region", "production", "--source-revision", "abc", "--executable", "bin/game"]
        world = ["--world", "1.0.0.000000000000"]
        self.assertEqual((0, "client r1: 6 entries, 7 new objects\n"), self.publish(*add, "--release", "r1", *world, tree)[:2])
        escaping = make_tree(os.path.join(self.tmp, "escaping"), dict(release_files("a", count=1), escape="../../outside"))
        not_utf8 = make_tree(os.path.join(self.tmp, "not-utf8"), release_files("a", count=1))
        write(os.path.join(os.fsencode(not_utf8), b"data", b"caf\xe9.txt"), b"latin-1 name")
        cases = [
            (add + ["--release", "r2"] + world + [escaping], "leads outside the release"),
            (add + ["--release", "r2"] + world + [not_utf8], "caf\\xe9.txt: the name is not UTF-8"),
            (add + ["--release", "r2", "--world", "1.0", tree], "not a valid world version"),
            (["sign", feed, "--key", key, "--legacy-feed"], "there is none: nothing to carry over"),
            (["sign", feed, "--key", key, "--mirror", "http://cdn.example.com/tw/"], "must be an https:// URL"),
            (["sign", feed, "--key", key, "--mirror", "https://cdn.example.com/tw"], "ending in \"/\""),
            (["prune", feed, "--keep", "0"], "--keep must be at least 1"),
            (["lock"] + add + ["--release", "r2"] + world + [tree], "another publisher command is working on"),
        ] + [(["sign", feed, "--key", key, "--expires-days", days], text) for days, text in (
            ("inf", "--expires-days must be"), ("1e9", "--expires-days must be"), ("nan", "--expires-days must be"),
            ("0.00001", "expire within the hour"))]
        for args, text in cases:
            with self.subTest(args=args[-2:]), open(feed + ".publisher/lock", "rb") as lock:
                if args[0] == "lock":
                    fcntl.flock(lock.fileno(), fcntl.LOCK_EX)  # as a command running meanwhile does
                    args = args[1:]
                before = tree_listing(feed)
                status, out, err = self.publish(*args)
                self.assertEqual((1, "", 1), (status, out, len(err.splitlines())), err)
                self.assertIn(text, err)
                self.assertEqual(before, tree_listing(feed), "nothing was written")

        packs = os.listdir(os.path.join(feed, "packs"))
        status, out, _ = self.publish(*add, "--release", "r2", *world, tree)
        self.assertEqual("client r2: 6 entries, 1 new objects\n", out, "only the new manifest is stored")
        self.assertEqual(packs, os.listdir(os.path.join(feed, "packs")))
        for expected in (1, 2):
            self.assertEqual(0, self.publish("sign", feed, "--key", key)[0])
            data = envelope.open_envelope(read(os.path.join(feed, "feed.signed"), "rb"), [bytes.fromhex(public.strip())])
            self.assertEqual((2, expected, "r2"), (json.loads(data)["format"], json.loads(data)["sequence"],
                                                   json.loads(data)["client"]["releaseId"]))
        self.assertEqual(["feed.signed", "objects", "packs"], sorted(os.listdir(feed)), "the served tree holds no draft")
