# Counting checks for the bash test scripts; source this file from bash.
#
#   check WHAT COMMAND...   runs COMMAND; counts a pass, or a failure named WHAT
#   equals GOT EXPECTED     true when the two texts are the same, else says both
#   lists TEXT PART         true when TEXT holds PART, else shows TEXT
#   summary NAME            prints "NAME: N passed, M failed"; true when all passed
passed=0 failed=0

check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what" >&2
    fi
}
equals() { [ "$1" = "$2" ] || { echo "  got:      $1" >&2; echo "  expected: $2" >&2; false; }; }
lists() { grep -qF -- "$2" <<<"$1" || { echo "  not in: $1" >&2; false; }; }
summary() {
    echo "$1: $passed passed, $failed failed"
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}
