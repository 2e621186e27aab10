# The checks shared by the kvhost end-to-end scripts; sourced after $kvhost is set.

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    printf 'FAIL %s\n' "$*"
}

# expect NAME STATUS PATTERN -- ARGUMENT...: kvhost must exit with STATUS and print (to standard
# output or error) a line matching the extended regular expression PATTERN.
expect() {
    local name=$1 status=$2 pattern=$3
    shift 4
    local output actual
    output=$("$kvhost" "$@" 2>&1)
    actual=$?
    if [[ $actual -eq $status ]] && grep -Eq -- "$pattern" <<<"$output"; then
        pass
    else
        fail "$name: wanted status $status and /$pattern/, got status $actual:"$'\n'"$output"
    fi
}

# Prints the count of checks and fails the script when any check failed.
finish() {
    printf '%d passed, %d failed\n' "$passed" "$failed"
    [[ $failed -eq 0 ]]
}
