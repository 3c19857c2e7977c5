"""The fetch engine: how pieces become requests, mirrors that fail, resuming, and chunks taken from installed files."""

import hashlib
import json
import os
import random
import re
import shutil
import socket
import subprocess
import threading
import time
import unittest

from support import (GAME_SCRIPT, PYTHON, SCRIPT, FeedServer, ServedFeedTestCase, installed_is_intact, make_tree, noise, publish,
                     read, write)

from thornwake_updater import chunks, fetch
from thornwake_updater.chunks import Chunk
from thornwake_updater.errors import FeedRejected

A, B = "a" * 64, "b" * 64
# "Updating to client r2 (1.2 of 4.1 MB · 3.0 MB/s · 1 s left)…": done, total, speed, time left.
REPORT = re.compile(r"\AUpdating to client \S+ \(([\d.]+) of ([\d.]+) MB(?: \u00b7 ([^\u00b7]+/s))?(?: \u00b7 (\d+ \w+ left))?\)\u2026\Z")


def piece(name, pack, offset, stored):
    """A piece named name (its hash is name repeated) stored at offset of pack, or stand-alone when pack is None."""
    digest = (name * 64)[:64]
    return fetch.Piece(Chunk(digest, stored, stored, "identity", pack, None if pack is None else offset))


class SpanPlanTest(unittest.TestCase):
    def test_neighbours_in_one_pack_are_coalesced_within_the_gap_and_size_bounds(self):
        gap, limit = fetch.GAP, fetch.MAX_SPAN
        # (pieces as (name, pack, offset, stored size), spans as (pack, start, end, names))
        cases = [
            ("adjacent", [("1", A, 0, 100), ("2", A, 100, 50)], [(A, 0, 150, "12")]),
            ("unsorted input", [("2", A, 100, 50), ("1", A, 0, 100)], [(A, 0, 150, "12")]),
            ("gap at the bound", [("1", A, 0, 10), ("2", A, 10 + gap, 10)], [(A, 0, 20 + gap, "12")]),
            ("gap above the bound", [("1", A, 0, 10), ("2", A, 11 + gap, 10)], [(A, 0, 10, "1"), (A, 11 + gap, 21 + gap, "2")]),
            ("span at the size bound", [("1", A, 0, limit - 10), ("2", A, limit - 10, 10)], [(A, 0, limit, "12")]),
            ("span above the size bound", [("1", A, 0, limit - 10), ("2", A, limit - 10, 11)],
             [(A, 0, limit - 10, "1"), (A, limit - 10, limit + 1, "2")]),
            ("overlapping pieces are never one span", [("1", A, 0, 100), ("2", A, 50, 100)],
             [(A, 0, 100, "1"), (A, 50, 150, "2")]),
            ("packs in the order first named", [("1", B, 0, 10), ("2", A, 0, 10), ("3", B, 10, 10)],
             [(B, 0, 20, "13"), (A, 0, 10, "2")]),
            ("stand-alone objects alone", [("1", None, None, 10), ("2", None, None, 20)],
             [("objects/11/" + "1" * 64, 0, 10, "1"), ("objects/22/" + "2" * 64, 0, 20, "2")]),
        ]
        for name, pieces, expected in cases:
            with self.subTest(name):
                spans = fetch.plan_spans([piece(*item) for item in pieces])
                found = [(span.path, span.start, span.end, "".join(p.sha256[0] for p in span.pieces)) for span in spans]
                wanted = [("packs/%s.pack" % path if len(path) == 64 else path, start, end, names)
                          for path, start, end, names in expected]
                self.assertEqual(wanted, found)

    def test_an_object_over_its_limit_is_refused_before_any_request(self):
        # A signed feed may still name a manifest too large to hold in memory.
        with self.assertRaises(FeedRejected) as refused:
            fetch.fetch_object(fetch.Mirrors(["file:///nonexistent/"]), Chunk(A, 1001, 900, "zlib"), 1000)
        self.assertIn("larger than 1000 bytes", refused.exception.detail)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def files_of(variant, changed=lambda index: False):
    """40 incompressible files of 100 kB; the changed ones get the variant's content."""
    files = {"data/f%02d.bin" % i: noise("%s-%d" % (variant if changed(i) else "a", i), 100_000) for i in range(40)}
    return dict(files, **{"bin/game": GAME_SCRIPT})


