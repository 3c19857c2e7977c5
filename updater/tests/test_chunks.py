"""The publisher's content-defined chunks: bounds, stability under edits, storage choice."""

import io
import os
import sys
import unittest
import zlib

from support import REPO, noise

sys.path.insert(0, os.path.join(REPO, "tools"))

import thornwake_chunks as chunks  # noqa: E402

KIB = 1 << 10
BASE = noise("chunk base", 3 << 20)


def sizes(data, block=chunks.READ_BLOCK):
    """The chunk sizes of data as the publisher reads a file of it."""
    return [len(chunk) for chunk in chunks.file_chunks(io.BytesIO(data).readinto, block)]


def ends(data):
    found, total = [], 0
    for size in sizes(data):
        total += size
        found.append(total)
    return found


class ChunkTest(unittest.TestCase):
    def test_cuts(self):
        inserted = BASE[:100 * KIB] + noise("insert", 4 * KIB) + BASE[100 * KIB:]
        overwritten = BASE[:1 << 20] + noise("overwrite", 1 << 20) + BASE[2 << 20:]
        reach = 2 * chunks.MAX_CHUNK
        # name, data, expected sizes (None: content-defined), where BASE's cuts land, the span where they may move
        cases = [
            ("empty", b"", [], None, None),
            ("one byte", b"x", [1], None, None),
            ("a small file is one chunk", BASE[:chunks.THRESHOLD], [chunks.THRESHOLD], None, None),
            ("zeros cut at the maximum", bytes(1 << 20), [chunks.MAX_CHUNK] * 4, None, None),
            ("constant data too", b"\xa5" * (600 * KIB), [chunks.MAX_CHUNK] * 2 + [88 * KIB], None, None),
            ("random data", BASE, None, lambda cut: cut, (0, 0)),
            ("4 KiB inserted", inserted, None, lambda cut: cut + 4 * KIB if cut > 100 * KIB else cut, (100 * KIB, 104 * KIB + reach)),
            ("1 MiB overwritten", overwritten, None, lambda cut: cut, (1 << 20, (2 << 20) + reach)),
        ]
        for name, data, expected, moved, span in cases:
            with self.subTest(name):
                found = sizes(data)
                self.assertEqual(sum(found), len(data))
                if expected is not None:
                    self.assertEqual(expected, found)
                    continue
                self.assertTrue(all(chunks.MIN_CHUNK <= size <= chunks.MAX_CHUNK for size in found[:-1]), found)
                self.assertTrue(60 * KIB < len(data) / len(found) < 100 * KIB, "about 80 KiB on average")
                # Reading in small blocks (many seams between reads) cuts the same.
                self.assertEqual(found, sizes(data, block=7 * KIB))
                self.assertEqual(ends(data), chunks.cut_points(data))
                kept = [moved(cut) for cut in ends(BASE) if not span[0] < moved(cut) <= span[1]]
                self.assertLess(len(ends(BASE)) - len(kept), 20)
                self.assertEqual([], sorted(set(kept) - set(ends(data))), "only cuts near the change move")

    def test_storage_choice(self):
        text = b"thornwake world data " * 4000
        cases = [
            ("incompressible", noise("stored", 100 * KIB), chunks.IDENTITY),
            ("text", text, chunks.ZLIB),
            ("incompressible start: no attempt", noise("head", 8 * KIB) + text, chunks.IDENTITY),
            ("empty", b"", chunks.IDENTITY),
        ]
        for name, data, encoding in cases:
            with self.subTest(name):
                stored, found = chunks.encode(memoryview(data))
                self.assertEqual(encoding, found)
                self.assertEqual(data, stored if found == chunks.IDENTITY else zlib.decompress(stored))
