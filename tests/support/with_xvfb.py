#!/usr/bin/python3
"""Runs a command with DISPLAY set to a private Xvfb that lives exactly as long as the command."""

import os
import subprocess
import sys

from obs_harness import XServer, exit_on_sigterm

if __name__ == "__main__":
    exit_on_sigterm()
    with XServer() as x:
        sys.exit(subprocess.call(sys.argv[1:], env={**os.environ, "DISPLAY": x.display}))
