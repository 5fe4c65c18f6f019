# Assertions for the shell tests: each counts as passed or failed and prints what failed, so
# that a run reports every failure, not only the first. Source it, then end with
# `expect_summary [PREFIX]`, which prints the counts and fails when any check did.
passed=0
failed=0

expect() { # NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $1: expected '$2', got '$3'"
    fi
}

expect_match() { # NAME EXTENDED-REGEX ACTUAL
    if grep -qE -- "$2" <<<"$3"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL $1: '$3' does not match '$2'"
    fi
}

expect_summary() { # [PREFIX]
    echo "${1:+$1: }$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
