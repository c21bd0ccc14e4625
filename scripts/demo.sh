#!/usr/bin/env bash
# Loads the built module into Debian's OBS, headless under Xvfb in a throw-away home with a demo
# configuration, shows what the module logged, and quits OBS the way a user does.
#   scripts/demo.sh <build-dir>
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 <build-dir>" >&2
    exit 2
fi
build_dir=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ! -f "$build_dir/ryvo-obs.so" ]]; then
    echo "demo: no ryvo-obs.so in $build_dir (build the module first)" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Manual credentials, so that no credential store is needed, and a loopback endpoint, so that the
# demo never reaches beyond this machine.
cat >"$work/obs-plugin.json" <<'JSON'
{
  "enabled": true,
  "auth_mode": "manual",
  "stream_id": "demo-stream",
  "api_key": "demo-key",
  "api_endpoint": "http://127.0.0.1:9",
  "runtime_mode": "full",
  "capture_mode": "streaming",
  "ram_buffer_minutes": 5
}
JSON

echo "demo: starting OBS headless with the module from $build_dir"
/usr/bin/python3 "$root/tests/support/obs_harness.py" "$build_dir" \
    --config "$work/obs-plugin.json" \
    --wait "[ryvo-obs] module loaded" --wait "[ryvo-obs] loaded config for stream demo-stream"
echo "demo: OBS quit cleanly"
