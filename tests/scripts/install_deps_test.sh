#!/usr/bin/env bash
# How scripts/install-deps.sh picks the sanitizer runtime for the Debian release it runs on, and
# that a run with everything installed touches neither apt-get nor apt-cache.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/install-deps.sh
. "$repo/scripts/install-deps.sh"
set +e

# shellcheck source=tests/support/expect.sh
. "$repo/tests/support/expect.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

expect "runtime for clang 14" libclang-rt-14-dev "$(sanitizer_runtime_package 14)"
expect "runtime for clang 19" libclang-rt-19-dev "$(sanitizer_runtime_package 19)"

expect "dpkg's Depends on Debian 12" 14 "$(echo 'clang-14 (>= 14~)' | clang_major_from_depends)"
expect "apt-cache depends on Debian 13" 19 \
  "$(printf 'clang\n  Depends: clang-19\n  Breaks: <clang-3.2>\n' | clang_major_from_depends)"
expect "libclang names are not clang" 15 \
  "$(echo 'libclang1-14, libclang-rt-14-dev, clang-15 (>= 15~)' | clang_major_from_depends)"
echo 'libclang-rt-14-dev' | clang_major_from_depends >/dev/null
expect "no clang in the list fails" 1 $?

printf 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nVERSION_ID="12"\n' >"$work/bookworm"
printf 'PRETTY_NAME="Debian GNU/Linux 13 (trixie)"\nVERSION_ID="13"\n' >"$work/trixie"
printf 'PRETTY_NAME="Debian GNU/Linux forky/sid"\nID=debian\n' >"$work/sid"
expect "Debian 12's clang" 14 "$(clang_major_for_release "$work/bookworm")"
expect "Debian 13's clang" 19 "$(clang_major_for_release "$work/trixie")"
clang_major_for_release "$work/sid" >/dev/null
expect "a release without a number is unknown" 1 $?

expect "only what dpkg lacks is missing" ravelin-no-such-package \
  "$(missing_packages bash ravelin-no-such-package)"

# The installed clang decides the runtime; its own version must agree.
if command -v clang >/dev/null && [ -z "$(missing_packages clang)" ]; then
  major=$(clang --version | sed -nE '1s/.*version ([0-9]+)\..*/\1/p')
  expect "runtime of the installed clang" "libclang-rt-$major-dev" "$(sanitizer_runtime_to_install)"
fi

# A second run: with apt-get, apt-cache and sudo replaced by ones that only leave a trace, a
# machine that has everything must see none of them called.
if [ -z "$(missing_packages "${packages[@]}" "$(sanitizer_runtime_to_install)")" ]; then
  mkdir "$work/bin"
  for tool in apt-get apt-cache sudo; do
    printf '#!/bin/sh\necho %s >>"%s/calls"\n' "$tool" "$work" >"$work/bin/$tool"
    chmod +x "$work/bin/$tool"
  done
  PATH="$work/bin:$PATH" bash "$repo/scripts/install-deps.sh"
  expect "a second run exits 0" 0 $?
  expect "a second run calls no apt tool" "" "$(cat "$work/calls" 2>/dev/null)"
else
  echo "skipped the second-run check: run scripts/install-deps.sh first"
fi

expect_summary
