#!/usr/bin/env bash
# Runs each lane of `make test` (a make target each) even when an earlier one failed, then lists
# every lane with its result and time, and fails when any lane failed.
#
# usage: scripts/test-all.sh <make target>...
set -uo pipefail

make=${MAKE:-make}
failed=()
table=()
started=$SECONDS
for lane in "$@"; do
    echo "=== make $lane"
    lane_started=$SECONDS
    if "$make" --no-print-directory "$lane"; then
        result=passed
    else
        result=FAILED
        failed+=("$lane")
    fi
    table+=("$(printf '  %-14s %-7s %5d s' "$lane" "$result" $((SECONDS - lane_started)))")
done
echo "=== make test: $((SECONDS - started)) s"
printf '%s\n' "${table[@]}"
if ((${#failed[@]} > 0)); then
    echo "make test: failed lanes: ${failed[*]}" >&2
    exit 1
fi
