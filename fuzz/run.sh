#!/usr/bin/env bash
# Runs one libFuzzer harness for a while on a working copy of its checked-in corpus, then prints one
# line: inputs per second, the edges the resulting corpus covers in all instrumented code and in the
# driver's own code. A finding (crash, sanitizer report, driver fault) fails the run and names the
# saved input.
#   fuzz/run.sh [--jobs N] [--merge] BUILD_DIR HARNESS SECONDS [RUNS]
# With RUNS the run has a fixed seed and size: the corpus, then RUNS new inputs (SECONDS stays an
# upper bound), so a smoke run does as much on a slow machine as on a fast one. (Not exactly the
# same inputs every time: the driver's traced comparisons include host addresses.)
# With --jobs N (N > 1, and no RUNS) libFuzzer's fork mode runs N workers at once, each on a share of
# the corpus for a while, and collects what they find into the working corpus; inputs per second
# are then those of all workers together. With --merge the inputs of the working corpus that add
# coverage are merged into the checked-in corpus fuzz/corpus/HARNESS (libFuzzer's -merge=1: the
# stored inputs stay as they are, new ones are added under their SHA-1 names).
set -euo pipefail
jobs=1 merge=
while [ $# -gt 0 ]; do
    case $1 in
    --jobs) jobs=$2; shift 2 ;;
    --merge) merge=1; shift ;;
    *) break ;;
    esac
done
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
leaks=()
if [ "$harness" != regfile ]; then leaks=(-detect_leaks=0); fi
limits+=("${leaks[@]}")
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
if [ -n "$runs" ]; then limits+=(-runs="$runs" -seed=1); fi
workers=
if [ -z "$runs" ] && [ "$jobs" -gt 1 ]; then
    limits+=(-fork="$jobs")
    workers=" on $jobs workers"
fi
started=$(date +%s)
"$build/fuzz/${harness}_fuzzer" "${limits[@]}" -print_final_stats=1 -dict="$root/dict/$harness.dict" \
    -max_len=4096 -artifact_prefix="$work/findings/" "$work/corpus" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    echo "$harness: FINDING after $(grep -c '^#' "$log") status lines; see $log"
    grep -E "^(==[0-9]+==ERROR|driver fault|SUMMARY|artifact_prefix|Test unit written)" "$log" | head -5
    exit 1
fi
seconds=$(( $(date +%s) - started ))
# The edges the corpus covers now (fork mode's own figure also counts what inputs that were not kept
# reached), and of them the driver's that an input can reach (fuzz/union.py).
"$build/fuzz/${harness}_fuzzer" -runs=0 -print_coverage=1 "$work/corpus" >"$work/coverage.txt" 2>&1 || true
driver=$("$root/union.py" --name "" --binary "$build/fuzz/${harness}_fuzzer" "$work/coverage.txt")
merged=
if [ -n "$merge" ]; then
    mkdir -p "$root/corpus/$harness"
    before=$(ls "$root/corpus/$harness" | wc -l)
    "$build/fuzz/${harness}_fuzzer" -merge=1 -max_len=4096 "${leaks[@]}" "$root/corpus/$harness" "$work/corpus" \
        >"$work/merge.txt" 2>&1 || { echo "$harness: the merge failed; see $work/merge.txt"; exit 1; }
    # Counted in the directory: an input equal to a stored one is written under the same name.
    merged="; $(( $(ls "$root/corpus/$harness" | wc -l) - before )) new inputs merged into fuzz/corpus/$harness"
fi
# Inputs per second: libFuzzer's final figure in one process; in fork mode the runs of all workers
# over the time of the last status line (its exec/s is one worker's).
awk -v name="$harness" -v seconds="$seconds" -v driver="$driver" -v workers="$workers" -v merged="$merged" '
    FILENAME == ARGV[1] && /stat::average_exec_per_sec/ { rate = $2 }
    FILENAME == ARGV[1] && /stat::number_of_executed_units/ { units = $2 }
    FILENAME == ARGV[1] && /^#[0-9]+: cov: / {
        forkRuns = substr($1, 2) + 0
        for (i = 1; i <= NF; ++i) if ($i == "time:") forkSeconds = $(i + 1) + 0
    }
    FILENAME == ARGV[2] && /INITED +cov:/ { for (i = 1; i <= NF; ++i) if ($i == "cov:") edges = $(i + 1) }
    END {
        if (seconds < 1) seconds = 1
        if (workers != "") rate = forkSeconds > 0 ? forkRuns / forkSeconds : 0
        else if (rate == 0) rate = units / seconds
        if (driver ~ / 0 of 0 /) driver = "no driver code runs in this harness"
        printf "%s: %d inputs/s over %d s%s, %d edges covered; %s; no finding%s\n", name, rate, seconds, workers, edges,
               driver, merged
    }' "$log" "$work/coverage.txt"
