#!/usr/bin/python3
"""Saves screenshots of the launcher's main states into docs/screenshots/.

Run under an X server (scripts/screenshots.sh starts Xvfb). The demo feed is served from
127.0.0.1 by a deliberately slow server, so the checking and downloading states stay on screen
long enough to be captured.
"""

import http.server
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402

OUT = os.path.join(HERE, "..", "docs", "screenshots")
DEMO = os.path.join(os.path.dirname(harness.BUNDLE), "demo")


class SlowHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        time.sleep(1.5)
        super().do_GET()

    def copyfile(self, source, destination):
        while True:
            block = source.read(8192)
            if not block:
                return
            destination.write(block)
            time.sleep(0.15)


def capture(launcher, name, window=None):
    window = window or harness.wait_for(launcher.window, 10)
    subprocess.run(["import", "-window", window, os.path.join(OUT, name + ".png")], check=True)
    print("saved", os.path.join(OUT, name + ".png"))


def open_own_log_window(launcher, tmp):
    """View Log, pressed from the keyboard, where xdg-open fails: the launcher's own log window."""
    fake_bin = os.path.join(tmp, "bin")
    os.makedirs(fake_bin)
    with open(os.path.join(fake_bin, "xdg-open"), "w") as script:
        script.write("#!/bin/sh\nexit 3\n")
    os.chmod(os.path.join(fake_bin, "xdg-open"), 0o755)
    window = harness.wait_for(launcher.window, 10)
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True, timeout=10)
    # View Log is the last control in the focus chain, so Backtab reaches it from the region
    # picker (the first focus under a window manager) and from no focus at all (without one).
    subprocess.run(["xdotool", "key", "--clearmodifiers", "shift+Tab", "space"], check=True, timeout=10)
    found = harness.wait_for(lambda: subprocess.run(
        ["xdotool", "search", "--all", "--onlyvisible", "--pid", str(launcher.process.pid), "--name",
         "^Thornwake Launcher Log$"], capture_output=True, text=True).stdout.split(), 10)
    assert found, "the launcher's log window did not open"
    return found[0]


def main():
    os.makedirs(OUT, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="thornwake-shots-")
    try:
        with open(os.path.join(DEMO, "launcher-config.json")) as handle:
            demo = json.load(handle)
        port = harness.free_port()
        feed = os.path.join(DEMO, "feed", "eu-west")
        server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", port), lambda *a, **k: SlowHandler(*a, directory=feed, **k))
        threading.Thread(target=server.serve_forever, daemon=True).start()

        bundle = harness.copy_bundle(os.path.join(tmp, "Thornwake Launcher.app"), "3f9c2a7be41d0c58")
        regions = [(r["id"], r["name"], "http://127.0.0.1:%d/" % port if r["id"] == "eu-west" else r["feed"],
                    r["trustedKeys"][0]) for r in demo["regions"]]
        harness.write_config(bundle, regions)
        home = harness.Home(os.path.join(tmp, "home"))
        launcher = harness.Launcher(bundle, home)
        try:
            time.sleep(1.0)
            capture(launcher, "checking")
            launcher.wait_idle_after("UPDATE_CHECK")
            capture(launcher, "update-available")
            launcher.press_return()
            harness.wait_for(lambda: re.search(r"Downloading client: [1-9]", home.log()), 60)
            capture(launcher, "downloading")
            launcher.wait_idle_after("client=current", 120)
            capture(launcher, "ready-to-play")
            launcher.stop()
            server.shutdown()
            server.server_close()
            # A player with nothing installed while the update server is down, on a desktop where
            # xdg-open finds nothing to show the log with.
            offline = harness.Home(os.path.join(tmp, "offline-home"))
            offline.env["PATH"] = os.path.join(tmp, "bin") + os.pathsep + offline.env.get("PATH", "")
            launcher = harness.Launcher(bundle, offline)
            harness.wait_for(lambda: "Thornwake launcher error:" in launcher.home.log(), 60)
            harness.wait_for(launcher.idle, 60)
            time.sleep(0.5)
            capture(launcher, "offline")
            log_window = open_own_log_window(launcher, tmp)
            time.sleep(0.5)
            capture(launcher, "log-window", log_window)
        finally:
            launcher.stop()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
