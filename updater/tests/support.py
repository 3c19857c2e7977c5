"""Shared fixtures for the updater tests: trees, feeds, a loopback server, runs."""

import datetime
import functools
import hashlib
import http.server
import importlib.util
import json
import os
import plistlib
import random
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
UPDATER_DIR = os.path.dirname(HERE)
REPO = os.path.dirname(UPDATER_DIR)
SCRIPT = os.path.join(UPDATER_DIR, "client_updater.py")
PUBLISHER = os.path.join(REPO, "tools", "thornwake_publish.py")
GOLDEN_DIR = os.path.join(REPO, "tests", "golden", "updater")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

sys.path.insert(0, UPDATER_DIR)

from thornwake_updater import ed25519  # noqa: E402


def _load_publisher():
    found = importlib.util.spec_from_file_location("thornwake_publish", PUBLISHER)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


publish = _load_publisher()

# Fixed test keys, so transcripts do not change from run to run.
SEED_A = bytes.fromhex("a1" * 32)
SEED_B = bytes.fromhex("b2" * 32)
KEY_A = ed25519.public_key(SEED_A).hex()
KEY_B = ed25519.public_key(SEED_B).hex()
WORLD = "1.4.2.0123456789ab"
WORLD_2 = "1.5.0.abcdef012345"
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


