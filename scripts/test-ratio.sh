#!/usr/bin/env bash
# Lines of tests (tests/ and fuzz/) against lines of product code (src/ and tools/), counting the
# .cpp .h .py .cmake and .sh files that git tracks.
#
# usage: scripts/test-ratio.sh [revision]   (default: the working tree's tracked files)
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:-}

lines() { # lines <folder>...
    local file
    if [[ -n $rev ]]; then
        git ls-tree -r --name-only "$rev" -- "$@" | grep -E '\.(cpp|h|py|cmake|sh)$' |
            while read -r file; do git show "$rev:$file"; done | wc -l
    else
        git ls-files --cached --others --exclude-standard -- "$@" |
            grep -E '\.(cpp|h|py|cmake|sh)$' |
            while read -r file; do [[ ! -f $file ]] || cat "$file"; done | wc -l
    fi
}

tests=$(lines tests fuzz)
code=$(lines src tools)
awk -v t="$tests" -v c="$code" \
    'BEGIN { printf "tests %d lines (tests/ fuzz/), code %d lines (src/ tools/): %.2f\n", t, c, t / c }'
