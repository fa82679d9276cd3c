#!/usr/bin/env bash
# Runs every harness that fuzz/build.sh left in OUT as a fuzzing service's runner does: with the flags
# of its NAME.options, its NAME.dict and the runner's time and memory limits, on the inputs of its
# NAME_seed_corpus.zip, each once. Fails when a harness lacks one of those files, needs a shared
# library that a runner does not have (only the C and C++ runtimes are there), refuses its
# dictionary or finds something in its seeds. Ends with a line "N passed, N failed".
#   fuzz/check_out.sh OUT
set -euo pipefail
out=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
runtimes='^(linux-vdso|libc|libm|libpthread|libdl|librt|libstdc\+\+|libgcc_s|ld-linux-x86-64)\.so'
passed=0 failed=0 name=$out
fail() {
    echo "$name: $*"
    failed=$((failed + 1))
}
for binary in "$out"/*_fuzzer; do
    [ -x "$binary" ] || continue
    name=$(basename "$binary")
    missing=
    for file in "$name.options" "$name.dict" "${name}_seed_corpus.zip"; do
        [ -s "$out/$file" ] || missing="$missing $file"
    done
    if [ -n "$missing" ]; then fail "no$missing beside it"; continue; fi
    libraries=$(ldd "$binary" | awk '{ print $1 }' | sed 's|.*/||' | grep -Ev "$runtimes" || true)
    if [ -n "$libraries" ]; then fail "needs shared libraries a runner does not have:" $libraries; continue; fi
    # The [libfuzzer] section's "key = value" lines are the flags -key=value.
    options=($(awk -F' *= *' '/^\[/ { section = $0; next } section == "[libfuzzer]" && NF == 2 { print "-" $1 "=" $2 }' \
        "$out/$name.options"))
    corpus=$scratch/$name
    mkdir -p "$corpus"
    unzip -q "$out/${name}_seed_corpus.zip" -d "$corpus"
    log=$scratch/$name.log
    if ! "$binary" "${options[@]}" -dict="$out/$name.dict" -rss_limit_mb=2560 -timeout=25 -runs=0 \
            -artifact_prefix="$scratch/" "$corpus" >"$log" 2>&1; then
        fail "a finding or a refusal in its seed corpus:"
        grep -E "^(==[0-9]+==ERROR|driver fault|SUMMARY|ParseDictionaryFile|.*[Ee]rror)" "$log" | head -5
        continue
    fi
    entries=$(sed -n 's/^Dictionary: \([0-9]*\) entries$/\1/p' "$log")
    inputs=$(sed -n 's/^INFO: seed corpus: files: \([0-9]*\) .*/\1/p' "$log")
    if [ -z "$entries" ] || [ -z "$inputs" ]; then fail "read no dictionary or no seed corpus (see its log)"; cat "$log"; continue; fi
    echo "$name: ${options[*]}; $entries dictionary entries; $inputs seed inputs run, no finding"
    passed=$((passed + 1))
done
if [ $((passed + failed)) -eq 0 ]; then fail "no harness in $out"; fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
