#!/usr/bin/env bash
# Runs one libFuzzer harness for a while on a working copy of its checked-in corpus, then prints one
# line: inputs per second, the edges covered in all instrumented code and in the driver's own code.
# A finding (crash, sanitizer report, driver fault) fails the run and names the saved input.
#   fuzz/run.sh BUILD_DIR HARNESS SECONDS [RUNS]
# With RUNS the run has a fixed seed and size: the corpus, then RUNS new inputs (SECONDS stays an
# upper bound), so a smoke run does as much on a slow machine as on a fast one. (Not exactly the
# same inputs every time: the driver's traced comparisons include host addresses.)
set -euo pipefail
build=$1 harness=$2 seconds=$3 runs=${4:-}
root=$(cd "$(dirname "$0")" && pwd)
work=$build/fuzz/work/$harness
mkdir -p "$work/corpus" "$work/findings"
cp -n "$root/corpus/$harness"/* "$work/corpus/" 2>/dev/null || true
"$build/fuzz/seeds" "$harness" "$work/corpus" >/dev/null
log=$work/log.txt
status=0
limits=(-max_total_time="$seconds")
# The machine's memory is the simulator's, not the host's: a block the driver never frees is a
# driver fault the simulator reports, so libFuzzer's own leak check (a second run of every input
# that adds coverage) is left to the harness of host code, the .reg loader. A smaller quarantine
# keeps use-after-free detection and stops every request's buffers from touching fresh pages.
if [ "$harness" != regfile ]; then limits+=(-detect_leaks=0); fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
if [ -n "$runs" ]; then limits+=(-runs="$runs" -seed=1); fi
started=$(date +%s)
"$build/fuzz/${harness}_fuzzer" "${limits[@]}" -print_final_stats=1 -dict="$root/dict/$harness.dict" \
    -max_len=4096 -artifact_prefix="$work/findings/" "$work/corpus" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    echo "$harness: FINDING after $(grep -c '^#' "$log") status lines; see $log"
    grep -E "^(==[0-9]+==ERROR|driver fault|SUMMARY|artifact_prefix|Test unit written)" "$log" | head -5
    exit 1
fi
seconds=$(( $(date +%s) - started ))
# The coverage of the driver's code: its edges that an input can reach (fuzz/union.py).
"$build/fuzz/${harness}_fuzzer" -runs=0 -print_coverage=1 "$work/corpus" >"$work/coverage.txt" 2>&1 || true
driver=$("$root/union.py" --name "" --binary "$build/fuzz/${harness}_fuzzer" "$work/coverage.txt")
awk -v name="$harness" -v seconds="$seconds" -v driver="$driver" '
    /stat::average_exec_per_sec/ { rate = $2 }
    /stat::number_of_executed_units/ { units = $2 }
    /(DONE|INITED) +cov:/ { for (i = 1; i <= NF; ++i) if ($i == "cov:") edges = $(i + 1) }
    END {
        if (seconds < 1) seconds = 1
        if (rate == 0) rate = units / seconds
        if (driver ~ / 0 of 0 /) driver = "no driver code runs in this harness"
        printf "%s: %d inputs/s over %d s, %d edges covered; %s; no finding\n", name, rate, seconds, edges, driver
    }' "$log"