def make_tree(root, files, links=None, executables=("bin/game",)):
    """A release tree: files maps relative paths to bytes, links to targets."""
    os.makedirs(root)
    for path, data in files.items():
        full = os.path.join(root, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as handle:
            handle.write(data)
        os.chmod(full, 0o755 if path in executables else 0o644)
    for path, target in (links or {}).items():
        full = os.path.join(root, *path.split("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        os.symlink(target, full)
    return root


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

    def __init__(self, root, region="production", seed=SEED_A):
        self.root = root
        self.region = region
        self.key_file = os.path.join(os.path.dirname(root), "signing-%s.key" % os.path.basename(root))
        if not os.path.exists(self.key_file):
            with open(self.key_file, "w") as handle:
                handle.write(seed.hex() + "\n")
        os.makedirs(root, exist_ok=True)

    def add_client(self, tree, release, world=WORLD, revision=REVISION, executable="bin/game"):
        publish.add_client(self.root, self.region, release, revision, world, executable, tree)

    def add_launcher(self, tree, version):
        publish.add_launcher(self.root, self.region, version, tree)

    def sign(self, expires_days=30, now=None, seed=None):
        if seed is not None:
            with open(self.key_file, "w") as handle:
                handle.write(seed.hex() + "\n")
        return publish.sign(self.root, self.key_file, expires_days, now=now)

    def publish_client(self, tree, release, **kwargs):
        self.add_client(tree, release, **{k: v for k, v in kwargs.items() if k in ("world", "revision", "executable")})
        return self.sign(**{k: v for k, v in kwargs.items() if k in ("expires_days", "now", "seed")})

    def publish_manifest(self, document, release, world=WORLD):
        """Publish a hand-made manifest (bypassing the publisher's own checks)."""
        directory = publish.FeedDirectory(self.root)
        data = (json.dumps(document) + "\n").encode("utf-8")
        ref, _ = directory.store_bytes(data)
        draft = publish.load_draft(self.root, self.region)
        draft["client"] = {"releaseId": release, "sourceRevision": REVISION, "worldVersion": world, "manifest": ref.to_json()}
        publish.save_draft(self.root, draft)
        return self.sign()

    def store_object(self, data):
        ref, _ = publish.FeedDirectory(self.root).store_bytes(data)
        return ref

    def snapshot(self):
        snapshot = {}
        for name in ("feed.json", "feed.json.sig"):
            with open(os.path.join(self.root, name), "rb") as handle:
                snapshot[name] = handle.read()
        return snapshot

    def restore(self, snapshot):
        for name, data in snapshot.items():
            with open(os.path.join(self.root, name), "wb") as handle:
                handle.write(data)


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

    def do_GET(self):
        with self.server.lock:
            self.server.requests.append(self.path)
            self.server.ranges.append(self.headers.get("Range"))
        hook = self.server.hooks.get(self.path)
        if hook is not None:
            return hook(self)
        return self.send_file(self.path, honor_range=self.server.honor_range)

    def send_file(self, path, honor_range=True, stop_after=None):
        """The file at path (or a byte range of it); stop_after cuts the body off after that many bytes."""
        local = self.translate_path(path)
        if not os.path.isfile(local):
            self.send_error(404)
            return
        with open(local, "rb") as handle:
            data = handle.read()
        start, status = 0, 200
        wanted = self.headers.get("Range")
        if wanted and honor_range and wanted.startswith("bytes=") and wanted.endswith("-"):
            start = int(wanted[6:-1])
            if start >= len(data):
                self.send_error(416)
                return
            status = 206
        self.send_response(status)
        self.send_header("Content-Length", str(len(data) - start))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
        self.end_headers()
        body = data[start:] if stop_after is None else data[start:start + stop_after]
        try:
            self.wfile.write(body)
            self.wfile.flush()
        except OSError:
            pass
        with self.server.lock:
            self.server.sent[path] = self.server.sent.get(path, 0) + len(body)
        if stop_after is not None:
            self.close_connection = True


class KeepAliveHandler(CountingHandler):
    protocol_version = "HTTP/1.1"


class FeedServer:
    """A real HTTP server on 127.0.0.1 serving a directory, counting requests and bytes."""

    def __init__(self, root, keep_alive=False):
        handler = functools.partial(KeepAliveHandler if keep_alive else CountingHandler, directory=root)
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.httpd.daemon_threads = True
        self.httpd.lock = threading.Lock()
        self.httpd.requests = []
        self.httpd.ranges = []
        self.httpd.sent = {}
        self.httpd.connections = 0
        self.httpd.hooks = {}
        self.httpd.honor_range = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.httpd.server_address[1]

    @property
    def requests(self):
        return self.httpd.requests

    def object_requests(self):
        return [path for path in self.requests if path.startswith("/objects/")]

    def object_bytes(self):
        """Body bytes sent for objects since the last reset()."""
        return sum(count for path, count in self.httpd.sent.items() if path.startswith("/objects/"))

    def reset(self):
        with self.httpd.lock:
            del self.httpd.requests[:]
            del self.httpd.ranges[:]
            self.httpd.sent.clear()
            self.httpd.connections = 0

    def hook(self, path, function):
        self.httpd.hooks[path] = function

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def write_config(path, regions):
    """launcher-config.json with (id, feed, keys) regions."""
    document = {
        "schemaVersion": 3,
        "defaultRegion": regions[0][0],
        "regions": [{"id": rid, "name": rid.title(), "feed": feed, "trustedKeys": keys} for rid, feed, keys in regions],
    }
    with open(path, "w") as handle:
        json.dump(document, handle)
    return path


class Run:
    def __init__(self, completed):
        self.status = completed.returncode
        self.text = completed.stdout.decode("utf-8")
        self.lines = self.text.splitlines()


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
        argv = [PYTHON, SCRIPT]
        if config is not None:
            argv += ["--config", config, "--region", self.region]
        argv += list(args)
        completed = subprocess.run(
            argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=self.env(**env), timeout=timeout,
        )
        run = Run(completed)
        assert_protocol_clean(self, run)
        return run

    def run_with_mounts(self, mounts, steps, **env):
        """Run steps in a mount namespace of their own, after the shell commands in mounts.

        A step is a shell command (its failure is ignored) or the arguments of an updater
        run, which must succeed; the last step is an updater run, returned as a Run. The
        test is skipped where the system does not let this user make such a namespace.
        """
        if not sys.platform.startswith("linux") or shutil.which("unshare") is None:
            self.skipTest("needs unshare(1) and Linux mount namespaces")
        lines = ["%s || exit 77" % command for command in mounts]
        for step in steps[:-1]:
            if isinstance(step, str):
                lines.append("%s 2>/dev/null || true" % step)
            else:
                lines.append("%s >&2 || exit 78" % _shell_words([PYTHON, SCRIPT] + step))
        lines.append("exec " + _shell_words([PYTHON, SCRIPT] + steps[-1]))
        completed = subprocess.run(
            ["unshare", "--map-root-user", "--mount", "sh", "-c", "\n".join(lines)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env(**env), timeout=60,
        )
        errors = completed.stderr.decode("utf-8", "replace")
        if completed.returncode == 77 or errors.startswith("unshare:"):
            self.skipTest("this system does not let the tests mount: " + errors.strip())
        self.assertNotEqual(78, completed.returncode, errors)
        run = Run(completed)
        assert_protocol_clean(self, run)
        return run

    def current(self):
        with open(os.path.join(self.region_dir, "current.json")) as handle:
            return json.load(handle)

    def assert_only_current_release(self, message=""):
        """releases/ holds the current release, its manifest and its record of verified files, nothing else."""
        name = self.current()["releaseDirectory"]
        self.assertEqual(sorted([name, name + ".manifest", name + ".verified"]),
                         sorted(os.listdir(os.path.join(self.region_dir, "releases"))), message)

    def normalize(self, lines, *extra):
        out = []
        for line in lines:
            line = line.replace(self.tmp, "<tmp>")
            for old, new in extra:
                line = line.replace(old, new)
            out.append(line)
        return out

    def golden(self, name, run, mode, *extra):
        """Compare run's lines with tests/golden/updater/<name>.txt; THORNWAKE_UPDATE_GOLDEN=1 rewrites it.

        The directory's README lists every transcript with its mode and exit status,
        which the launcher's tests need; a missing or wrong row fails here.
        """
        with open(os.path.join(GOLDEN_DIR, "README.md"), encoding="utf-8") as handle:
            index = handle.read()
        row = "| `%s.txt` | %s | %d |" % (name, mode, run.status)
        self.assertIn(row, index, "tests/golden/updater/README.md needs the row: " + row)
        lines = self.normalize(run.lines, *extra)
        path = os.path.join(GOLDEN_DIR, name + ".txt")
        text = "".join(line + "\n" for line in lines)
        if os.environ.get("THORNWAKE_UPDATE_GOLDEN") == "1":
            os.makedirs(GOLDEN_DIR, exist_ok=True)
            with open(path, "w", encoding="utf-8") as handle:
                handle.write(text)
            return
        with open(path, encoding="utf-8") as handle:
            recorded = handle.read()
        # Downloads run in parallel, so the percentages in between vary from run to run.
        self.assertEqual(_fold_progress(recorded), _fold_progress(text),
                         "transcript %s changed; rerun with THORNWAKE_UPDATE_GOLDEN=1 if intended" % name)


def _shell_words(argv):
    return " ".join(shlex.quote(word) for word in argv)


def _fold_progress(text):
    """The transcript with each run of progress lines reduced to its first and last line."""
    out = []
    for line in text.splitlines():
        if line.startswith(("Downloading client: ", "Downloading launcher: ")):
            if out and out[-1][0] == "progress":
                out[-1] = ("progress", out[-1][1], line)
            else:
                out.append(("progress", line, line))
        else:
            out.append(("line", line))
    return out


LAUNCHER_PROGRAM = b"""#!/bin/sh
# Test launcher program: says where it runs from.
echo "launcher in $(cd "$(dirname "$0")/../.." && basename "$PWD")"
"""


def bundle_files(version, variant="a", count=20, size=2000):
    """The files of a launcher bundle: program, resources, a framework, and its Info.plist."""
    info = {"CFBundleExecutable": "thornwake-launcher", "CFBundleIdentifier": "com.thornwake.launcher",
            "CFBundleVersion": version, "CFBundlePackageType": "APPL"}
    files = {
        "Contents/Info.plist": plistlib.dumps(info),
        "Contents/MacOS/thornwake-launcher": LAUNCHER_PROGRAM,
        "Contents/MacOS/helper": b"#!/bin/sh\nexit 0\n",
        "Contents/Resources/client_updater.py": b"# stand-in\n",
        "Contents/Frameworks/Engine.framework/Versions/A/Engine": noise("engine-" + variant, 6000),
    }
    for index in range(count):
        files["Contents/Resources/data/item%03d.bin" % index] = noise("bundle-%s-%d" % (variant if index < 2 else "a", index), size)
    return files


def make_bundle(root, version, variant="a", **kwargs):
    """A launcher bundle tree with executables and framework-style links."""
    return make_tree(
        root,
        bundle_files(version, variant, **kwargs),
        links={
            "Contents/Frameworks/Engine.framework/Versions/Current": "A",
            "Contents/Frameworks/Engine.framework/Engine": "Versions/Current/Engine",
        },
        executables=("Contents/MacOS/thornwake-launcher", "Contents/MacOS/helper",
                     "Contents/Frameworks/Engine.framework/Versions/A/Engine"),
    )


def tree_listing(root):
    """Every entry under root: (path, kind, mode bits or link target, content hash)."""
    listing = []
    for directory, dirnames, filenames in os.walk(root):
        for name in sorted(dirnames + filenames):
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, root)
            info = os.lstat(path)
            if os.path.islink(path):
                listing.append((relative, "link", os.readlink(path), None))
            elif os.path.isdir(path):
                listing.append((relative, "dir", None, None))
            else:
                with open(path, "rb") as handle:
                    digest = hashlib.sha256(handle.read()).hexdigest()
                listing.append((relative, "file", bool(info.st_mode & 0o111), digest))
    return sorted(listing)


def tree_is_intact(release_dir, manifest_document):
    """True when every entry of the manifest is present with the right content."""
    for entry in manifest_document["files"]:
        path = os.path.join(release_dir, *entry["path"].split("/"))
        kind = entry.get("type", "file")
        if kind == "link":
            if not os.path.islink(path) or os.readlink(path) != entry["target"]:
                return False
        elif kind == "dir":
            if not os.path.isdir(path) or os.path.islink(path):
                return False
        else:
            if os.path.islink(path) or not os.path.isfile(path):
                return False
            with open(path, "rb") as handle:
                if hashlib.sha256(handle.read()).hexdigest() != entry["sha256"]:
                    return False
    return True


def installed_is_intact(region_dir):
    """(release id, intact?) of what current.json names."""
    with open(os.path.join(region_dir, "current.json")) as handle:
        current = json.load(handle)
    releases = os.path.join(region_dir, "releases")
    with open(os.path.join(releases, current["releaseDirectory"] + ".manifest"), "rb") as handle:
        data = handle.read()
    if hashlib.sha256(data).hexdigest() != current["manifestSha256"]:
        return current["releaseId"], False
    return current["releaseId"], tree_is_intact(os.path.join(releases, current["releaseDirectory"]), json.loads(data))


def past(days):
    return datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=days)


from protocol import assert_protocol_clean  # noqa: E402
