#!/usr/bin/env python3
"""Refuses a region configuration that the launcher or the updater would refuse, saying why.

The build runs it before launcher-config.json is copied into the bundle:

  check_launcher_config.py --launcher-rules PROGRAM --updater DIR launcher-config.json

PROGRAM is the build's thornwake-launcher-rules (the launcher's own loader); DIR holds the
updater's package, whose rules every region's "feed" and "trustedKeys" must pass, since players
of a region the updater refuses could never install or update the game. Exits 1 with one line per
reason on standard error.
"""

import argparse
import json
import os
import subprocess
import sys


def launcher_reasons(rules_program, config_path):
    try:
        result = subprocess.run([rules_program, config_path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as exc:
        return ["the launcher's rules could not be run (%s: %s)" % (rules_program, exc.strerror or exc)]
    reason = result.stderr.decode("utf-8", "replace").strip()
    if result.returncode == 0:
        return []
    if result.returncode != 1 or not reason:
        return ["the launcher's rules ended with status %d: %s" % (result.returncode, reason)]
    return ["the launcher refuses it: " + reason]


def updater_reasons(updater_directory, config_path):
    sys.dont_write_bytecode = True  # the source tree may be read-only, and caches do not belong there
    sys.path.insert(0, updater_directory)
    from thornwake_updater.config import load_region
    from thornwake_updater.errors import UpdaterError

    # Only reached once the launcher has accepted the file, so it is a JSON object with regions.
    try:
        with open(config_path, "rb") as handle:
            regions = json.loads(handle.read().decode("utf-8"))["regions"]
    except (OSError, UnicodeDecodeError, ValueError, RecursionError) as exc:
        return ["the updater cannot read it: %s" % exc]
    reasons = []
    for region in regions:
        try:
            load_region(config_path, region["id"])
        except UpdaterError as exc:
            reason = 'the updater refuses region "%s"' % region["id"]
            if exc.detail:
                prefix = "region %s: " % region["id"]
                reason += ": " + (exc.detail[len(prefix):] if exc.detail.startswith(prefix) else exc.detail)
            reasons.append('%s; its players would see "%s"' % (reason, exc.message))
    return reasons


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--launcher-rules", required=True, help="the thornwake-launcher-rules program")
    parser.add_argument("--updater", required=True, help="the directory that holds thornwake_updater")
    parser.add_argument("config", help="the launcher-config.json to check")
    args = parser.parse_args(argv)
    config_path = os.path.abspath(args.config)
    reasons = launcher_reasons(args.launcher_rules, config_path) or updater_reasons(args.updater, config_path)
    for reason in reasons:
        print("Refusing to bundle %s: %s" % (config_path, reason), file=sys.stderr)
    return 1 if reasons else 0


if __name__ == "__main__":
    sys.exit(main())
