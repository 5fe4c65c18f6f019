#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs the whole test suite:
# unit tests, end-to-end tests against curl, python3 -m http.server and tshark, and the same
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer. Between the two, the
# Debian package is made from the default build and checked (as root it is installed and purged
# for real, tests/packaging/check_package.sh), then the style checks (clang-format and
# clang-tidy, scripts/check-style.sh) read the default build's compile commands.
# RAVELIN_SANITIZERS=0 skips the sanitizer run, RAVELIN_PACKAGE=0 the package, RAVELIN_STYLE=0
# the style checks. RAVELIN_TSAN=1 adds the suite under ThreadSanitizer (the tsan preset) after
# the AddressSanitizer one; it is off by default, as its build costs about 13 minutes on two
# cores (the suite itself about 2.5).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

run_suite() {
    local preset=$1
    cmake --preset "$preset" -DRAVELIN_WERROR=ON >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
}

run_suite default
if [ "${RAVELIN_PACKAGE:-1}" != 0 ]; then
    # Only the package just made: an older version's would match the pattern too.
    rm -f build/package/ravelin_*.deb
    ./scripts/package.sh build/default build/package
    tests/packaging/check_package.sh build/package/ravelin_*.deb
fi
if [ "${RAVELIN_STYLE:-1}" != 0 ]; then
    ./scripts/check-style.sh
fi
if [ "${RAVELIN_SANITIZERS:-1}" != 0 ]; then
    run_suite asan
fi
if [ "${RAVELIN_TSAN:-0}" = 1 ]; then
    run_suite tsan
fi
