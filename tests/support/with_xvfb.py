#!/usr/bin/python3
"""Runs a command with DISPLAY set to a private Xvfb that lives exactly as long as the command."""

import os
import subprocess
import sys

from obs_harness import XServer, exit_on_sigterm


def main(argv):
    if not argv:
        print("usage: with_xvfb.py <command> [args...]", file=sys.stderr)
        return 2
    exit_on_sigterm()
    with XServer() as x:
        return subprocess.call(argv, env={**os.environ, "DISPLAY": x.display})


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
