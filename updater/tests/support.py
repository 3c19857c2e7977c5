"""Shared fixtures for the updater tests: trees, feeds, a loopback server, runs, the line table."""

import functools
import hashlib
import http.server
import importlib.util
import json
import os
import plistlib
import random
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
UPDATER_DIR = os.path.dirname(HERE)
REPO = os.path.dirname(UPDATER_DIR)
SCRIPT = os.path.join(UPDATER_DIR, "client_updater.py")
PUBLISHER = os.path.join(REPO, "tools", "thornwake_publish.py")
GOLDEN_DIR = os.path.join(REPO, "tests", "golden", "updater")
LINE_TABLE = os.path.join(REPO, "tests", "protocol", "updater-lines.json")
# The interpreter the launcher runs the updater with; THORNWAKE_UPDATER_PYTHON runs the updater
# processes under another one (the suite under 3.9 runs them under 3.9 too).
PYTHON = os.environ.get("THORNWAKE_UPDATER_PYTHON") or (
    "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable)

sys.path.insert(0, UPDATER_DIR)

from thornwake_updater import ed25519, output  # noqa: E402

_found = importlib.util.spec_from_file_location("thornwake_publish", PUBLISHER)
publish = importlib.util.module_from_spec(_found)
_found.loader.exec_module(publish)

# Fixed test keys, so transcripts do not change from run to run.
SEED_A = bytes.fromhex("a1" * 32)
SEED_B = bytes.fromhex("b2" * 32)
KEY_A = ed25519.public_key(SEED_A).hex()
KEY_B = ed25519.public_key(SEED_B).hex()
WORLD = "1.4.2.0123456789ab"
REVISION = "3f2a9c0d1e2b3c4d5e6f708192a3b4c5d6e7f809"
LAUNCHER_OLD = "00000000000000aa"
LAUNCHER_NEW = "1111111111111111"

GAME_SCRIPT = b"""#!/bin/sh
# Test game: records its arguments, then ends as asked by $THORNWAKE_TEST_END.
printf '%s\\n' "$@" > "$PWD/../../args.txt"
echo "game output line"
case "$THORNWAKE_TEST_END" in
  term) kill -TERM $$ ;;
  fail) exit 7 ;;
  wait) trap 'exit 3' TERM; sleep 5 & wait $!; exit 4 ;;
  hold)
    # Saves a game, then plays until told to stop, reading its files once more.
    echo early > saves/early.sav; : > "$PWD/../../playing"; n=0
    while [ ! -e "$PWD/../../stop" ] && [ $n -lt 400 ]; do sleep 0.05; n=$((n+1)); done
    if cat data/shared.bin > /dev/null; then echo read > "$PWD/../../reads.txt"; fi
    echo late > saves/late.sav ;;
esac
exit 0
"""


def make_tree(root, files, executables=("bin/game",)):
    """A release tree: files maps relative paths to bytes, or to a link's target (a str)."""
    os.makedirs(root, exist_ok=True)
    for path, data in files.items():
        full = os.path.join(root, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if isinstance(data, str):
            os.symlink(data, full)
        else:
            write(full, data)
            os.chmod(full, 0o755 if path in executables else 0o644)
    return root


def read(path, mode="r"):
    with open(path, mode) as handle:
        return handle.read()


def write(path, data, mode="wb"):
    """data written to path (with "r+b": over its first bytes)."""
    with open(path, mode) as handle:
        handle.write(data)


def noise(seed, size):
    """Incompressible, reproducible bytes."""
    return random.Random(seed).getrandbits(8 * size).to_bytes(size, "little") if size else b""


def release_files(variant, count=6, size=3000):
    """A small game: the test game program, shared data and per-variant data."""
    files = {"bin/game": GAME_SCRIPT, "data/shared.bin": noise("shared", 4000), "data/text.txt": b"thornwake " * 400}
    for index in range(count):
        files["data/%s/part%03d.bin" % (variant, index)] = noise("%s-%d" % (variant, index), size)
    return files


class Feed:
    """A feed directory published with the real publisher code."""

    def __init__(self, root, region="production"):
        self.root = root
        self.region = region
        self.key_file = os.path.join(os.path.dirname(root), "signing-%s.key" % os.path.basename(root))
        os.makedirs(root, exist_ok=True)

    def add_client(self, tree, release, world=WORLD):
        publish.add_client(self.root, self.region, release, REVISION, world, "bin/game", tree)

    def add_launcher(self, tree, version):
        publish.add_launcher(self.root, self.region, version, tree)

    def sign(self, seed=SEED_A, mirrors=None):
        write(self.key_file, seed.hex() + "\n", "w")
        return publish.sign(self.root, self.key_file, 30, mirrors=mirrors)

    def publish_client(self, tree, release, world=WORLD, seed=SEED_A):
        self.add_client(tree, release, world)
        return self.sign(seed)

    def publish_manifest(self, document, release):
        """Publish a hand-made manifest (bypassing the publisher's own checks)."""
        ref = self.store_object((json.dumps(document) + "\n").encode("utf-8"))
        draft = publish.load_draft(self.root, self.region)
        draft["client"] = {"releaseId": release, "sourceRevision": REVISION, "worldVersion": WORLD, "manifest": ref.to_json()}
        publish.save_draft(self.root, draft)
        return self.sign()

    def store_object(self, data):
        return publish.FeedDirectory(self.root).store_bytes(data)[0]

    def packs(self):
        """The served paths of the feed's packs."""
        directory = os.path.join(self.root, "packs")
        return {"/packs/" + name for name in os.listdir(directory)} if os.path.isdir(directory) else set()

    def spoil(self, data):
        """Overwrite the stored copy of data (stored as is) in the packs with other bytes of its length."""
        for path in self.packs():
            local = os.path.join(self.root, path[1:])
            content = read(local, "rb")
            at = content.find(data)
            if at >= 0:
                write(local, content[:at] + bytes(b ^ 0x5A for b in data) + content[at + len(data):])


class CountingHandler(http.server.SimpleHTTPRequestHandler):
    """Serves the feed directory with single byte ranges, counting requests and body bytes."""

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        # Headers and body go out in separate writes; do not let them wait for an acknowledgement.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with self.server.lock:
            self.server.connections += 1

    def flush_headers(self):
        # The status line and headers are bytes the client fetched too.
        head = sum(len(line) for line in getattr(self, "_headers_buffer", []))
        super().flush_headers()
        with self.server.lock:
            self.server.head_bytes += head

    def do_GET(self):
        with self.server.lock:
            self.server.requests.append(self.path)
            self.server.ranges.append(self.headers.get("Range"))
            self.server.headers.append(self.headers)
        hook = self.server.hooks.get(self.path.split("?")[0])
        if hook is not None:
            return hook(self)
        return self.send_file(self.path)

    def send_file(self, path, stop_after=None, pace=0.0, hold=0.0):
        """The file at path (or a byte range of it); stop_after cuts the body off after that many bytes.

        With a pace, the body goes out a byte at a time, pace seconds apart; with hold, the connection
        stays open that long after what was sent.
        """
        local = self.translate_path(path)
        if not os.path.isfile(local):
            self.send_error(404)
            return
        with open(local, "rb") as handle:
            data = handle.read()
        start, end, status = 0, len(data), 200
        wanted = re.match(r"bytes=(\d+)-(\d*)\Z", self.headers.get("Range") or "")
        if wanted:
            start = int(wanted.group(1))
            end = min(end, int(wanted.group(2)) + 1) if wanted.group(2) else end
            if start >= end:
                self.send_error(416)
                return
            status = 206
        self.send_response(status)
        self.send_header("Content-Length", str(end - start))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, len(data)))
        self.end_headers()
        body = data[start:end] if stop_after is None else data[start:min(end, start + stop_after)]
        try:
            for piece in [body[i:i + 1] for i in range(len(body))] if pace else [body]:
                self.wfile.write(piece)
                self.wfile.flush()
                time.sleep(pace)
        except OSError:
            pass
        with self.server.lock:
            self.server.sent[path] = self.server.sent.get(path, 0) + len(body)
        time.sleep(hold)
        if stop_after is not None:
            self.close_connection = True


