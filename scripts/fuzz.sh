#!/usr/bin/env bash
# Fuzzes every target for SECONDS each, one after another, with clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer. Builds in build/fuzz; new inputs go to build/fuzz/corpus/<name>
# (seeded from fuzz/corpus/<name>), crash inputs to build/fuzz/crashes/<name>, never into git.
#
#   scripts/fuzz.sh SECONDS [TARGET...]
set -euo pipefail

if [[ $# -lt 1 || ! $1 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [TARGET...]" >&2
    exit 2
fi
seconds=$1
shift

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/fuzz
all_targets=(DatagramFuzzer HttpFuzzer IniFuzzer CaptureFileFuzzer ExtensionColourFuzzer
    ClientHelloFuzzer QuicInitialFuzzer)
if [[ $# -gt 0 ]]; then targets=("$@"); else targets=("${all_targets[@]}"); fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DRAVELIN_FUZZ=ON -DRAVELIN_WERROR=ON \
    -DRAVELIN_BUILD_TESTS=OFF -DRAVELIN_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]/%/_fuzzer}"

summary=()
status=0
for name in "${targets[@]}"; do
    corpus=$build/corpus/$name
    crashes=$build/crashes/$name
    mkdir -p "$corpus" "$crashes"
    cp -n "$root/fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null || true
    log=$build/$name.log
    echo "== $name: ${seconds}s"
    set +e
    (cd "$crashes" && "$build/fuzz/${name}_fuzzer" -max_total_time="$seconds" -jobs=1 \
        -workers=1 -print_final_stats=1 -artifact_prefix="$crashes/" "$corpus") >"$log" 2>&1
    rc=$?
    set -e
    # -jobs writes the run's output to fuzz-0.log in the working directory.
    if [[ -f $crashes/fuzz-0.log ]]; then
        cat "$crashes/fuzz-0.log" >>"$log"
        rm -f "$crashes/fuzz-0.log"
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')
    speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')
    features=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$')
    found=$(find "$crashes" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' \) | wc -l)
    [[ $rc -ne 0 || $found -ne 0 ]] && status=1
    summary+=("$(printf '%-22s runs %-10s exec/s %-7s cov %-6s ft %-7s crashes %s (exit %s)' \
        "$name" "${runs:-?}" "${speed:-?}" "${coverage:-?}" "${features:-?}" "$found" "$rc")")
done

echo
printf '%s\n' "${summary[@]}"
echo "logs: $build/<target>.log; crash inputs: $build/crashes/<target>/"
exit $status
