"""The command line, and the script's promise: whatever fails, one error line and status 1."""

import os
import signal
import subprocess
import time
import unittest

import support
from support import Run, UpdaterTestCase, write

from thornwake_updater import cli
from thornwake_updater.errors import UsageError

BASE = ["--config", "/c.json", "--region", "eu-west"]
V1 = "0123456789abcdef"


class ArgumentsTest(unittest.TestCase):
    def test_valid_command_lines(self):
        cases = [
            # arguments, (mode, launcher version, no self-update, game arguments)
            (BASE + ["--check"], ("check", None, False, [])),
            (BASE + ["--update-only"], ("update", None, False, [])),
            (BASE, ("play", None, False, [])),
            (BASE + ["--", "--check", "", "--", "-x"], ("play", None, False, ["--check", "", "--", "-x"])),
            (BASE + ["--launcher-bundle", "/A b.app", "--launcher-version", V1, "--relaunched-from", V1,
                     "--no-self-update", "--update-only"], ("update", V1, True, [])),
        ]
        for argv, expected in cases:
            with self.subTest(argv=argv):
                options = cli.parse_arguments(argv)
                self.assertEqual(expected, (options.mode, options.launcher_version, options.no_self_update,
                                            options.game_arguments))
                self.assertEqual(("/c.json", "eu-west"), (options.config, options.region))

    def test_malformed_command_lines(self):
        cases = [
            ["--region", "eu-west", "--check"],
            ["--config", "/c.json", "--check"],
            BASE + ["--check", "--update-only"],
            BASE + ["--check", "--", "x"],
            BASE + ["--frobnicate"],
            BASE + ["--check", "--check"],
            BASE + ["--launcher-bundle", "/A.app", "--check"],
            BASE + ["--launcher-version", V1, "--check"],
            BASE + ["--launcher-bundle", "/A.app", "--launcher-version", V1.upper(), "--check"],
            BASE + ["--relaunched-from", "123", "--check"],
            ["--config", "/c.json", "--region", "EU", "--check"],
            BASE + ["--check", "--region"],
        ]
        for argv in cases:
            with self.subTest(argv=argv):
                with self.assertRaises(UsageError) as caught:
                    cli.parse_arguments(argv)
                self.assertIn("Reinstall Thornwake Launcher", caught.exception.message)


class ScriptTest(UpdaterTestCase):
    def test_bad_arguments_and_unreadable_config_end_in_one_error_line(self):
        cases = [
            (["--check"], "The launcher started the updater incorrectly (--config is missing)."),
            (["--config", os.path.join(self.tmp, "missing.json"), "--region", "production", "--check"],
             "The launcher configuration could not be read."),
        ]
        for argv, text in cases:
            with self.subTest(argv=argv):
                run = self.run_updater(*argv)
                self.assertEqual(1, run.status)
                self.assertTrue(run.lines[-1].startswith("Thornwake launcher error: " + text), run.text)
        self.golden("usage_error", self.run_updater("--config", "/c.json", "--region", "production", "--bogus"), "check")

    def test_ctrl_c_while_the_updater_starts_ends_in_one_error_line(self):
        # A stand-in for a standard module that the package imports: it holds the import until the signal.
        shadow, ready = os.path.join(self.tmp, "shadow"), os.path.join(self.tmp, "importing")
        os.makedirs(shadow)
        write(os.path.join(shadow, "secrets.py"), "import time\nopen(%r, 'w').close()\ntime.sleep(30)\n" % ready, "w")
        process = subprocess.Popen([support.PYTHON, support.SCRIPT, "--check"], stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, env=self.env(PYTHONPATH=shadow))
        deadline = time.monotonic() + 20
        while not os.path.exists(ready) and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        process.send_signal(signal.SIGINT)
        stdout = process.communicate(timeout=20)[0]
        run = self.checked(Run(process.returncode, stdout))
        self.assertEqual((1, ["Thornwake launcher error: The update was interrupted. Your installed game was not changed. "
                              "Try again."]), (run.status, run.lines))


if __name__ == "__main__":
    unittest.main()
