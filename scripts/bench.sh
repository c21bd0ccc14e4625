#!/usr/bin/env bash
# Runs every benchmark of a (Release) build folder, prints one table of the figures and their
# same-run baselines, and writes it with the machine's description to bench/results.md.
#   scripts/bench.sh <build-dir>
# RYVO_BENCH_RESULTS names another file to write instead of bench/results.md.
# Benchmarks only measure: a missed aim is reported, not failed. A benchmark that cannot run
# (its own checks fail) makes the script exit non-zero after the table.
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 <build-dir>" >&2
    exit 2
fi
build_dir=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
results="${RYVO_BENCH_RESULTS:-$root/bench/results.md}"
logs="$build_dir/bench-logs"
mkdir -p "$logs"
rm -f "$logs"/*.log

machine() {
    local cpu cores memory os compiler build_type
    cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
    cores=$(nproc)
    memory=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
    os="$(. /etc/os-release && echo "$PRETTY_NAME"), Linux $(uname -r)"
    compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
    compiler="$("${compiler:-c++}" --version | head -n1)"
    build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
    echo "- CPU: $cpu, $cores cores"
    echo "- Memory: $memory"
    echo "- OS: $os"
    echo "- Compiler: $compiler (${build_type:-no} build type)"
    echo "- Load average when the run started: $(cut -d' ' -f1-3 /proc/loadavg)"
}

# OpenSSL's own figure for SHA-256 on segment-sized blocks, as a reference beside the
# benchmark's digest baseline.
openssl_sha256() {
    local kilo
    kilo=$(openssl speed -evp sha256 -bytes 2000000 -seconds 2 2>/dev/null |
        awk '$1 == "sha256" { print $2 }' | tr -d k)
    if [[ -n "$kilo" ]]; then
        awk -v k="$kilo" 'BEGIN { printf "%.0f MB/s", k / 1000 }'
    else
        echo "not available"
    fi
}

started=$(date -u +"%Y-%m-%d %H:%M UTC")
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
machine_text=$(machine)

declare -a benches=(core_throughput_bench upload_throughput_bench send_clip_bench
    packet_callback_bench dock_refresh_bench obs_cpu_bench)
declare -a rows=()
status=0
for bench in "${benches[@]}"; do
    binary="$build_dir/bench/$bench"
    args=()
    if [[ $bench == send_clip_bench ]]; then
        args=(--clip "$build_dir/bench-media/clip-1080p30-8M-600s.mp4")
    fi
    # The dock reads a portal-linked install's key from a Secret Service of its own.
    if [[ $bench == dock_refresh_bench ]]; then
        args=("$binary")
        binary="$root/tests/support/with-keyring.sh"
        [[ -x "$build_dir/bench/$bench" ]] || binary=/nonexistent
    fi
    # OBS itself, driven from Python, with the module of the build folder.
    if [[ $bench == obs_cpu_bench ]]; then
        binary="$root/bench/obs_cpu_bench.py"
        args=("$build_dir")
        [[ -f "$build_dir/ryvo-obs.so" ]] || binary=/nonexistent
    fi
    if [[ ! -x "$binary" ]]; then
        rows+=("$bench"$'\t'"not built"$'\t'-$'\t'-$'\t'-$'\t'-)
        continue
    fi
    echo "== $bench"
    if (cd "$build_dir" && "$binary" "${args[@]}") 2>&1 | tee "$logs/$bench.log"; then
        while IFS= read -r line; do
            rows+=("${line#RESULT$'\t'}")
        done < <(grep '^RESULT' "$logs/$bench.log")
    else
        rows+=("$bench"$'\t'"failed, see $logs/$bench.log"$'\t'-$'\t'-$'\t'-$'\t'-)
        status=1
    fi
done
openssl_figure=$(openssl_sha256)

table() {
    echo "| Benchmark | Measured | Baseline, same run | Ratio | Aim | |"
    echo "|---|---|---|---|---|---|"
    for row in "${rows[@]}"; do
        IFS=$'\t' read -r name figure baseline ratio aim verdict <<<"$row"
        echo "| $name | $figure | $baseline | $ratio | $aim | ${verdict:-} |"
    done
}

{
    echo "# Benchmark results"
    echo
    echo "Written by \`make bench\` on $started at commit $commit. Ratios are our cost over the"
    echo "baseline's (lower is better); each figure is the best of the rounds its log shows."
    echo
    echo "$machine_text"
    echo
    table
    echo
    echo "Reference: \`openssl speed -evp sha256\` on 2 MB blocks: $openssl_figure."
    # What the figures mean, and why a missed aim is missed, kept by hand beside the script.
    if [[ -f "$root/bench/notes.md" ]]; then
        echo
        cat "$root/bench/notes.md"
    fi
    echo
    echo "## Logs"
    for bench in "${benches[@]}"; do
        if [[ -f "$logs/$bench.log" ]]; then
            echo
            echo '```'
            grep -v '^RESULT' "$logs/$bench.log" || true
            echo '```'
        fi
    done
} >"$results"

echo
echo "$machine_text"
echo
table
echo
echo "openssl speed -evp sha256, 2 MB blocks: $openssl_figure"
echo "written to $results"
exit $status
