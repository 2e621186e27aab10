#!/usr/bin/env bash
# The Windows module against the Linux one: one batch of kvhost commands (the file check and a
# read of every JPEG in tests/data, writes of the bundled sample at every quality, format and scan
# script, the options dialog worked by a scripted user and the write that takes its choice, info)
# runs once through the Linux kvhost and once through kvhost.exe under Wine. The transcripts
# (statuses, result codes, messages, the property list) and every file written must be
# byte-identical. Also checks kvhost.exe's own refusals (a file that is no module or has no
# resources, no window, no PNG) and what the DLL exports and imports.
# Arguments: the Linux kvhost, the Windows build folder (scripts/build-windows), tests/data, and a
# folder for Wine's prefix.
# Skipped (status 77) when there is no Windows build or Wine cannot run it.
set -u
kvhost=$(realpath -m "$1")
windows=$(realpath -m "$2")
data=$(realpath -m "$3")
prefix=$(realpath -m "$4")

skip() {
    printf 'SKIPPED: %s\n' "$*"
    exit 77
}
[[ -x "$windows/kvhost.exe" && -f "$windows/JPEG.kvx" ]] ||
    skip "no Windows build in $windows (scripts/build-windows makes it)"
command -v wine >/dev/null || skip "Wine is not installed (scripts/install-deps --windows installs it)"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
# The first start makes Wine's prefix (some seconds), saying so on standard error.
if ! version=$(cd "$windows" && wine ./kvhost.exe --version 2>"$prefix.log") || [[ $version != kvhost* ]]; then
    skip "Wine cannot run kvhost.exe here: $version $(tail -n 5 "$prefix.log")"
fi

source "$(dirname "$0")/script_checks.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/kvhost-windows-XXXXXX")
trap '[[ -n ${KEEP_WORK:-} ]] || rm -rf "$work"' EXIT

