#!/usr/bin/env bash
# Builds the fuzz harnesses the way OSS-Fuzz and ClusterFuzzLite build a project, from the
# variables they set:
#   CC, CXX, CFLAGS, CXXFLAGS  the compilers and every flag they get: sanitizers, the fuzzer's
#                              coverage counters, optimization, debug information (nothing is added
#                              but what the project's own build adds; the counters stay on the
#                              driver's code and the .reg loader, as in every fuzz build here)
#   LIB_FUZZING_ENGINE         how a harness links the fuzzing engine (-fsanitize=fuzzer: libFuzzer)
#   OUT                        where each harness NAME goes, with NAME_seed_corpus.zip (its corpus in
#                              fuzz/corpus and the seeds fuzz/seeds.cpp writes), NAME.dict and
#                              NAME.options (the libFuzzer flags fuzz/run.sh uses)
#   WORK                       the CMake build directory (default build-oss-fuzz in the tree)
#   JOBS                       parallel compile jobs (default: every core)
#   fuzz/build.sh [CMAKE_ARGUMENTS...]   (more -D settings, e.g. -DZARN_FUZZ_SANITIZE_SIM=OFF)
# Every NAME.cpp in fuzz/ whose name ends in _fuzzer is a harness. The system libraries the
# simulator uses (libpng, zlib, Unicorn) are linked statically: the machine that runs the
# harnesses need not have them. fuzz/check_out.sh runs what this script left in OUT.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
: "${CC:?CC names the C compiler}" "${CXX:?CXX names the C++ compiler}" "${OUT:?OUT names the output directory}"
: "${LIB_FUZZING_ENGINE:?LIB_FUZZING_ENGINE says how to link the fuzzing engine (-fsanitize=fuzzer)}"
work=${WORK:-$root/build-oss-fuzz}
jobs=${JOBS:-$(nproc)}
generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi

# The build type is empty: CFLAGS and CXXFLAGS alone set optimization and debug information.
CC=$CC CXX=$CXX cmake -S "$root" -B "$work" "${generator[@]}" -DCMAKE_BUILD_TYPE= \
    --no-warn-unused-cli -DCMAKE_C_FLAGS="${CFLAGS:-}" -DCMAKE_CXX_FLAGS="${CXXFLAGS:-}" \
    -DZARN_SANITIZE=OFF -DZARN_FUZZ=ON -DZARN_FUZZ_ENGINE="$LIB_FUZZING_ENGINE" -DZARN_STATIC_DEPS=ON \
    -DBUILD_TESTING=OFF -DZARN_BENCH=OFF "$@" >/dev/null
cmake --build "$work" -j "$jobs" --target fuzzers seeds

out=$(mkdir -p "$OUT" && cd "$OUT" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for source in "$root"/fuzz/*_fuzzer.cpp; do
    name=$(basename "$source" .cpp)
    harness=${name%_fuzzer}
    cp "$work/fuzz/$name" "$out/$name"
    cp "$root/fuzz/dict/$harness.dict" "$out/$name.dict"
    # The .reg loader is host code and keeps libFuzzer's leak check; for the others a block the
    # driver never frees is the simulator's to report (fuzz/run.sh says why).
    {
        echo "[libfuzzer]"
        echo "max_len = 4096"
        if [ "$harness" != regfile ]; then echo "detect_leaks = 0"; fi
    } >"$out/$name.options"
    corpus=$scratch/$harness
    mkdir -p "$corpus"
    if [ -d "$root/fuzz/corpus/$harness" ]; then cp "$root/fuzz/corpus/$harness"/* "$corpus/" 2>/dev/null || true; fi
    "$work/fuzz/seeds" "$harness" "$corpus" >/dev/null
    rm -f "$out/${name}_seed_corpus.zip"
    count=$(find "$corpus" -type f | wc -l)
    if [ "$count" -gt 0 ]; then (cd "$corpus" && find . -type f | sort | zip -q -X -@ "$out/${name}_seed_corpus.zip"); fi
    echo "$out/$name: $count seed inputs"
done
