"""The fetch engine: how pieces become requests."""

import unittest

import support  # noqa: F401  (puts the updater package on the path)

from thornwake_updater import fetch
from thornwake_updater.chunks import Chunk

KIB = 1024
MIB = 1024 * KIB
A, B = "a" * 64, "b" * 64


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
