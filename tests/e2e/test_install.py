"""`cmake --install` gives a working launcher: the bundle, a command on PATH, a menu entry, an icon."""

import configparser
import os
import subprocess
import sys

from harness import E2ETestCase, wait_for

BUILD = os.environ.get("THORNWAKE_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))


class InstallTest(E2ETestCase):
    def test_installed_tree_starts_from_its_command(self):
        prefix = os.path.join(self.tmp, "prefix")
        result = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

        entry = configparser.ConfigParser(interpolation=None)
        entry.read(os.path.join(prefix, "share", "applications", "thornwake-launcher.desktop"))
        self.assertEqual(entry["Desktop Entry"]["Name"], "Thornwake Launcher")
        self.assertIn("Game", entry["Desktop Entry"]["Categories"])
        icons = os.path.join(prefix, "share", "icons", "hicolor")
        self.assertTrue(os.path.isfile(os.path.join(icons, "scalable", "apps", "thornwake-launcher.svg")))
        for size in (16, 32, 48, 64, 128, 256):
            with open(os.path.join(icons, "%dx%d" % (size, size), "apps", "thornwake-launcher.png"), "rb") as png:
                header = png.read(24)
            self.assertEqual((header[:8], int.from_bytes(header[16:20], "big")), (b"\x89PNG\r\n\x1a\n", size))

        command = os.path.join(prefix, "bin", "thornwake-launcher")
        env = dict(self.home.env, QT_QPA_PLATFORM="offscreen")
        process = subprocess.Popen([command], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # Started through the link, it still finds its bundle, resources and updater.
            self.assertTrue(wait_for(lambda: "UPDATE_CHECK" in self.home.log(), 60), self.home.log())
            self.assertIn("client=available:2026.12.1", self.home.log())
        finally:
            process.kill()
            process.wait()


if __name__ == "__main__":
    sys.exit("run with: python3 -m unittest discover -s tests/e2e")