# The batch, on absolute paths (Wine sees the Linux file system as drive Z:, its current drive).
batch=$work/commands
: >"$work/empty.jpg"
printf '\377' >"$work/one-byte.jpg"
cp "$data/sample.ppm" "$work/copy.ppm"
sample=$data/sample.ppm
{
    mapfile -t jpegs < <(cd "$data" && find . -name '*.jpg' | sed 's|^\./||' | LC_ALL=C sort)
    printf 'check'
    printf ' %s' "${jpegs[@]/#/$data/}"
    printf '\n'
    for jpeg in "${jpegs[@]}"; do
        name=${jpeg//\//-}
        printf 'read --icc out/%s.icc %s out/%s.pam\n' "$name" "$data/$jpeg" "$name"
    done
    printf 'read %s/missing.jpg out/missing.pam\n' "$data"
    # Files that end before SOI: the file layer's short read (-39) on either system.
    printf 'check %s %s\n' "$work/empty.jpg" "$work/one-byte.jpg"
    for quality in 0 1 2 3 4 5 6 7 8 9 10; do
        for format in baseline optimized; do
            printf 'write --quality %s --format %s %s out/q%s-%s.jpg\n' $quality $format "$sample" $quality $format
        done
        for scans in 3 4 5; do
            printf 'write --quality %s --format progressive --scans %s %s out/q%s-progressive%s.jpg\n' \
                $quality $scans "$sample" $quality $scans
        done
    done
    for format in baseline optimized progressive; do
        printf 'write --format %s --icc %s --dpi 300 %s out/icc-%s.jpg\n' $format "$data/images/test3.icc" "$sample" $format
    done
    # A grey and an RGB image as read above, written back through kvhost's PAM reader.
    printf 'write out/images-gen-grey.jpg.pam out/grey-again.jpg\n'
    printf 'write out/images-testimgint.jpg.pam out/rgb-again.jpg\n'
    printf 'options --script "choose format_options 2; choose scans 1; type quality 7.6; end quality; ok"\n'
    printf 'write %s out/stored.jpg\n' "$sample"
    printf 'options --script "choose quality_pop 0; cancel"\n'
    printf 'write %s out/stored-after-cancel.jpg\n' "$sample"
    # OUT that is IN, by another name: refused before it is truncated.
    printf 'write %s %s/../%s/copy.ppm\n' "$work/copy.ppm" "$work" "$(basename "$work")"
    printf 'info\n'
    printf 'info --raw\n'
} >"$batch"

# run SIDE COMMAND...: the batch in $work/SIDE, its transcript in $work/SIDE.txt, made comparable:
# no times, the module's own path as JPEG.kvx, lines ending in LF (Windows writes CR LF).
run() {
    local side=$1
    shift
    mkdir -p "$work/$side/out"
    (cd "$work/$side" && XDG_CONFIG_HOME="$work/$side/config" "$@" batch "$batch" >"$work/$side.raw" 2>&1)
    tr -d '\r' <"$work/$side.raw" | sed -E -e 's/ \([0-9.]+ s\)$//' -e 's/^.*JPEG\.kvx: plug-in property list/JPEG.kvx: plug-in property list/' \
        -e 's/^.*JPEG\.kvx: (property list|[0-9]+ bytes)/JPEG.kvx: \1/' >"$work/$side.txt"
}
started=$(date +%s)
run linux "$kvhost"
linux_done=$(date +%s)
run windows wine "$windows/kvhost.exe"
windows_done=$(date +%s)

if diff -u "$work/linux.txt" "$work/windows.txt" >"$work/transcripts.diff"; then
    pass
else
    fail "the transcripts differ:"$'\n'"$(head -n 60 "$work/transcripts.diff")"
fi
commands=$(grep -c '^\$ ' "$work/linux.txt")
[[ $commands -eq $(grep -cv '^#' "$batch") ]] && pass || fail "the Linux batch ran $commands commands"
grep -q '^status 0$' "$work/linux.txt" && pass || fail "no command of the batch succeeded"

# Every file either side wrote, byte for byte.
files=0
bytes=0
(cd "$work/linux" && find out config -type f | LC_ALL=C sort) >"$work/linux.files"
(cd "$work/windows" && find out config -type f | LC_ALL=C sort) >"$work/windows.files"
if diff -u "$work/linux.files" "$work/windows.files"; then pass; else fail "the two sides wrote different files"; fi
while read -r file; do
    if cmp -s "$work/linux/$file" "$work/windows/$file"; then
        files=$((files + 1))
        bytes=$((bytes + $(stat -c %s "$work/linux/$file")))
    else
        fail "$file differs: $(cmp "$work/linux/$file" "$work/windows/$file" 2>&1)"
    fi
done <"$work/linux.files"
written_jpegs=$(grep -c '^out/.*\.jpg$' "$work/linux.files")
read_images=$(grep -c '^out/.*\.pam$' "$work/linux.files")
# Each image the transcript reports read or written is among the files compared.
reported_reads=$(grep -cE ' -> out/.*\.pam$' "$work/linux.txt")
reported_writes=$(grep -cE ' -> out/.*\.jpg: ' "$work/linux.txt")
(( read_images == reported_reads && written_jpegs == reported_writes && written_jpegs >= 60 )) && pass ||
    fail "files: $read_images images read ($reported_reads reported), $written_jpegs JPEGs written ($reported_writes reported)"

# The record OK stored: "JP64", then quality 7, format 2 (progressive), scans 2 (four) big-endian.
record=$(od -An -v -tx1 "$work/windows/config/kvhost/jpeg-options" | tr -d ' \n')
[[ ${record:0:8} == 4a503634 && ${record:44:12} == 000700020002 ]] && pass ||
    fail "the record after OK is $record"

# What only kvhost.exe says, in a second Wine process: a file that is no module or carries no
# resources refused before anything is loaded, and what this kvhost lacks.
cat >"$work/windows-only" <<COMMANDS
info $data/sample.jpg
info $windows/zelcore.dll
--module $windows/zelcore.dll check $data/sample.jpg
options
read $data/sample.jpg out/sample.png
COMMANDS
(cd "$work/windows" && wine "$windows/kvhost.exe" batch "$work/windows-only" 2>&1 | tr -d '\r' >"$work/windows-only.txt")
for wanted in "sample.jpg: not a module: not a Windows module file" "zelcore.dll: carries no module resources" \
              "cannot load the module: .*zelcore.dll: carries no module resources" \
              "has no window to show the dialog in \(use --script\)" "built without PNG: write .ppm, .pgm or .pam"; do
    grep -Eq -- "$wanted" "$work/windows-only.txt" && pass || fail "kvhost.exe did not say /$wanted/"
done
[[ $(grep -c '^status [12]$' "$work/windows-only.txt") -eq 5 ]] && pass ||
    fail "kvhost.exe's refusals:"$'\n'"$(cat "$work/windows-only.txt")"

# What the DLL exports and imports.
objdump=x86_64-w64-mingw32-objdump
if command -v $objdump >/dev/null; then
    exports=$($objdump -p "$windows/JPEG.kvx" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
              sed -nE 's/^\s*\[ *[0-9]+\] (.*)$/\1/p' | LC_ALL=C sort | tr '\n' ' ')
    wanted="FilterMain _ZN9RQSessionC1ERKS_ _ZN9RQSessionC1Ev _ZN9RQSessionC2ERKS_ _ZN9RQSessionC2Ev _ZN9RQSessionD0Ev "
    wanted+="_ZN9RQSessionD1Ev _ZN9RQSessionD2Ev _ZN9RQSessionaSERKS_ _ZTI9RQSession _ZTV9RQSession "
    [[ $exports == "$wanted" ]] && pass || fail "JPEG.kvx exports: $exports"
    allowed=" kernel32.dll msvcrt.dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll q.dll zelcore.dll zelui.dll zeltamofactory.dll "
    imports=$($objdump -p "$windows/JPEG.kvx" | sed -nE 's/^\s*DLL Name: (.*)$/\1/p' | tr 'A-Z' 'a-z')
    for dll in $imports; do
        [[ $allowed == *" $dll "* ]] && pass || fail "JPEG.kvx imports from $dll"
    done
    grep -qx 'zeltamofactory.dll' <<<"$imports" && grep -qx 'libstdc++-6.dll' <<<"$imports" && pass ||
        fail "JPEG.kvx does not import the toolkit and the shared C++ runtime: $imports"
fi

printf '%d commands; %d files compared, %d bytes identical (%d images read from %d JPEGs, %d JPEGs written)\n' \
    "$commands" "$files" "$bytes" "$read_images" "${#jpegs[@]}" "$written_jpegs"
printf 'Linux batch %d s, Windows batch under Wine %d s (with Wine'"'"'s start)\n' \
    $((linux_done - started)) $((windows_done - linux_done))
finish
