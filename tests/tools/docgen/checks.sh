# shellcheck shell=bash
# checks.sh, sourced by the generator's shell tests: `fail MESSAGE` counts a failed check;
# `run_checks NAME CHECK...` calls each check function in turn, then says whether all passed
# and exits 0, or 1 after any failure.
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

run_checks() {
    local name=$1 check
    shift
    for check in "$@"; do
        if declare -F "$check" >/dev/null; then "$check"; else fail "no check named $check"; fi
    done
    ((failures == 0)) && echo "$name: all checks passed"
    exit $((failures > 0))
}