class MirrorsTest(ServedFeedTestCase):
    def test_an_install_from_a_mirror_that_is_down_one_that_stalls_and_one_that_sends_damage(self):
        # Every other file of r2 is new: the old ones lie apart in the first pack, the new ones in a second.
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r1"), files_of("a")), "r1")
        self.feed.add_client(make_tree(os.path.join(self.tmp, "r2"), files_of("b", lambda i: i % 2)), "r2")
        damaged_root = shutil.copytree(self.feed.root, os.path.join(self.tmp, "damaged"))
        for pack in self.feed.packs():
            path = os.path.join(damaged_root, pack[1:])
            write(path, bytes(b ^ 1 for b in read(path, "rb")))
        slow, damaged = FeedServer(self.feed.root), FeedServer(damaged_root)
        for server in (slow, damaged):
            self.addCleanup(server.stop)
        self.feed.sign(mirrors=["http://127.0.0.1:%d/" % free_port(), slow.url, damaged.url])

        # The slow mirror's first answer for a pack stops in the middle of an object and then says nothing.
        cut, lock = [], threading.Lock()

        def stall_once(handler):
            with lock:
                first = not cut
                if first:
                    start, end = map(int, re.match(r"bytes=(\d+)-(\d+)", handler.headers["Range"]).groups())
                    cut.append(start + (end + 1 - start) // 2 + 1234)
            if first:
                handler.send_file(handler.path, stop_after=cut[0] - start, hold=3.0)
            else:
                handler.send_file(handler.path)

        slow.httpd.hooks = {pack: stall_once for pack in self.feed.packs()}
        run = self.run_mode("--update-only", THORNWAKE_UPDATER_DEADLINE_SCALE="0.1")
        self.assertEqual(0, run.status, run.text)
        self.assert_installed("r2")  # every file's hash checked
        # The damaged mirror is not asked again: at most the requests the threads had made at once.
        self.assertTrue(1 <= len(damaged.object_requests()) <= fetch.WORKERS, damaged.httpd.requests)
        # The span cut short went on from its first byte not received, in the middle of an object.
        starts = [int(r[6:r.index("-")]) for server in (slow, damaged) for r in server.httpd.ranges if r]
        self.assertIn(cut[0], starts)
        # About once a second: what is done and the total (which grows by what must be fetched again), the
        # speed and the time left.
        reports = [REPORT.match(line) for line in run.lines if line.startswith("Updating to client")]
        self.assertTrue(all(reports) and len(reports) >= 3, run.text)
        done, totals = ([float(report.group(group)) for report in reports] for group in (1, 2))
        self.assertEqual((sorted(done), sorted(totals), done[-1]), (done, totals, totals[-1]), run.text)
        self.assertLess(done[0], done[-1])
        self.assertTrue(any(report.group(3) for report in reports) and any(report.group(4) for report in reports), run.text)


class ResumeTest(ServedFeedTestCase):
    def test_a_killed_install_is_continued_without_fetching_what_it_wrote(self):
        # One pack: small files, a big file of many chunks in the middle, small files.
        files = dict(files_of("a"), **{"data/f19-big.bin": noise("big", 1_500_000)})
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r1"), files), "r1")
        pack, = self.feed.packs()
        length = os.path.getsize(os.path.join(self.feed.root, pack[1:]))
        # The first answer sends half the pack (the cut falls in the big file) and then holds the connection.
        self.server.httpd.hooks[pack] = lambda handler: handler.send_file(pack, stop_after=length // 2, hold=10)
        process = subprocess.Popen([PYTHON, SCRIPT, "--config", self.config, "--region", self.region, "--update-only"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env())
        self.addCleanup(process.wait)
        deadline = time.monotonic() + 30
        while self.server.httpd.sent.get(pack, 0) < length // 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(1.0)  # for the updater to write what arrived
        process.kill()
        del self.server.httpd.hooks[pack]
        self.server.reset()
        self.update()
        self.assert_installed("r1")
        # What the killed run wrote is kept: at most the object it was receiving is fetched again.
        self.assertLessEqual(self.server.httpd.sent[pack], length - length // 2 + 256 * 1024 + fetch.GAP)


def rsync_moves(old, new):
    """Bytes rsync sends plus receives to turn a copy of the tree old into new, by its delta transfer."""
    copy = old + "-rsync"
    shutil.copytree(old, copy)
    # Locally rsync copies whole files unless told not to; --checksum skips unchanged files by content, not time.
    stats = subprocess.run(["rsync", "-a", "--checksum", "--no-whole-file", "--stats", new + "/", copy + "/"],
                           stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    shutil.rmtree(copy)
    return sum(int(re.search(r"Total bytes %s: ([\d,]+)" % way, stats).group(1).replace(",", "")) for way in ("sent", "received"))


class ChunkReuseTest(ServedFeedTestCase):
    def test_a_changed_big_file_fetches_about_what_rsync_moves(self):
        size, mib = 64 << 20, 1 << 20
        big = random.Random("big").randbytes(size)  # incompressible, and far quicker than noise() at this size
        old = make_tree(os.path.join(self.tmp, "r1"), {"bin/game": GAME_SCRIPT, "data/big.bin": big})
        self.feed.publish_client(old, "r1")
        self.update()
        overwritten = big[:size // 2] + noise("overwritten", mib) + big[size // 2 + mib:]
        inserted = overwritten[:100_000] + noise("inserted", 4096) + overwritten[100_000:]
        for release, content in (("r2", overwritten), ("r3", inserted)):
            if release == "r3":
                # A chunk of the installed file damaged on disk (its size kept): fetched again, never used.
                with open(self.release_path("data", "big.bin"), "r+b") as handle:
                    handle.seek(1_500_000)
                    handle.write(bytes(100))
            new = make_tree(os.path.join(self.tmp, release), {"bin/game": GAME_SCRIPT, "data/big.bin": content})
            self.feed.publish_client(new, release)
            self.server.reset()
            self.update()
            self.assert_installed(release)
            # Every response byte (feed, manifests, packs, headers) against rsync's delta of the same trees.
            fetched, moved = self.server.response_bytes(), rsync_moves(old, new)
            self.assertLessEqual(fetched, 1.5 * moved + 512 * 1024, "%s: %d fetched, rsync moved %d" % (release, fetched, moved))
            old = new
        # Chunks that each check out but do not make up the file's signed whole hash: refused, the release kept.
        document = json.loads(read(self.release_path() + ".manifest"))
        big, = [item for item in document["files"] if item["path"] == "data/big.bin"]
        big["sha256"], document["releaseId"] = hashlib.sha256(b"other").hexdigest(), "r4"
        self.feed.publish_manifest(document, "r4")
        run = self.run_mode("--update-only")
        self.assertIn("did not match the signed release", run.lines[-1])
        self.assertEqual(("r3", True), installed_is_intact(self.region_dir))


class ManifestPatchTest(ServedFeedTestCase):
    def test_an_update_fetches_the_changed_lines_of_the_manifest_and_a_patch_that_makes_another_is_not_used(self):
        files = {"data/f%03d.txt" % i: b"file %d\n" % i for i in range(200)}
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r1"), dict(files, **{"bin/game": GAME_SCRIPT})), "r1")
        self.update()
        # The first file changes: its content goes into a new pack, which must not renumber the packs of the others.
        files["a.txt"] = b"changed"
        self.feed.publish_client(make_tree(os.path.join(self.tmp, "r2"), dict(files, **{"bin/game": GAME_SCRIPT})), "r2")
        self.server.reset()
        self.update()
        self.assert_installed("r2")
        manifest = [path for path in self.server.object_requests() if path.startswith("/objects/")]
        self.assertEqual(1, len(manifest), manifest)
        self.assertLess(self.server.object_bytes(), 2000, self.server.httpd.sent)

        # A signed patch that makes another manifest of the same size: the whole manifest is fetched instead.
        del files["data/f100.txt"]
        self.feed.add_client(make_tree(os.path.join(self.tmp, "r3"), dict(files, **{"bin/game": GAME_SCRIPT})), "r3")
        draft = publish.load_draft(self.feed.root)
        installed = read(self.release_path() + ".manifest", "rb")
        whole = publish.FeedDirectory(self.feed.root).read_object(publish.Ref.from_json(draft["client"]["manifest"]))
        bad = publish.release_mod.manifest_patch(installed, whole.replace(b"f101.txt", b"f101.txu"))
        draft["client"]["manifestPatches"][0]["patch"] = self.feed.store_object(bad).to_json()
        publish.save_draft(self.feed.root, draft)
        self.feed.sign()
        self.update()
        self.assert_installed("r3")


if __name__ == "__main__":
    unittest.main()
