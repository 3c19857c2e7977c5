"""The command line, and the script's promise: whatever fails, one error line and status 1."""

import os
import signal
import subprocess
import time
import unittest

import support
from support import UpdaterTestCase, run_result, write

from thornwake_updater import cli
from thornwake_updater.errors import UsageError

V1 = "0123456789abcdef"


class ArgumentsTest(unittest.TestCase):
    def test_command_lines(self):
        packaged = "--launcher-bundle /A.app --launcher-version " + V1
        cases = [
            # the arguments after --config /c.json --region eu-west; mode and game arguments, or None: refused
            ("--check", ("check", [])),
            ("--update-only " + packaged + " --relaunched-from " + V1 + " --no-self-update", ("update", [])),
            ("-- --check -- -x", ("play", ["--check", "--", "-x"])),
            ("--check --update-only", None),
            ("--check -- x", None),
            ("--frobnicate", None),
            ("--check --check", None),
            ("--launcher-bundle /A.app --check", None),
            ("--launcher-version %s --check" % V1, None),
            ("--launcher-bundle /A.app --launcher-version %s --check" % V1.upper(), None),
            ("--relaunched-from 123 --check", None),
            ("--check --region", None),
        ]
        for arguments, expected in cases:
            with self.subTest(arguments):
                argv = ["--config", "/c.json", "--region", "eu-west"] + arguments.split()
                try:
                    options = cli.parse_arguments(argv)
                    self.assertEqual(expected, (options.mode, options.game_arguments))
                except UsageError as exc:
                    self.assertIsNone(expected, exc.message)
                    self.assertIn("Reinstall Thornwake Launcher", exc.message)
        for argv in (["--region", "eu-west"], ["--config", "/c.json"], ["--config", "/c.json", "--region", "EU"]):
            self.assertRaises(UsageError, cli.parse_arguments, argv + ["--check"])


class ScriptTest(UpdaterTestCase):
    def test_a_bad_command_line_ends_in_one_error_line(self):
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
        run = self.checked(run_result(process.returncode, stdout))
        self.assertEqual((1, ["Thornwake launcher error: " + cli.INTERRUPTED]), (run.status, run.lines))


if __name__ == "__main__":
    unittest.main()
