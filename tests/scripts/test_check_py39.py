"""The 3.9 check: what 3.9 cannot run is found, what it can run passes, and the tree passes it."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import check_py39  # noqa: E402

CASES = [
    # (source, the finding's start, or None when 3.9 runs it)
    ("match x:\n    case 1:\n        pass\n", "not valid Python 3.9"),
    ("def f(x: int | None) -> None:\n    pass\n", "a `X | Y` union in an evaluated annotation"),
    ("x: 'int' = 1\ny: int | None = None\n", "a `X | Y` union in an evaluated annotation"),
    ("class C:\n    def f(self) -> 'C | None':\n        return None\n", None),
    ("from __future__ import annotations\ndef f(x: int | None) -> dict[str, int] | None:\n    pass\n",
     None),
    ("def f():\n    x: int | None = None\n    return x\n", None),
    ("flags = 1 | 2\n", None),
    ("isinstance(v, int | str)\n", "isinstance with a `X | Y` union"),
    ("from dataclasses import dataclass\n@dataclass(frozen=True, slots=True)\nclass C:\n    x: int\n",
     "dataclass(slots=...)"),
    ("for a, b in zip(x, y, strict=True):\n    pass\n", "zip(strict=...)"),
    ("import tomllib\n", "module tomllib"),
    ("import datetime\nnow = datetime.datetime.now(datetime.UTC)\n", "datetime.UTC"),
    ("from itertools import pairwise\n", "itertools.pairwise"),
    ("try:\n    pass\nexcept* ValueError:\n    pass\n", "not valid Python 3.9"),
    ("with (open(a) as x, open(b) as y):\n    pass\n", None),
]


class CheckPy39Test(unittest.TestCase):
    def test_each_construct(self):
        for source, expected in CASES:
            with self.subTest(source=source):
                findings = check_py39.check_source(source)
                if expected is None:
                    self.assertEqual(findings, [])
                else:
                    self.assertEqual(len(findings), 1, findings)
                    self.assertTrue(findings[0][1].startswith(expected), findings)

    def test_the_updater_and_the_tools_pass(self):
        self.assertEqual(check_py39.main([]), 0)


if __name__ == "__main__":
    unittest.main()