class FeedServer:
    """A real HTTP server on 127.0.0.1 serving a directory, counting requests and bytes."""

    def __init__(self, root, keep_alive=False):
        handler = type("Handler", (CountingHandler,), {"protocol_version": "HTTP/1.1"}) if keep_alive else CountingHandler
        handler = functools.partial(handler, directory=root)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.httpd.daemon_threads = True
        self.httpd.lock = threading.Lock()
        self.httpd.hooks = {}
        self.reset()
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.httpd.server_address[1]

    def object_requests(self):
        """Requests for objects and packs since the last reset()."""
        return [path for path in self.httpd.requests if path.startswith(("/objects/", "/packs/"))]

    def object_bytes(self):
        """Body bytes sent for objects and packs since the last reset()."""
        return sum(count for path, count in self.httpd.sent.items() if path.startswith(("/objects/", "/packs/")))

    def response_bytes(self):
        """Every byte of every response since the last reset(): status lines, headers and bodies."""
        with self.httpd.lock:
            return self.httpd.head_bytes + sum(self.httpd.sent.values())

    def reset(self):
        with self.httpd.lock:
            self.httpd.requests, self.httpd.ranges, self.httpd.sent, self.httpd.connections = [], [], {}, 0
            self.httpd.head_bytes = 0
            self.httpd.headers = []

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def write_config(path, regions):
    """launcher-config.json with (id, feed, keys) regions."""
    regions = [{"id": rid, "name": rid.title(), "feed": feed, "trustedKeys": keys} for rid, feed, keys in regions]
    write(path, json.dumps({"schemaVersion": 3, "defaultRegion": regions[0]["id"], "regions": regions}), "w")
    return path


