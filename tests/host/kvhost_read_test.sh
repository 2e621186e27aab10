#!/usr/bin/env bash
# kvhost read end to end: the image files it writes, the summary line, the profile, refusals with
# their result codes and exit statuses, and the progress bar on a terminal.
# Arguments: the kvhost program, the folder of test images (tests/data/images).
set -u
kvhost=$1
images=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/kvhost-read-XXXXXX")
trap 'rm -rf "$work"' EXIT

source "$(dirname "$0")/script_checks.sh"

# The pixel bytes of a binary netpbm file: everything after its header of the given number of lines.
pixels() { tail -n +$(($2 + 1)) "$1"; }

# The largest difference between two equally long byte files, from cmp's octal listing.
max_difference() {
    cmp -l "$1" "$2" | awk '
        function octal(s,   v, i) { v = 0; for (i = 1; i <= length(s); i++) v = v * 8 + substr(s, i, 1); return v }
        { d = octal($2) - octal($3); if (d < 0) d = -d; if (d > m) m = d }
        END { print m + 0 }'
}

orig=$images/testorig.jpg
grey=$images/gen/grey.jpg

# RGB to PPM: the summary, the header, and pixels within a few levels of the peer decoder's.
expect "RGB to PPM" 0 "^$orig: 227 x 149 RGB, 1 x 1 ppi, no ICC profile -> $work/orig.ppm \([0-9.]+ s\)\$" \
    -- read "$orig" "$work/orig.ppm"
if [[ "$(head -c 15 "$work/orig.ppm" | od -An -c | tr -s ' ')" == " P 6 \n 2 2 7 1 4 9 \n 2 5 5 \n" &&
      $(stat -c %s "$work/orig.ppm") -eq $((15 + 227 * 149 * 3)) ]]; then pass; else fail "PPM header or size"; fi
if command -v djpeg >/dev/null; then
    djpeg -nosmooth -dct int -ppm "$orig" > "$work/peer.ppm"
    pixels "$work/orig.ppm" 3 > "$work/orig.raw"
    pixels "$work/peer.ppm" 3 > "$work/peer.raw"
    difference=$(max_difference "$work/orig.raw" "$work/peer.raw")
    if [[ $(stat -c %s "$work/peer.raw") -eq $((227 * 149 * 3)) && $difference -le 8 ]]; then
        pass
    else
        fail "PPM pixels differ from the peer decoder's by $difference"
    fi
fi

# The same rows in every format that takes them.
expect "RGB to PAM" 0 "-> $work/orig.pam" -- read "$orig" "$work/orig.pam"
if [[ "$(head -n 7 "$work/orig.pam")" == $'P7\nWIDTH 227\nHEIGHT 149\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR' ]] &&
   cmp -s <(pixels "$work/orig.pam" 7) <(pixels "$work/orig.ppm" 3); then pass; else fail "PAM header or pixels"; fi
expect "RGB to PNG, extension in capitals" 0 "-> $work/orig.PNG" -- read "$orig" "$work/orig.PNG"
if [[ "$(head -c 24 "$work/orig.PNG" | od -An -tx1 | tr -d ' \n')" == 89504e470d0a1a0a0000000d49484452000000e300000095 ]]; then
    pass
else
    fail "PNG signature or size"
fi
expect "grey to PGM" 0 "^$grey: 227 x 149 grey, " -- read "$grey" "$work/grey.pgm"
if [[ "$(head -n 3 "$work/grey.pgm")" == $'P5\n227 149\n255' && $(stat -c %s "$work/grey.pgm") -eq $((15 + 227 * 149)) ]]; then
    pass
else
    fail "PGM header or size"
fi
expect "grey to PAM" 0 "-> $work/grey.pam" -- read "$grey" "$work/grey.pam"
if cmp -s <(pixels "$work/grey.pam" 7) <(pixels "$work/grey.pgm" 3) && grep -aq "^TUPLTYPE GRAYSCALE\$" "$work/grey.pam"; then
    pass
else
    fail "grey PAM"
fi
expect "grey to PNG" 0 "-> $work/grey.png" -- read "$grey" "$work/grey.png"

# Formats that cannot hold the image are refused before anything is written.
expect "grey to PPM" 2 "a PPM holds RGB only, and this is a grey image: write .pgm, .pam or .png" -- read "$grey" "$work/no.ppm"
expect "RGB to PGM" 2 "a PGM holds grey only, and this is a RGB image" -- read "$orig" "$work/no.pgm"
expect "unknown extension" 2 "write .ppm, .pgm, .pam or .png" -- read "$orig" "$work/no.bmp"
if [[ ! -e $work/no.ppm && ! -e $work/no.pgm && ! -e $work/no.bmp ]]; then pass; else fail "a refused output was left behind"; fi

