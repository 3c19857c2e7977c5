"""The build refuses a region configuration that the launcher or the updater would refuse, saying why."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

from harness import SOURCE

CHECK = os.path.join(SOURCE, "tools", "config_check", "check_launcher_config.py")
RULES = os.environ.get("THORNWAKE_LAUNCHER_RULES", os.path.join(SOURCE, "build", "thornwake-launcher-rules"))
KEY = "ab" * 32


def region(region_id, **members):
    entry = {"id": region_id, "name": region_id.upper(), "feed": "https://updates.example.com/%s/" % region_id,
             "trustedKeys": [KEY]}
    entry.update(members)
    return {k: v for k, v in entry.items() if v is not None}


def configuration(*regions, schema=3, default="eu"):
    return json.dumps({"schemaVersion": schema, "defaultRegion": default,
                       "regions": list(regions) or [region("eu"), region("na")]})


class BundledConfigTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="thornwake-config-")
        self.addCleanup(self.tmp.cleanup)

    def write(self, content):
        path = os.path.join(self.tmp.name, "launcher-config.json")
        with open(path, "w") as handle:
            handle.write(content)
        return path

    def test_each_refusal_names_its_reason(self):
        cases = [
            # (content, a part of the reason; None: accepted)
            (configuration(), None),
            (configuration(region("eu", feed="updates/eu", trustedKeys=[KEY, "CD" * 32])), None),
            # The launcher's rules.
            (configuration()[:-2], "is not valid JSON"),
            (configuration(schema=4), '"schemaVersion" is 4; the launcher reads 2 or 3'),
            (configuration(schema="3"), '"schemaVersion" is missing or not an integer'),
            (json.dumps({"schemaVersion": 3, "defaultRegion": "eu", "regions": []}), '"regions" is empty'),
            (configuration(region("eu"), region("na", name=None)), 'region 2 of "regions" has no "name" string'),
            (configuration(region("Eu")), 'the region id "Eu" is not 1 to 32'),
            (configuration(region("eu"), region("eu")), 'the region id "eu" is used twice'),
            (configuration(default="xx"), '"defaultRegion" is "xx", which names none of the regions'),
            # The updater's rules, for every region.
            (configuration(region("eu"), region("na", feed=None)),
             'updater refuses region "na"; its players would see "No update source is set up'),
            (configuration(region("eu", feed="http://updates.example.com/eu/")),
             'updater refuses region "eu": feed location must be https://'),
            (configuration(region("eu", trustedKeys=[])), 'updater refuses region "eu": trustedKeys must list 1'),
            (configuration(region("eu", trustedKeys=["ab" * 31])),
             'updater refuses region "eu": a trusted key is not 64 hex digits'),
        ]
        for content, reason in cases:
            with self.subTest(reason=reason):
                path = self.write(content)
                result = subprocess.run([sys.executable, CHECK, "--launcher-rules", RULES,
                                         "--updater", os.path.join(SOURCE, "updater"), path],
                                        capture_output=True, text=True)
                if reason is None:
                    self.assertEqual((result.returncode, result.stderr), (0, ""))
                else:
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn("Refusing to bundle %s: " % path, result.stderr)
                    self.assertIn(reason, result.stderr)

    def test_build_stops_before_bundling_a_refused_configuration(self):
        path = self.write(configuration(schema=1))
        build = os.path.join(self.tmp.name, "build")
        configure = subprocess.run(["cmake", "-S", SOURCE, "-B", build, "-G", "Ninja", "-DTHORNWAKE_TESTS=OFF",
                                    "-DTHORNWAKE_LAUNCHER_CONFIG=" + path, "-DTHORNWAKE_LAUNCHER_RULES=" + RULES],
                                   capture_output=True, text=True)
        self.assertEqual(configure.returncode, 0, configure.stdout + configure.stderr)
        result = subprocess.run(["cmake", "--build", build, "--target", "bundle_resources"],
                                capture_output=True, text=True)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn('Refusing to bundle %s: the launcher refuses it: "schemaVersion" is 1' % path,
                      result.stdout + result.stderr)
        resources = os.path.join(build, "Thornwake Launcher.app", "Contents", "Resources")
        self.assertFalse(os.path.exists(os.path.join(resources, "launcher-config.json")))


if __name__ == "__main__":
    sys.exit("run with: python3 -m unittest discover -s tests/e2e")
