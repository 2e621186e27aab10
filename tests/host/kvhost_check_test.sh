#!/usr/bin/env bash
# kvhost end to end: the check verb on real and made-up files, the exit statuses and the options;
# info on the module (its property list decoded, its resources tabled, the raw dump), and kvhost
# refusing modules it cannot discover (status 2): a text file, a shared object without resources,
# and copies of the module whose list is damaged.
# Arguments: the kvhost program, the folder of test images (tests/data/images), the project version.
set -u
kvhost=$1
images=$2
version=$3
folder=$(cd "$(dirname "$kvhost")" && pwd)
module=$folder/JPEG.kvx

work=$(mktemp -d "${TMPDIR:-/tmp}/kvhost-check-XXXXXX")
# Damaged copies of the module go beside it, where a copy that loads finds library Q.
cut="$folder/cut-$$.kvx"
trap 'rm -rf "$work" "$cut"' EXIT
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

# The whole decoded list, line for line.
output=$("$kvhost" info "$module" 2>&1)
status=$?
expected="$module: plug-in property list, version 1, 18 properties, 462 bytes
  kind  K7QF, a file-format plug-in
  vers  interface 1.0
  prty  0
  host  any host
  name  key \$\$\$/KV/Format/Name/JPEG, shown as \"JPEG\"
  mode  grey, RGB (0x00000050)
  RdTy  reads JPEG (any creator)
  fmTC  gives written files JPEG, creator K7QX
  8664  entry point FilterMain
  RdEx  reads .jpg .jpeg .jp.
  WrEx  writes .jpg
  WrTy  writes JPEG, creator K7QX
  fftT  filters for JPEG (any creator)
  fftE  filters for .jpg .jpeg
  fmtf  format flags 0x00000030
  mxch  largest channel count: grey 1, RGB 3
  mxsz  largest image 30000 x 30000 pixels (columns x rows)
  fmip  profile flags 0x00000020

resources:
  TYPE   NAME OR ID           LANGUAGE BYTES
  PIPL   16000                1033     462
  TAMO   JPEGOPTIONS.ZOPA     1033     2287"
if [[ $status -eq 0 && $output == "$expected" ]]; then pass; else fail "info on the module: status $status:"$'\n'"$output"; fi

# Without MODULE: the module kvhost would load (--module, KVX_MODULE, else beside kvhost).
expect "info on the default module" 0 "^$module: plug-in property list, version 1, 18 properties" -- info
expect "info honours --module" 0 "^$module: plug-in property list" -- --module "$module" info

# --raw: 462 bytes as 29 dump lines, starting with the header and the reversed codes; the whole
# dump by its checksum, so that no byte of the list can change unseen (the decoded list above
# checks what each property says).
raw=$("$kvhost" info --raw "$module")
if [[ $(wc -l <<<"$raw") -eq 29 && $(head -n 1 <<<"$raw") == "00000000  01 00 00 00 00 00 12 00 00 00 58 51 37 4b 64 6e  |..........XQ7Kdn|" &&
      $(tail -n 1 <<<"$raw") == "000001c0  6d 66 00 00 00 00 04 00 00 00 20 00 00 00        |mf........ ...|" &&
      $(cksum <<<"$raw") == "914754022 2260" ]]; then
    pass
else
    fail "info --raw:"$'\n'"$raw"
fi

expect "info on a text file" 2 "^kvhost info: $work/notes.txt: not a module: not an ELF file\$" -- info "$work/notes.txt"
expect "info on a shared object without resources" 2 \
    "^kvhost info: $folder/libQ.so: carries no module resources \(no \.kvrsrc section\)\$" -- info "$folder/libQ.so"
expect "info on a missing file" 2 "missing.kvx: cannot be read" -- info "$work/missing.kvx"
expect "info takes one module" 2 "one MODULE at most" -- info "$module" "$module"

# A copy whose directory says the property list is 400 bytes long (the size field of the first
# entry, at byte 48 of the resource block).
if objcopy --dump-section .kvrsrc="$work/block.bin" "$module" "$work/scratch.kvx" 2>"$work/objcopy.err"; then
    printf '\x90\x01\x00\x00' | dd of="$work/block.bin" bs=1 seek=48 conv=notrunc status=none
    objcopy --update-section .kvrsrc="$work/block.bin" "$module" "$cut"
    expect "info on a module whose list is cut short" 2 \
        "^kvhost info: $cut: the property list is cut short: property 16 of 18 \\(\"mxch\"\\) needs 32 bytes from byte 390, the list has 400\$" -- info "$cut"
    expect "the raw list of a cut module is still shown" 0 "^00000180 " -- info --raw "$cut"
    expect "a cut module is not loaded" 2 "^kvhost: cannot load the module: $cut: the property list is cut short" \
        -- --module "$cut" check "$work/notes.txt"
    # The same copy with the list whole again loads and works: the damage alone was refused.
    printf '\xce\x01\x00\x00' | dd of="$work/block.bin" bs=1 seek=48 conv=notrunc status=none
    objcopy --update-section .kvrsrc="$work/block.bin" "$module" "$cut"
    expect "the mended copy loads" 1 "notes.txt: -30501 not a JPEG" -- --module "$cut" check "$work/notes.txt"
else
    fail "objcopy cannot read the module's .kvrsrc section: $(cat "$work/objcopy.err")"
fi

expect "--help lists info" 0 "^  info \[--raw\] \[MODULE\] " -- --help

finish