# Files the module refuses: the step, the result code, status 1 and no output.
expect "arithmetic coding" 1 "testimgari.jpg: the module refused the file at read start: -50 codec failure" \
    -- read "$images/testimgari.jpg" "$work/no.ppm"
head -c 3000 "$orig" > "$work/cut.jpg"
expect "cut inside the scan" 1 "cut.jpg: the module failed at row [0-9]+ of 149: -30501 cannot read" \
    -- read "$work/cut.jpg" "$work/no.ppm"
if [[ ! -e $work/no.ppm ]]; then pass; else fail "the output of a failed read was left behind"; fi
expect "missing input" 1 "missing.jpg: cannot open: " -- read "$work/missing.jpg" "$work/no.ppm"
expect "output folder missing" 1 "$work/none/out.ppm: cannot create: " -- read "$orig" "$work/none/out.ppm"

# The profile: joined chunks saved with --icc; a file without one fails the --icc request only.
expect "profile saved" 0 "ICC profile 14 bytes" -- read --icc "$work/profile.icc" "$images/icc-after-SOF.jpg" "$work/icc.pgm"
if [[ "$(cat "$work/profile.icc")" == profileprofile ]]; then pass; else fail "saved profile"; fi
expect "--icc=FILE after the files" 0 "ICC profile 14 bytes" -- read "$images/icc-after-SOF.jpg" "$work/icc.pgm" --icc="$work/p2.icc"
if cmp -s "$work/profile.icc" "$work/p2.icc"; then pass; else fail "--icc= form"; fi
expect "no profile to save" 1 "has no ICC profile; $work/none.icc not written" -- read --icc "$work/none.icc" "$orig" "$work/kept.ppm"
if [[ -s $work/kept.ppm && ! -e $work/none.icc ]]; then pass; else fail "image kept, no profile file"; fi

# The memory budget reaches the host: testorig.jpg needs about 80 KB at its worst moment, so under
# 64 KB read start is refused (a budget refusing a file's declared size before any work is the read
# tests' case); a budget kvhost cannot read is a usage error.
expect "memory budget" 1 "testorig.jpg: the module refused the file at read start: -108 out of memory" \
    -- --memory-limit 64K read "$orig" "$work/no.ppm"
expect "memory budget, = form" 1 "-108 out of memory" -- read --memory-limit=64K "$orig" "$work/no.ppm"
expect "bad memory budget" 2 "--memory-limit takes bytes" -- --memory-limit 1X read "$orig" "$work/no.ppm"

# Ctrl-C: SOI and then endless zeros from a pipe keep read start looking for a marker until the
# user presses Ctrl-C; kvhost then says so and ends with status 130.
(printf '\xff\xd8'; exec cat /dev/zero) | "$kvhost" read /dev/stdin "$work/pipe.pgm" 2> "$work/pipe.err" &
reader=$!
# The pipeline's last command is kvhost itself. Press once it catches Ctrl-C (SIGINT, bit 2 of its
# caught signals): a slow start (a loaded machine, a sanitizer) must not lose the press.
for _ in $(seq 200); do
    caught=$(awk '/^SigCgt:/ { print $2 }' "/proc/$reader/status" 2>/dev/null)
    [[ -n $caught ]] && (( 0x$caught & 2 )) && break
    sleep 0.05
done
sleep 0.2
kill -INT "$reader"
wait "$reader"
status=$?
if [[ $status -eq 130 ]] && grep -q "cancelled at read start" "$work/pipe.err" && [[ ! -e $work/pipe.pgm ]]; then
    pass
else
    fail "Ctrl-C on a pipe: status $status: $(cat "$work/pipe.err")"
fi
# A pipe whose writer is slow to start: the module's reads wait for its bytes (a descriptor left
# non-blocking would fail the first read with -36) and give the rows of the file.
expect "slow pipe" 0 "-> $work/piped.ppm" -- read /dev/stdin "$work/piped.ppm" < <(sleep 0.3; cat "$orig")
if cmp -s "$work/piped.ppm" "$work/orig.ppm"; then pass; else fail "rows read from a pipe differ"; fi

# The command line.
expect "one file" 2 "wanted IN.jpg and OUT" -- read "$orig"
expect "--icc without its file" 2 "--icc needs a value" -- read "$orig" "$work/x.ppm" --icc
expect "--icc belongs to read" 2 "unknown option '--icc'" -- check --icc x "$orig"
expect "--help lists read" 0 "^  read \[--icc FILE\] IN OUT " -- --help

# The progress bar, on a terminal and off it.
progress_bar read "$orig" "$work/tty.ppm"

finish
