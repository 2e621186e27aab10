#!/usr/bin/env bash
# kvhost write end to end: the JPEG files it writes from each kind of image, the options reaching
# the module (quality, format, scans, profile, resolution), the summary line, refusals with their
# messages and exit statuses, a full device, and the progress bar on a terminal.
# Arguments: the kvhost program, the folder of test images (tests/data/images), the bundled sample PPM.
set -u
kvhost=$1
images=$2
sample=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/kvhost-write-XXXXXX")
trap 'rm -rf "$work"' EXIT
# Writes without options take the stored ones: start from none.
export XDG_CONFIG_HOME="$work/config"

source "$(dirname "$0")/script_checks.sh"

# check NAME CONDITION...: the command must succeed.
check() {
    local name=$1
    shift
    if "$@"; then pass; else fail "$name"; fi
}

size() { stat -c %s "$1"; }
# The frame marker of a JPEG file: c0, c1 or c2.
sof() { od -An -v -tx1 "$1" | tr -d '\n' | grep -oE 'ff c[0-2]' | head -n 1 | cut -c4-; }
# The largest difference between the channels of one pixel in a binary PPM (header of 3 lines).
channel_spread() {
    tail -n +4 "$1" | od -An -v -tu1 | tr -s ' ' '\n' | grep -v '^$' | awk '
        { v[n++ % 3] = $1; if (n % 3 == 0) { for (i = 0; i < 3; i++) for (j = 0; j < 3; j++) { d = v[i] - v[j]; if (d > m) m = d } } }
        END { print m + 0 }'
}

# A PPM: the summary line, a JPEG the peer decodes to the same size.
expect "PPM, defaults" 0 \
    "^$sample: 320 x 200 PPM -> $work/base.jpg: baseline, quality 5, [0-9]+ bytes, [0-9]+\.[0-9]{2} bits per pixel \([0-9.]+ s\)\$" \
    -- write "$sample" "$work/base.jpg"
summary=$("$kvhost" write "$sample" "$work/base.jpg")
check "bytes in the summary are the file's" grep -q " $(size "$work/base.jpg") bytes, " <<<"$summary"
check "bits per pixel in the summary" grep -q "$(awk -v b="$(size "$work/base.jpg")" 'BEGIN { printf "%.2f", b * 8 / 64000 }') bits per pixel" <<<"$summary"
if djpeg -ppm "$work/base.jpg" > "$work/base.ppm" 2>"$work/djpeg.err" && [[ ! -s $work/djpeg.err ]] &&
   [[ "$(head -n 2 "$work/base.ppm" | tail -n 1)" == "320 200" ]]; then
    pass
else
    fail "the peer decoder does not read the file cleanly: $(cat "$work/djpeg.err")"
fi
check "baseline frame" [ "$(sof "$work/base.jpg")" = c0 ]

# The options reach the module through the options record.
expect "progressive, 5 scans, quality 10" 0 "-> $work/prog.jpg: progressive \(5 scans\), quality 10, " \
    -- write --format progressive --scans 5 --quality 10 "$sample" "$work/prog.jpg"
check "progressive frame" [ "$(sof "$work/prog.jpg")" = c2 ]
check "progressive, 5 scans: 14 scans in the file" [ "$(od -An -v -tx1 "$work/prog.jpg" | tr -d '\n' | grep -o 'ff da' | wc -l)" -eq 14 ]
expect "progressive defaults to 3 scans" 0 "progressive \(3 scans\), quality 5" -- write --format=progressive "$sample" "$work/prog3.jpg"
check "progressive, 3 scans: 7 scans in the file" [ "$(od -An -v -tx1 "$work/prog3.jpg" | tr -d '\n' | grep -o 'ff da' | wc -l)" -eq 7 ]
expect "optimized" 0 "optimized, quality 5" -- write --format optimized "$sample" "$work/opt.jpg"
check "optimised tables make a smaller file" [ "$(size "$work/opt.jpg")" -lt "$(size "$work/base.jpg")" ]
expect "quality 0" 0 "quality 0" -- write --quality 0 "$sample" "$work/q0.jpg"
expect "quality 10" 0 "quality 10" -- write --quality=10 "$sample" "$work/q10.jpg"
check "quality 10 is larger than quality 0" [ "$(size "$work/q10.jpg")" -gt "$(size "$work/q0.jpg")" ]

# Resolution: --dpi, else the PNG's own, else 72.
expect "default resolution" 0 ", 72 x 72 ppi, " -- read "$work/base.jpg" "$work/r.ppm"
"$kvhost" write --dpi 300 "$sample" "$work/dpi.jpg" >/dev/null
expect "--dpi 300" 0 ", 300 x 300 ppi, " -- read "$work/dpi.jpg" "$work/dpi.png"
expect "PNG input" 0 "^$work/dpi.png: 320 x 200 PNG -> " -- write "$work/dpi.png" "$work/from-png.jpg"
expect "the PNG's resolution is kept" 0 ", 300 x 300 ppi, " -- read "$work/from-png.jpg" "$work/r.ppm"

