#!/usr/bin/env bash
# Streams a moving test pattern with sound from Debian's OBS, headless under Xvfb, through the
# built module to a local ingest server, and prints what the server received.
#   scripts/demo.sh <build-dir>
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 <build-dir>" >&2
    exit 2
fi
exec /usr/bin/python3 "$(dirname "$0")/demo.py" "$1"
