"""`cmake --install` gives a working launcher: the bundle, a command on PATH, a menu entry, an icon."""

import configparser
import os
import signal
import subprocess
import sys

from harness import E2ETestCase, processes_running, wait_for

BUILD = os.environ.get("THORNWAKE_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BUNDLE_EXECUTABLE = os.path.join("lib", "thornwake", "Thornwake Launcher.app", "Contents", "MacOS", "thornwake-launcher")
ENTRY = os.path.join("share", "applications", "thornwake-launcher.desktop")


class InstallTest(E2ETestCase):
    def install(self, prefix, destdir=None):
        env = {k: v for k, v in os.environ.items() if k != "DESTDIR"}
        if destdir:
            env["DESTDIR"] = destdir
        result = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], env=env,
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        entry = configparser.ConfigParser(interpolation=None)
        entry.read((destdir or "") + os.path.join(prefix, ENTRY))
        return entry["Desktop Entry"]

    def test_installed_tree_starts_from_its_menu_entry_and_its_command(self):
        # The prefix is chosen at install time, and the entry must quote what it holds.
        prefix = os.path.join(self.tmp, 'a "prefix" $HOME')
        entry = self.install(prefix)
        self.assertEqual(entry["Name"], "Thornwake Launcher")
        self.assertIn("Game", entry["Categories"])
        icons = os.path.join(prefix, "share", "icons", "hicolor")
        self.assertTrue(os.path.isfile(os.path.join(icons, "scalable", "apps", "thornwake-launcher.svg")))
        for size in (16, 32, 48, 64, 128, 256):
            with open(os.path.join(icons, "%dx%d" % (size, size), "apps", "thornwake-launcher.png"), "rb") as png:
                header = png.read(24)
            self.assertEqual((header[:8], int.from_bytes(header[16:20], "big")), (b"\x89PNG\r\n\x1a\n", size))

        # Started as a desktop menu starts it: GLib reads the entry and runs its Exec line.
        executable = os.path.join(prefix, BUNDLE_EXECUTABLE)
        subprocess.run(["gio", "launch", os.path.join(prefix, ENTRY)], env=self.home.env, check=True, timeout=30)
        try:
            self.assertTrue(wait_for(lambda: "UPDATE_CHECK" in self.home.log(), 60), self.home.log())
            self.assertIn("client=available:2026.12.1", self.home.log())
        finally:
            started = processes_running(executable)
            for pid in started:
                os.kill(pid, signal.SIGKILL)
            self.assertTrue(wait_for(lambda: not processes_running(executable), 10))
        self.assertEqual(len(started), 1)

        process = subprocess.Popen([os.path.join(prefix, "bin", "thornwake-launcher")], env=self.home.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # Started through the link, it still finds its bundle, resources and updater.
            self.assertTrue(wait_for(lambda: self.home.log().count("UPDATE_CHECK") == 2, 60), self.home.log())
        finally:
            process.kill()
            process.wait()

    def test_staged_install_names_the_prefix_without_the_staging_folder(self):
        stage = os.path.join(self.tmp, "stage")
        entry = self.install("/opt/thornwake", destdir=stage)
        executable = os.path.join("/opt/thornwake", BUNDLE_EXECUTABLE)
        self.assertEqual((entry["TryExec"], entry["Exec"]), (executable, '"%s" %%U' % executable))
        self.assertTrue(os.path.isfile(stage + executable))
        self.assertEqual(os.path.realpath(stage + "/opt/thornwake/bin/thornwake-launcher"),
                         os.path.realpath(stage + executable))


if __name__ == "__main__":
    sys.exit("run with: python3 -m unittest discover -s tests/e2e")
