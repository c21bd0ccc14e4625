#!/usr/bin/env bash
# Runs a command under a private Xvfb (for libobs) inside a private Secret Service session (for
# the linked install's API key): the two test wrappers nested.
set -euo pipefail
support=$(cd "$(dirname "$0")/../support" && pwd)
exec /usr/bin/python3 "$support/with_xvfb.py" "$support/with-keyring.sh" "$@"
