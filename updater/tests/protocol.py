"""The launcher's reading of updater lines, restated for the tests.

Every line an updater run prints is held to it: a line that begins like one of
the launcher's forms must be a well-formed instance of that form (the launcher
would otherwise misread it), and nothing may look like a Python traceback.
"""

import re
import unicodedata

_LAUNCHER_VERSION = re.compile(r"\A[0-9a-f]{16}\Z")
_RELEASE = re.compile(r"\A[A-Za-z0-9][A-Za-z0-9._-]{0,63}\Z")
_WORLD = re.compile(r"\A[0-9]{1,9}\.[0-9]{1,9}\.[0-9]{1,9}\.[0-9a-f]{12}\Z")

ELLIPSIS = "\u2026"


def parse_check(line):
    """(launcher version or None, client release or None), or False when the launcher rejects the line."""
    fields = [field for field in line.split(" ") if field]
    if len(fields) == 4 and fields[3].startswith("world="):
        world = fields[3][6:]
        if world != "unknown" and not _WORLD.match(world):
            return False
        fields = fields[:3]
    if len(fields) != 3 or fields[0] != "UPDATE_CHECK":
        return False
    if not fields[1].startswith("launcher=") or not fields[2].startswith("client="):
        return False
    launcher = fields[1][9:]
    client = fields[2][7:]
    if launcher in ("current", "unknown", "unpackaged", "unconfigured"):
        launcher_version = None
    elif launcher.startswith("available:") and _LAUNCHER_VERSION.match(launcher[10:]):
        launcher_version = launcher[10:]
    else:
        return False
    if client in ("current", "unknown"):
        client_release = None
    elif client.startswith("available:") and _RELEASE.match(client[10:]):
        client_release = client[10:]
    else:
        return False
    return launcher_version, client_release


def percentage(line):
    """The value the launcher shows for a progress line: all numeric characters joined."""
    digits = "".join(c for c in line if unicodedata.numeric(c, None) is not None)
    if not digits or not digits.isascii():
        return 0
    return int(digits)


def form(line):
    """The name of the launcher form a trimmed line matches (in the launcher's order), or None."""
    if line.startswith("UPDATE_CHECK "):
        return "check"
    if line.startswith("Thornwake launcher error:"):
        return "error"
    if line.startswith("Downloading launcher:"):
        return "launcher-progress"
    if line.startswith("Updating launcher to "):
        return "updating-launcher"
    if line == "Verifying and installing launcher" + ELLIPSIS:
        return "installing-launcher"
    if line.startswith("Launcher installed at "):
        return "launcher-installed-at"
    if line.startswith("Installed launcher ") and line.endswith("Restarting" + ELLIPSIS):
        return "launcher-installed"
    if line.startswith("Downloading client:"):
        return "client-progress"
    if line.startswith("Updating to client "):
        return "updating-client"
    if line == "Verifying and installing client" + ELLIPSIS:
        return "installing-client"
    if line.startswith("Installed client ") or (line.startswith("Client ") and line.endswith(" is current.")):
        return "client-ready"
    if line == "Starting Thornwake" + ELLIPSIS:
        return "game-started"
    return None


def problems(text):
    """What is wrong with an updater transcript, as a list of sentences."""
    found = []
    if text and not text.endswith("\n"):
        found.append("output does not end with a line feed")
    if "Traceback (most recent call last)" in text:
        found.append("a Python traceback reached the pipe")
    for line in text.splitlines():
        trimmed = line.strip()
        name = form(trimmed)
        if trimmed != line:
            found.append("line with surrounding white space: %r" % line)
        if name == "check" and parse_check(trimmed) is False:
            found.append("check line the launcher rejects: %r" % line)
        elif name in ("client-progress", "launcher-progress"):
            numbers = re.findall(r"[0-9]+", trimmed)
            if len(numbers) != 1 or not 0 <= percentage(trimmed) <= 100 or not trimmed.endswith("%"):
                found.append("progress line without exactly one percentage: %r" % line)
        elif name == "error" and not trimmed[len("Thornwake launcher error:"):].strip():
            found.append("error line without text: %r" % line)
        elif name == "updating-client" and not trimmed.endswith(ELLIPSIS):
            found.append("updating line without ellipsis: %r" % line)
        elif name is None:
            for start in ("Downloading", "Installed", "Client ", "Starting Thornwake", "Verifying", "UPDATE_CHECK", "Updating"):
                if trimmed.startswith(start):
                    found.append("plain line that looks like a form the launcher reads: %r" % line)
    return found


def assert_protocol_clean(test, run):
    test.assertEqual([], problems(run.text), run.text)
