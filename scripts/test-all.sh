#!/usr/bin/env bash
# Runs each lane of `make test` (a make target each) even when an earlier one failed, then lists
# every lane with its result and time, and fails when any lane failed.
#
# usage: scripts/test-all.sh [--meanwhile <command> <log>] <make target>...
#   --meanwhile  runs <command> (a shell command line) in the background while the lanes run,
#                its output in <log>; a lane that needs its work waits for it by itself
set -uo pipefail

make=${MAKE:-make}
failed=()
table=()
started=$SECONDS
if [[ ${1:-} == --meanwhile ]]; then
    mkdir -p "$(dirname "$3")"
    bash -c "$2" >"$3" 2>&1 &
    meanwhile=$!
    # shellcheck disable=SC2064 # the job's id now
    trap "kill $meanwhile 2>/dev/null; exit 130" INT TERM
    shift 3
fi
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
if [[ -n ${meanwhile:-} ]]; then
    wait "$meanwhile"
fi
echo "=== make test: $((SECONDS - started)) s"
printf '%s\n' "${table[@]}"
if ((${#failed[@]} > 0)); then
    echo "make test: failed lanes: ${failed[*]}" >&2
    exit 1
fi