# The output line forms, shared with the launcher's tests.
with open(LINE_TABLE, encoding="utf-8") as _handle:
    LINE_FORMS = json.load(_handle)["forms"]
for _form in LINE_FORMS:
    _form["compiled"] = re.compile(_form["pattern"])


def line_form(line):
    """The name of the form a line is a well-formed instance of, or None."""
    return next((form["name"] for form in LINE_FORMS if form["compiled"].match(line)), None)


def line_problems(text):
    """What the launcher would misread in an updater's output, as a list of sentences."""
    found = ["no line feed at the end"] if text and not text.endswith("\n") else []
    found += ["a Python traceback reached the pipe"] if "Traceback (most recent call last)" in text else []
    # A line with white space around it, or one that starts like a form the launcher reads but is not one.
    return found + [line for line in text.splitlines() if line != line.strip() or (
        line_form(line) is None and line.startswith(output._PROTOCOL_PREFIXES))]


def run_result(status, stdout):
    """What an updater run printed and how it ended."""
    text = stdout.decode("utf-8")
    return types.SimpleNamespace(status=status, text=text, lines=text.splitlines())


class UpdaterTestCase(unittest.TestCase):
    """A temporary home and support directory per test, and helpers to run the updater."""

    region = "production"

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="thornwake-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.home = os.path.join(self.tmp, "home")
        os.makedirs(self.home)
        self.support = os.path.join(self.home, ".local", "share", "Thornwake")
        self.region_dir = os.path.join(self.support, "client", "regions", self.region)

    def env(self, **extra):
        # No proxy: the tests' servers are on this machine's loopback address only.
        dropped = ("XDG_DATA_HOME", "THORNWAKE_TEST_END", "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY")
        env = {k: v for k, v in os.environ.items() if k not in dropped}
        env.update(HOME=self.home, PYTHONUNBUFFERED="1", LC_ALL="C")
        env.update(extra)
        return env

    def run_updater(self, *args, config=None, timeout=60, **env):
        argv = [PYTHON, SCRIPT] + (["--config", config, "--region", self.region] if config else []) + list(args)
        completed = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   env=self.env(**env), timeout=timeout)
        return self.checked(run_result(completed.returncode, completed.stdout))

    def checked(self, run):
        self.assertEqual([], line_problems(run.text), run.text)
        return run

    def run_with_mounts(self, mounts, runs):
        """Updater runs (argument lists, each of which must succeed) in a mount namespace made by the shell commands mounts.

        Their output together is returned as one run_result. Skipped where the system does not let this user make the namespace.
        """
        if not sys.platform.startswith("linux") or shutil.which("unshare") is None:
            self.skipTest("needs unshare(1) and Linux mount namespaces")
        script = ["%s || exit 77" % command for command in mounts]
        script += ["%s || exit 78" % shlex.join([PYTHON, SCRIPT] + arguments) for arguments in runs]
        completed = subprocess.run(["unshare", "--map-root-user", "--mount", "sh", "-c", "\n".join(script)],
                                   stdin=subprocess.DEVNULL, capture_output=True, env=self.env(), timeout=60)
        errors = completed.stderr.decode("utf-8", "replace")
        if completed.returncode == 77 or errors.startswith("unshare:"):
            self.skipTest("this system does not let the tests mount: " + errors.strip())
        run = self.checked(run_result(completed.returncode, completed.stdout))
        self.assertEqual(0, run.status, run.text + errors)
        return run

    def current(self):
        return json.loads(read(os.path.join(self.region_dir, "current.json")))

    def release_path(self, *relative):
        return os.path.join(self.region_dir, "releases", self.current()["releaseDirectory"], *relative)

    def assert_installed(self, release, message=""):
        """release is current and whole, and releases/ holds nothing else but its manifest and stamps."""
        self.assertEqual((release, True), installed_is_intact(self.region_dir), message)
        name = self.current()["releaseDirectory"]
        self.assertEqual(sorted([name, name + ".manifest", name + ".verified"]),
                         sorted(os.listdir(os.path.join(self.region_dir, "releases"))), message)

    def golden(self, name, run, mode, *extra):
        """Compare run's lines with tests/golden/updater/<name>.txt; THORNWAKE_UPDATE_GOLDEN=1 rewrites it.

        The directory's README lists every transcript with its mode and exit status,
        which the launcher's tests need; a missing or wrong row fails here.
        """
        row = "| `%s.txt` | %s | %d |" % (name, mode, run.status)
        self.assertIn(row, read(os.path.join(GOLDEN_DIR, "README.md")), "tests/golden/updater/README.md needs: " + row)
        text = re.sub(r"\?t=[0-9a-f]{16}\b", "?t=<random>", run.text.replace(self.tmp, "<tmp>"))
        for old, new in extra:
            text = text.replace(old, new)
        path = os.path.join(GOLDEN_DIR, name + ".txt")
        if os.environ.get("THORNWAKE_UPDATE_GOLDEN") == "1":
            return write(path, text.encode("utf-8"))
        # Downloads run in parallel, so the percentages in between vary from run to run.
        self.assertEqual(_fold_progress(read(path, "rb").decode("utf-8")), _fold_progress(text),
                         "transcript %s changed; rerun with THORNWAKE_UPDATE_GOLDEN=1 if intended" % name)


    def start_until(self, argv, line, **env):
        """A run of argv, read up to the line that starts with line; (process, when the line came)."""
        process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env(**env))
        for raw in process.stdout:
            if raw.decode("utf-8").startswith(line):
                return process, time.monotonic()
        process.communicate()
        self.fail("the run ended before %r" % line)

    def kill_spread(self, start, kills, check):
        """SIGKILL kills runs of start() at moments spread over what follows the line it waits for; check(where) after each.

        The span is the shorter of two whole runs. Most of a run is the flush of the whole file
        system, which other programs' writes lengthen or shorten from run to run, so a run found
        ended at its kill shortens the span and another run takes that kill's place (at most
        three runs a kill).
        """
        spans = []
        for _ in range(2):
            process, began = start()
            process.communicate()
            spans.append(time.monotonic() - began)
        span = min(spans)
        seed = int(time.time())
        chance = random.Random(seed)
        interrupted = attempts = 0
        while interrupted < kills and attempts < 3 * kills:
            attempts += 1
            process, began = start()
            time.sleep(max(0.0, began + span * (interrupted + chance.random()) / kills - time.monotonic()))
            if process.poll() is None:
                interrupted += 1
            else:
                span = min(span, time.monotonic() - began)
            process.kill()
            process.communicate()
            check("kill %d of %d (seed %d, %.3f s span)" % (interrupted, kills, seed, span))
        # Most kills must land inside a run, or the test proves little.
        self.assertGreaterEqual(interrupted, kills // 2, "seed %d" % seed)


class ServedFeedTestCase(UpdaterTestCase):
    """A feed served on loopback HTTP and a configuration that names it."""

    keep_alive = False

    def setUp(self):
        super().setUp()
        self.feed = Feed(os.path.join(self.tmp, "feed"))
        self.server = FeedServer(self.feed.root, keep_alive=self.keep_alive)
        self.addCleanup(self.server.stop)
        self.config = write_config(os.path.join(self.tmp, "launcher-config.json"), [(self.region, self.server.url, [KEY_A])])
        self.port = (str(self.server.httpd.server_address[1]), "<port>")

    def run_mode(self, *args, **env):
        return self.run_updater(*args, config=self.config, **env)

    def update(self):
        run = self.run_mode("--update-only")
        self.assertEqual(0, run.status, run.text)
        return run


def _fold_progress(text):
    """The transcript with each run of progress reports reduced to its first and last, their speed and time left dropped.

    Downloads run in parallel and take their own time, so the reports in between vary from run to run.
    """
    out = []
    lines = text.splitlines()
    index = 0
    while index < len(lines):
        line = lines[index]
        if line.startswith(("Updating to client ", "Updating launcher to ")) and index + 1 < len(lines) and \
                lines[index + 1].startswith(("Downloading client: ", "Downloading launcher: ")):
            report = (re.sub(r" \u00b7 [^\u00b7)]*(/s|left)", "", line), lines[index + 1])
            if out and isinstance(out[-1], list):
                out[-1][1:] = [report]
            else:
                out.append([report])
            index += 2
            continue
        out.append(line)
        index += 1
    return out


BUNDLE_EXECUTABLES = ("Contents/MacOS/thornwake-launcher", "Contents/Frameworks/Engine.framework/Versions/A/Engine")


def bundle_files(version, variant="a", count=20, size=2000):
    """A launcher bundle: its Info.plist, programs, resources, and a framework with its links."""
    info = {"CFBundleExecutable": "thornwake-launcher", "CFBundleVersion": version, "CFBundlePackageType": "APPL"}
    files = {
        "Contents/Info.plist": plistlib.dumps(info),
        "Contents/MacOS/thornwake-launcher": b"#!/bin/sh\nexit 0\n",
        "Contents/Frameworks/Engine.framework/Versions/A/Engine": noise("engine-" + variant, 6000),
        "Contents/Frameworks/Engine.framework/Versions/Current": "A",
        "Contents/Frameworks/Engine.framework/Engine": "Versions/Current/Engine",
    }
    for index in range(count):
        files["Contents/Resources/data/item%03d.bin" % index] = noise("bundle-%s-%d" % (variant if index < 2 else "a", index), size)
    return files


def make_bundle(root, version, variant="a", **kwargs):
    return make_tree(root, bundle_files(version, variant, **kwargs), BUNDLE_EXECUTABLES)


def tree_listing(root):
    """Every entry under root: (path, kind, executable or link target, content hash)."""
    listing = []
    for directory, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(directory, name)
            if os.path.islink(path):
                entry = ("link", os.readlink(path), None)
            elif os.path.isdir(path):
                entry = ("dir", None, None)
            else:
                entry = ("file", bool(os.lstat(path).st_mode & 0o111), hashlib.sha256(read(path, "rb")).hexdigest())
            listing.append((os.path.relpath(path, root),) + entry)
    return sorted(listing)


def installed_is_intact(region_dir):
    """(release id, whether every entry of its manifest is there with the right content) of what current.json names."""
    current = json.loads(read(os.path.join(region_dir, "current.json")))
    release = os.path.join(region_dir, "releases", current["releaseDirectory"])
    data = read(release + ".manifest", "rb")
    listing = {path: list(rest) for path, *rest in tree_listing(release)}
    expected = {entry["path"]: {"link": ["link", entry.get("target"), None], "dir": ["dir", None, None]}.get(
        entry.get("type"), ["file", bool(entry.get("mode", 0) & 0o111), entry.get("sha256")])
        for entry in json.loads(data)["files"]}
    intact = hashlib.sha256(data).hexdigest() == current["manifestSha256"]
    return current["releaseId"], intact and all(listing.get(path) == value for path, value in expected.items())
