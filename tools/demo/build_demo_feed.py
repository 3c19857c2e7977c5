#!/usr/bin/python3
"""Publishes the demo feed that a freshly built launcher bundle points at.

Two releases of the demo game for two regions, signed with a demo key kept in the output
directory, and a launcher-config.json whose regions read those feeds from file:// URLs. Running it
again republishes with a higher sequence, so a player who already accepted the old feed keeps
accepting the new one.

  build_demo_feed.py --out <dir> --game <demo game executable>
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PUBLISH = os.path.join(HERE, "..", "thornwake_publish.py")
REGIONS = [("eu-west", "Europe West"), ("na-east", "North America East")]
RELEASES = ["2026.12.0", "2026.12.1"]


def publish(*args):
    result = subprocess.run([sys.executable, PUBLISH, *args], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("publishing failed: %s %s\n%s%s" % (" ".join(args[:1]), args[1:], result.stdout, result.stderr))
    return result.stdout


def make_release_tree(root, release, game):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "bin"))
    os.makedirs(os.path.join(root, "data"))
    shutil.copy2(game, os.path.join(root, "bin", "thornwake-game"))
    with open(os.path.join(root, "data", "release.txt"), "w") as handle:
        handle.write(release + "\n")
    # World data that changes a little between releases, so an update has something to fetch.
    seed = hashlib.sha256(release.encode()).digest()
    with open(os.path.join(root, "data", "world.dat"), "wb") as handle:
        for block in range(64):
            handle.write(hashlib.sha256(seed + block.to_bytes(4, "big")).digest() * 512)


def world_version(release):
    return "1.0.%d.%s" % (RELEASES.index(release), hashlib.sha256(release.encode()).hexdigest()[:12])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--game", required=True)
    options = parser.parse_args()
    out = os.path.abspath(options.out)
    os.makedirs(out, exist_ok=True)

    key = os.path.join(out, "demo-signing.key")
    if not os.path.exists(key):
        publish("keygen", key)
    public_key = publish("pubkey", key).strip().split()[-1]

    trees = {}
    for release in RELEASES:
        trees[release] = os.path.join(out, "releases", release)
        make_release_tree(trees[release], release, options.game)

    config = {"schemaVersion": 3, "defaultRegion": REGIONS[0][0], "regions": []}
    for region, name in REGIONS:
        feed = os.path.join(out, "feed", region)
        os.makedirs(feed, exist_ok=True)
        for release in RELEASES:
            publish("add-client", feed, "--region", region, "--release", release,
                    "--source-revision", hashlib.sha1(release.encode()).hexdigest(),
                    "--world", world_version(release), "--executable", "bin/thornwake-game",
                    trees[release])
        # A demo feed of an older build was format 1; no launcher installed from it needs a transition.
        publish("sign", feed, "--key", key, "--expires-days", "365", "--end-legacy-feed")
        config["regions"].append({"id": region, "name": name, "feed": "file://" + feed,
                                  "trustedKeys": [public_key]})

    with open(os.path.join(out, "launcher-config.json"), "w") as handle:
        json.dump(config, handle, indent=4)
        handle.write("\n")


if __name__ == "__main__":
    main()
