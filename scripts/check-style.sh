#!/usr/bin/env bash
# Fails on any C++ file that clang-format would change (src, tests, bench, fuzz) and on any
# clang-tidy diagnostic in src/ under the repo's .clang-tidy. The tidy pass reads
# build/default/compile_commands.json, so it runs after the default build (the window's sources
# need their generated moc files); about two minutes on two cores.
#
#   scripts/check-style.sh [format|tidy]...     both when none is named
#
# BUILD_DIR overrides the build folder, TIDY_JOBS the number of parallel clang-tidy runs (2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build_dir=${BUILD_DIR:-build/default}

check_format() {
    local files=() unformatted=() file
    mapfile -t files < <(find src tests bench fuzz -type f \( -name '*.h' -o -name '*.cpp' \) | sort)
    for file in "${files[@]}"; do
        if ! clang-format --dry-run -Werror "$file" >/dev/null 2>&1; then
            unformatted+=("$file")
        fi
    done
    if [ ${#unformatted[@]} -eq 0 ]; then
        echo "clang-format: ${#files[@]} files, all formatted"
        return 0
    fi
    for file in "${unformatted[@]}"; do
        echo "--- $file"
        clang-format "$file" | diff -u "$file" - | tail -n +3 | head -n 20 || true
    done
    echo "clang-format: ${#unformatted[@]} of ${#files[@]} files need formatting" \
        "(clang-format -i FILE...)"
    return 1
}

check_tidy() {
    local database=$build_dir/compile_commands.json
    if [ ! -f "$database" ]; then
        echo "clang-tidy: $database is missing; build the default preset first" >&2
        return 1
    fi
    local log=$build_dir/clang-tidy.log status=0 started=$SECONDS
    # run-clang-tidy colours its output whatever the terminal; the colour codes go before parsing.
    # Flags only GCC knows (the build's compiler) must not turn into clang diagnostics.
    run-clang-tidy -p "$build_dir" -j "${TIDY_JOBS:-2}" -quiet \
        -clang-tidy-binary "$(command -v clang-tidy)" \
        -extra-arg=-Wno-unknown-warning-option \
        "^${root//./\\.}/src/.*\\.cpp\$" 2>&1 | sed 's/\x1b\[[0-9;]*m//g' >"$log" || status=$?
    # A header's diagnostics come once per translation unit that includes it: count each once.
    local diagnostics
    # Generated code (the eBPF skeleton under the build folder) is not ours to mend.
    diagnostics=$(grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error): .*\[[^]]+\]$' "$log" |
        grep -v "^$root/$build_dir/" | sort -u || true)
    local elapsed=$((SECONDS - started))
    if [ -z "$diagnostics" ] && [ $status -eq 0 ]; then
        echo "clang-tidy: no diagnostics in src/ (${elapsed}s)"
        return 0
    fi
    if [ -n "$diagnostics" ]; then
        echo "${diagnostics//"$root/"/}"
        echo "clang-tidy diagnostics by check:"
        echo "$diagnostics" | sed -E 's/.*\[([^]]+)\]$/\1/' | sort | uniq -c | sort -rn
    fi
    echo "clang-tidy: $(echo -n "$diagnostics" | grep -c '^' || true) diagnostics," \
        "run-clang-tidy exit $status (${elapsed}s); the full output is in $log"
    return 1
}

for tool in clang-format clang-tidy run-clang-tidy; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is missing (scripts/install-deps.sh installs it)" >&2
        exit 1
    fi
done

checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=(format tidy)
failed=0
for check in "${checks[@]}"; do
    case $check in
    format) check_format || failed=1 ;;
    tidy) check_tidy || failed=1 ;;
    *)
        echo "usage: $0 [format|tidy]..." >&2
        exit 2
        ;;
    esac
done
exit $failed
