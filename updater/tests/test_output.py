"""output.py against the table of line forms that the launcher's tests read too."""

import io
import unittest

from support import LINE_FORMS, line_form, line_problems

from thornwake_updater import output

V = "0123456789abcdef"
# Each example line of the table, and the printer call that writes it (check results: their three values).
PRINTERS = {
    "Thornwake launcher error: The update server could not be reached. Check your internet connection and try again.":
        ("error", "The update server could not be reached.\nCheck your internet connection and try again."),
    "Downloading launcher: 0%": ("launcher_progress_of", 0, 5000),
    "Downloading launcher: 42%": ("launcher_progress", 42),
    "Downloading launcher: 100%": ("launcher_progress_of", 5000, 5000),
    "Updating launcher to 0123456789abcdef (1.2 MB)\u2026": ("updating_launcher", V, 1_234_567),
    "Verifying and installing launcher\u2026": ("installing_launcher",),
    "Launcher installed at /opt/games/Thornwake Launcher.app": ("launcher_installed_at", "/opt/games/Thornwake Launcher.app"),
    "Installed launcher 0123456789abcdef. Restarting\u2026": ("installed_launcher", V),
    "Downloading client: 0%": ("client_progress", -3),
    "Downloading client: 13%": ("client_progress_of", 1399, 10000),
    "Downloading client: 100%": ("client_progress", 250),
    "Updating to client 2026.12.1 (22 KB)\u2026": ("updating_client", "2026.12.1", 22_499),
    "Updating to client 2026.12.1\u2026": ("updating_client", "2026.12.1"),
    "Verifying and installing client\u2026": ("installing_client",),
    "Installed client 2026.12.1.": ("installed_client", "2026.12.1"),
    "Client 2026.12.1 is current.": ("client_current", "2026.12.1"),
    "Starting Thornwake\u2026": ("game_started",),
}


def printed(*calls):
    stream = io.StringIO()
    out = output.Output(stream)
    for name, *args in calls:
        getattr(out, name)(*args)
    return stream.getvalue().splitlines()


class OutputLineTest(unittest.TestCase):
    def test_the_printers_write_every_example_of_the_table(self):
        for form in LINE_FORMS:
            for example in form["examples"]:
                with self.subTest(example["line"]):
                    match = form["compiled"].match(example["line"])
                    call = ("check_result",) + match.groups() if form["name"] == "check result" else PRINTERS.get(example["line"])
                    self.assertIsNotNone(call, "no printer call for this example")
                    self.assertEqual([example["line"]], printed(call))
                    self.assertEqual(form["name"], line_form(example["line"]))

    def test_plain_lines_never_start_like_a_form(self):
        # The prefixes that Output.log guards and the forms of the table must name the same lines.
        for form in LINE_FORMS:
            for example in form["examples"]:
                self.assertTrue(example["line"].startswith(output._PROTOCOL_PREFIXES), example["line"])
        for prefix in output._PROTOCOL_PREFIXES:
            self.assertTrue(any(e["line"].startswith(prefix) for f in LINE_FORMS for e in f["examples"]), prefix)
        lines = printed(*[("log", example + " (a plain line)") for example in PRINTERS], ("log", "  two\nlines "))
        self.assertEqual([], line_problems("".join(line + "\n" for line in lines)))
        self.assertEqual([None] * len(lines), [line_form(line) for line in lines])
        self.assertEqual("two lines", lines[-1])

    def test_progress_lines_never_repeat_or_go_back(self):
        self.assertEqual(["Downloading client: 5%"], printed(*[("client_progress", value) for value in (5, 5, 3)]))


if __name__ == "__main__":
    unittest.main()
