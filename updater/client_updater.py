#!/usr/bin/python3
"""Thornwake updater: checks for, downloads and installs game updates, and starts the game.

Run by the launcher; see thornwake_updater/cli.py for the command line. Its
output is read line by line by the launcher, so nothing but our own lines may
reach it: every failure, even an unexpected one, ends as one
"Thornwake launcher error:" line and exit status 1.
"""

import os
import sys


_INTERRUPTED = "The update was interrupted; the installed game was not changed. Try again."
_UNEXPECTED = "The updater hit an unexpected problem. Retry, or reinstall the launcher."


def _fail(text):
    try:
        sys.stdout.write("Thornwake launcher error: " + text + "\n")
        sys.stdout.flush()
    except Exception:
        pass
    return 1


def _main():
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(encoding="utf-8", errors="replace")
        except (AttributeError, ValueError):
            pass
    import warnings

    warnings.simplefilter("ignore")
    # The package lives inside the signed launcher bundle, which must not change.
    sys.dont_write_bytecode = True
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    try:
        from thornwake_updater import cli
    except Exception:
        return _fail("The updater is incomplete. Reinstall Thornwake Launcher.")
    try:
        return cli.main(sys.argv[1:])
    except BaseException as exc:  # the last guard: no traceback may reach the launcher
        if isinstance(exc, (SystemExit, KeyboardInterrupt)):
            raise
        return _fail(_UNEXPECTED)


if __name__ == "__main__":
    try:
        status = _main()
    except KeyboardInterrupt:
        # Ctrl-C, even while the package is still being imported.
        status = _fail(_INTERRUPTED)
    try:
        sys.stdout.flush()
    except Exception:
        # The launcher went away; nobody is left to read anything.
        os._exit(status)
    sys.exit(status)
