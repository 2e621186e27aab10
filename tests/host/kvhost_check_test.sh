#!/usr/bin/env bash
# kvhost end to end: the check verb on real and made-up files, the exit statuses, and the options.
# Arguments: the kvhost program, the folder of test images (tests/data/images), the project version.
set -u
kvhost=$1
images=$2
version=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/kvhost-check-XXXXXX")
trap 'rm -rf "$work"' EXIT
printf 'Meeting notes, Tuesday\n' > "$work/notes.txt"
printf '\377' > "$work/one.bin"

source "$(dirname "$0")/script_checks.sh"

expect "a real JPEG" 0 "^$images/testorig.jpg: JPEG\$" -- check "$images/testorig.jpg"
expect "a text file" 1 "^$work/notes.txt: -30501 not a JPEG\$" -- check "$work/notes.txt"
expect "a one-byte file" 1 "^$work/one.bin: -39 " -- check "$work/one.bin"
expect "a missing file" 1 "^$work/missing.jpg: cannot open: " -- check "$work/missing.jpg"
expect "a folder" 1 "^$work: cannot open: " -- check "$work"
expect "no file" 2 "no file given" -- check
expect "unknown verb" 2 "unknown verb 'squash'" -- squash "$work/notes.txt"
expect "unknown option" 2 "unknown option '--fast'" -- --fast check "$work/notes.txt"
expect "--version" 0 "^kvhost $version\$" -- --version
expect "--help lists check" 0 "^  check FILE\.\.\. " -- --help
expect "--module that is no library" 2 "cannot load the module: .*notes.txt" -- --module "$work/notes.txt" check "$images/testorig.jpg"
expect "--module that is missing" 2 "cannot load the module" -- --module "$work/missing.kvx" check "$images/testorig.jpg"
expect "--module without a property list" 2 "cannot load the module: .*libQ.so: carries no module resources" -- --module="$(dirname "$kvhost")/libQ.so" check "$images/testorig.jpg"
expect "--module the real one" 0 ": JPEG\$" -- --module "$(dirname "$kvhost")/JPEG.kvx" check "$images/testorig.jpg"
KVX_MODULE="$work/missing.kvx" expect "KVX_MODULE is honoured" 2 "missing.kvx" -- check "$images/testorig.jpg"
KVX_MODULE= expect "an empty KVX_MODULE means the module beside kvhost" 0 ": JPEG\$" -- check "$images/testorig.jpg"

# One line per file, in order, and a failing file makes the whole run fail.
output=$("$kvhost" check "$images/testorig.jpg" "$work/notes.txt" "$work/one.bin" 2>&1)
status=$?
expected="$images/testorig.jpg: JPEG
$work/notes.txt: -30501 not a JPEG
$work/one.bin: -39 file too short"
if [[ $status -eq 1 && $output == "$expected" ]]; then
    pass
else
    fail "several files: got status $status:"$'\n'"$output"
fi

finish