# The profile goes in and comes out whole.
profile=$images/test3.icc
expect "--icc" 0 "quality 5, ICC profile $(size "$profile") bytes, " -- write --icc "$profile" "$sample" "$work/icc.jpg"
"$kvhost" read --icc "$work/back.icc" "$work/icc.jpg" "$work/r.ppm" >/dev/null
check "the profile reads back" cmp -s "$profile" "$work/back.icc"
expect "missing profile" 1 "$work/none.icc: cannot read the profile: " -- write --icc "$work/none.icc" "$sample" "$work/x.jpg"

# Grey comes in as three equal channels; alpha is dropped with a note.
"$kvhost" read "$images/gen/grey.jpg" "$work/grey.pgm" >/dev/null
expect "PGM input" 0 "^$work/grey.pgm: 227 x 149 PGM -> " -- write --quality 10 "$work/grey.pgm" "$work/grey.jpg"
djpeg -ppm "$work/grey.jpg" > "$work/grey-back.ppm"
spread=$(channel_spread "$work/grey-back.ppm")
check "grey stays grey (channels within $spread)" [ "$spread" -le 2 ]
{ printf 'P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n'; printf '\xff\x00\x00\x00\x00\x00\xff\xff'; } > "$work/rgba.pam"
expect "RGBA PAM" 0 "note: the alpha channel is dropped" -- write "$work/rgba.pam" "$work/rgba.jpg"
check "RGBA PAM written" [ -s "$work/rgba.jpg" ]

# Refusals: the command line (status 2), then files (status 1) with nothing left behind.
expect "quality out of range" 2 "--quality takes 0 to 10, not '11'" -- write --quality 11 "$sample" "$work/no.jpg"
expect "unknown format" 2 "--format takes baseline, optimized or progressive, not 'jpeg2000'" -- write --format jpeg2000 "$sample" "$work/no.jpg"
expect "scans out of range" 2 "--scans takes 3, 4 or 5, not '6'" -- write --format progressive --scans 6 "$sample" "$work/no.jpg"
expect "scans without progressive" 2 "--scans applies to --format progressive only" -- write --scans 4 "$sample" "$work/no.jpg"
expect "dpi out of range" 2 "--dpi takes a whole number" -- write --dpi 0 "$sample" "$work/no.jpg"
expect "one file" 2 "wanted IN .* and OUT.jpg, got 1 file names" -- write "$sample"
expect "option without its value" 2 "--quality needs a value" -- write "$sample" "$work/no.jpg" --quality
expect "write options belong to write" 2 "unknown option '--quality'" -- read --quality 3 "$work/base.jpg" "$work/no.ppm"
cp "$sample" "$work/same.ppm"
ln -s "$work/same.ppm" "$work/link.jpg"
expect "OUT is IN" 2 "link.jpg: OUT is the input image itself" -- write "$work/same.ppm" "$work/link.jpg"
check "the input survives" cmp -s "$sample" "$work/same.ppm"
expect "missing input" 1 "missing.ppm: cannot open: " -- write "$work/missing.ppm" "$work/no.jpg"
expect "not an image" 1 "not an image kvhost reads" -- write "$work/base.jpg" "$work/no.jpg"
printf 'P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n\1\2\3\4' > "$work/cmyk.pam"
expect "CMYK PAM" 1 "a CMYK PAM cannot be written" -- write "$work/cmyk.pam" "$work/no.jpg"
head -c 3000 "$sample" > "$work/cut.ppm"
expect "input cut short" 1 "cut.ppm: row [0-9]+ of 200: the file ends before its last row" -- write "$work/cut.ppm" "$work/no.jpg"
expect "output folder missing" 1 "$work/none/out.jpg: cannot create: " -- write "$sample" "$work/none/out.jpg"
# The module's property list declares 30000 x 30000 pixels as its largest frame: one more is
# refused before the module sees it; the limit itself is written.
{ printf 'P5\n30001 1\n255\n'; head -c 30001 /dev/zero; } > "$work/wide.pgm"
expect "wider than mxsz" 1 "wide.pgm: 30001 x 1 pixels is larger than the module takes: at most 30000 x 30000 \(its \"mxsz\" property\)" \
    -- write "$work/wide.pgm" "$work/no.jpg"
{ printf 'P5\n1 30001\n255\n'; head -c 30001 /dev/zero; } > "$work/tall.pgm"
expect "taller than mxsz" 1 "tall.pgm: 1 x 30001 pixels is larger than the module takes: at most 30000 x 30000" \
    -- write "$work/tall.pgm" "$work/no.jpg"
{ printf 'P5\n30000 1\n255\n'; head -c 30000 /dev/zero; } > "$work/widest.pgm"
expect "as wide as mxsz" 0 "widest.pgm: 30000 x 1 PGM -> $work/widest.jpg: baseline" -- write "$work/widest.pgm" "$work/widest.jpg"
check "nothing left of refused writes" [ ! -e "$work/no.jpg" ]
if [[ -c /dev/full ]]; then
    expect "full device" 1 "/dev/full: the module failed at row [0-9]+ of 200: -36 I/O error" -- write "$sample" /dev/full
    check "the device is still there" [ -c /dev/full ]
fi

expect "--help lists write" 0 "^  write \[OPTION\.\.\.\] IN OUT " -- --help

# The progress bar, on a terminal and off it.
progress_bar write "$sample" "$work/tty.jpg"

finish
