"""output.py against the table of line forms that the launcher's tests read too."""

import io
import unittest

from support import LINE_FORMS, line_form, line_problems

from thornwake_updater import output, progress

V = "0123456789abcdef"
# Each example line of the table, and the printer call that writes it (check results: their three values);
# a progress report writes two lines, and the example is the one at the index given last.
PRINTERS = {
    "Thornwake launcher error: The update server could not be reached. Check your internet connection.":
        ("error", "The update server could not be reached.\nCheck your internet connection."),
    "Downloading launcher: 0%": ("report", "launcher", V, 0, 5000, None, 1),
    "Downloading launcher: 42%": ("report", "launcher", V, 2100, 5000, None, 1),
    "Downloading launcher: 100%": ("report", "launcher", V, 5000, 5000, 10.0, 1),
    "Updating launcher to 0123456789abcdef (1.2 of 5.0 MB \u00b7 640 KB/s \u00b7 6 s left)\u2026":
        ("report", "launcher", V, 1_299_999, 5_000_000, 640_400, 0),
    "Verifying and installing launcher\u2026": ("installing_launcher",),
    "Launcher installed at /opt/games/Thornwake Launcher.app": ("launcher_installed_at", "/opt/games/Thornwake Launcher.app"),
    "Installed launcher 0123456789abcdef. Restarting\u2026": ("installed_launcher", V),
    "Downloading client: 0%": ("report", "client", "r", 0, 10000, None, 1),
    "Downloading client: 13%": ("report", "client", "r", 1399, 10000, None, 1),
    "Downloading client: 100%": ("report", "client", "r", 10000, 10000, None, 1),
    "Updating to client 2026.12.1 (45 of 143 MB \u00b7 8.2 MB/s \u00b7 12 s left)\u2026":
        ("report", "client", "2026.12.1", 45_600_000, 143_100_000, 8_250_000, 0),
    "Updating to client 2026.12.1 (0 of 22 KB)\u2026": ("report", "client", "2026.12.1", 0, 22_499, None, 0),
    "Updating to client 2026.12.1\u2026": ("report", "client", "2026.12.1", 0, 0, None, 0),
    "Verifying and installing client\u2026": ("installing_client",),
    "Installed client 2026.12.1.": ("installed_client", "2026.12.1"),
    "Client 2026.12.1 is current.": ("client_current", "2026.12.1"),
    "Starting Thornwake\u2026": ("game_started",),
}


def printed(*calls):
    stream = io.StringIO()
    out = output.Output(stream)
    for name, *args in calls:
        if name == "report":
            kind, release, done, total, rate, _ = args
            if total:
                out.report(progress.lines(kind, release, done, total, rate))
            else:
                progress.Progress(out.report, kind, release, 0).start()
        else:
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
                    lines = printed(call)
                    if call[0] == "report" and call[4]:
                        # The two lines of a report: what is done, then the percentage.
                        self.assertEqual(["updating " + call[1], call[1] + " progress"], [line_form(line) for line in lines])
                        lines = lines[call[-1]:call[-1] + 1]
                    self.assertEqual([example["line"]], lines)
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

    def test_reports_come_about_once_a_second_each_in_one_write(self):
        clock, writes = [0.0], []
        report = progress.Progress(writes.append, "client", "r", 4_000_000, clock=lambda: clock[0])
        report.start()
        # (moment, bytes that arrive then; 0: the waiting thread's tick)
        for moment, count in ((0.5, 1_000_000), (1.0, 0), (1.2, 1_000_000), (1.5, 0), (2.6, 0)):
            clock[0] = moment
            report.add(count) if count else report.tick()
        report.more(1_000_000)  # an object that must be fetched again
        clock[0] = 3.0
        report.finish()
        self.assertEqual([
            ["Updating to client r (0 of 4.0 MB)\u2026", "Downloading client: 0%"],
            ["Updating to client r (1.0 of 4.0 MB \u00b7 1.0 MB/s \u00b7 3 s left)\u2026", "Downloading client: 25%"],
            ["Updating to client r (2.0 of 4.0 MB \u00b7 769 KB/s \u00b7 3 s left)\u2026", "Downloading client: 50%"],
            ["Updating to client r (5.0 of 5.0 MB \u00b7 1.6 MB/s)\u2026", "Downloading client: 100%"],
        ], writes)
        self.assertTrue(all(len("\n".join(lines).encode()) < 512 for lines in writes))
        self.assertEqual(["Updating launcher to %s (500 of 999 GB \u00b7 99 MB/s \u00b7 84 min left)\u2026" % V,
                          "Downloading launcher: 50%"], progress.lines("launcher", V, 500e9, 999.99e9, 99.9e6))


if __name__ == "__main__":
    unittest.main()
