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

# progress_bar VERB IN OUT: on a terminal kvhost draws its progress bar on standard error and
# finishes with its summary; off a terminal it draws nothing there.
progress_bar() {
    local verb=$1 in=$2 out=$3
    if command -v script >/dev/null; then
        local output
        output=$(script -qec "'$kvhost' $verb '$in' '$out'" /dev/null 2>&1)
        if grep -q "100%" <<<"$output" && grep -q -- "-> $out" <<<"$output"; then
            pass
        else
            fail "progress bar on a terminal:"$'\n'"$output"
        fi
    fi
    if ! "$kvhost" "$verb" "$in" "${out%.*}-quiet.${out##*.}" 2>&1 >/dev/null | grep -q .; then pass; else fail "progress off a terminal"; fi
}

# Prints the count of checks and fails the script when any check failed.
finish() {
    printf '%d passed, %d failed\n' "$passed" "$failed"
    [[ $failed -eq 0 ]]
}
