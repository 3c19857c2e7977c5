"""Drives the real launcher bundle: temporary homes, bundle copies, feeds, key presses, logs."""

import json
import os
import plistlib
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PUBLISH = os.path.join(SOURCE, "tools", "thornwake_publish.py")
BUNDLE = os.environ.get("THORNWAKE_BUNDLE", os.path.join(SOURCE, "build", "Thornwake Launcher.app"))
DEMO_GAME = os.environ.get("THORNWAKE_DEMO_GAME", os.path.join(SOURCE, "build", "demo", "thornwake-demo-game"))
EXECUTABLE = "thornwake-launcher"


def wait_for(condition, timeout=30.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    return condition()


def free_port():
    """A port nothing listens on now (scripts/screenshots.py serves its feed there)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def publish(*args):
    result = subprocess.run([sys.executable, PUBLISH, *args], capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError("publish %s failed:\n%s%s" % (args[0], result.stdout, result.stderr))
    return result.stdout


def copy_bundle(destination, version):
    """A copy of the built bundle that reports the given version (None: no version)."""
    shutil.copytree(BUNDLE, destination, symlinks=True)
    plist_path = os.path.join(destination, "Contents", "Info.plist")
    with open(plist_path, "rb") as handle:
        info = plistlib.load(handle)
    info.pop("CFBundleVersion", None)
    if version:
        info["CFBundleVersion"] = version
    with open(plist_path, "wb") as handle:
        plistlib.dump(info, handle)
    return destination


def game_tree(root, release):
    """A release of the demo game."""
    os.makedirs(os.path.join(root, "bin"))
    os.makedirs(os.path.join(root, "data"))
    shutil.copy2(DEMO_GAME, os.path.join(root, "bin", "thornwake-game"))
    with open(os.path.join(root, "data", "release.txt"), "w") as handle:
        handle.write(release + "\n")
    with open(os.path.join(root, "data", "world.dat"), "wb") as handle:
        handle.write(os.urandom(1 << 20))
    return root


class Feed:
    """A signed feed directory for one region, published with the real publisher."""

    def __init__(self, root, region="eu-west"):
        self.root = root
        self.region = region
        self.key = os.path.join(os.path.dirname(root), "signing-%s.key" % region)
        os.makedirs(root, exist_ok=True)
        if not os.path.exists(self.key):
            publish("keygen", self.key)
        self.public_key = publish("pubkey", self.key).strip().split()[-1]

    def add_client(self, release, tree):
        publish("add-client", self.root, "--region", self.region, "--release", release,
                "--source-revision", "%040x" % abs(hash(release)), "--world", "1.0.0.0123456789ab",
                "--executable", "bin/thornwake-game", tree)

    def add_launcher(self, version, bundle):
        publish("add-launcher", self.root, "--region", self.region, "--version", version, bundle)

    def sign(self):
        publish("sign", self.root, "--key", self.key)


def write_config(bundle, feeds):
    """The bundle's region configuration: (id, name, feed URL, public key) per region."""
    config = {"schemaVersion": 3, "defaultRegion": feeds[0][0],
              "regions": [{"id": i, "name": n, "feed": url, "trustedKeys": [key]} for i, n, url, key in feeds]}
    with open(os.path.join(bundle, "Contents", "Resources", "launcher-config.json"), "w") as handle:
        json.dump(config, handle)


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as handle:
                    fields = handle.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == pid and fields[0] != "Z":
                    found.append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    return found


def processes_running(executable):
    """Process ids whose program is the given file."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink("/proc/%s/exe" % entry) == executable:
                    found.append(int(entry))
            except OSError:
                pass
    return found


class Home:
    """A temporary home directory and the environment that points the launcher at it."""

    def __init__(self, root):
        self.root = root
        self.data = os.path.join(root, ".local", "share")
        self.support = os.path.join(self.data, "Thornwake")
        os.makedirs(self.data)
        self.env = dict(os.environ)
        self.env.update(HOME=root, XDG_DATA_HOME=self.data, XDG_CONFIG_HOME=os.path.join(root, ".config"),
                        XDG_RUNTIME_DIR=os.path.join(root, "runtime"), THORNWAKE_DEMO_GAME_SECONDS="1")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)

    def log(self):
        try:
            with open(os.path.join(self.support, "launcher.log"), encoding="utf-8", errors="replace") as handle:
                return handle.read()
        except OSError:
            return ""

    def current(self, region="eu-west"):
        path = os.path.join(self.support, "client", "regions", region, "current.json")
        try:
            with open(path) as handle:
                return json.load(handle)
        except OSError:
            return None


class Launcher:
    """The real launcher process of a bundle, with its window on the X server."""

    def __init__(self, bundle, home, *args, env=None):
        self.home = home
        executable = os.path.join(bundle, "Contents", "MacOS", EXECUTABLE)
        self.process = subprocess.Popen([executable, *args], env=env or home.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def window(self):
        """The launcher's visible window, or None."""
        command = ["xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.process.pid), "--name",
                   "^Thornwake$"]
        result = subprocess.run(command, capture_output=True, text=True)
        ids = result.stdout.split()
        return ids[0] if ids else None

    def idle(self):
        """No updater run is active (and the window has had a moment to settle)."""
        return not children(self.process.pid)

    def wait_idle_after(self, text, timeout=60):
        assert wait_for(lambda: text in self.home.log(), timeout), "never logged %r:\n%s" % (text, self.home.log())
        assert wait_for(self.idle, timeout), "the run did not end"
        time.sleep(0.4)

    def press_return(self):
        window = wait_for(self.window, 10)
        assert window, "no visible launcher window"
        subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True, timeout=10)
        subprocess.run(["xdotool", "key", "--clearmodifiers", "Return"], check=True, timeout=10)

    def wait_exit(self, timeout=60):
        return self.process.wait(timeout)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class E2ETestCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="thornwake-e2e-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.home = Home(os.path.join(self.tmp, "home"))
        self.launchers = []
        self.addCleanup(self.stop_launchers)

    def stop_launchers(self):
        for launcher in self.launchers:
            launcher.stop()

    def launch(self, bundle, *args, env=None):
        launcher = Launcher(bundle, self.home, *args, env=env)
        self.launchers.append(launcher)
        return launcher
