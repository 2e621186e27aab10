#!/usr/bin/env bash
# kvhost as installed: `cmake --install` into a scratch prefix, then the installed program finds
# its module by itself (no KVX_MODULE) and checks, reads and writes the bundled sample.
# Arguments: the build folder, the bundled sample JPEG, the bundled sample PPM.
set -u
build=$1 sample_jpg=$2 sample_ppm=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
unset KVX_MODULE
kvhost="$prefix/bin/kvhost"
source "$(dirname "$0")/script_checks.sh"

if cmake --install "$build" --prefix "$prefix" >/dev/null && [[ -x $kvhost && -f $prefix/lib/kvhost/JPEG.kvx &&
    -f $prefix/lib/kvhost/kvhost-window.so ]]; then
    pass
else
    fail "cmake --install did not put bin/kvhost, lib/kvhost/JPEG.kvx and lib/kvhost/kvhost-window.so into $prefix"
fi
cd "$prefix"
if [[ -f $prefix/include/kvhost/RQSession.h && -f $prefix/include/kvhost/kvx_resource_block.h ]]; then
    pass
else
    fail "cmake --install did not put the public headers into $prefix/include/kvhost"
fi
expect "the installed module carries its property list" 0 "^  8664  entry point FilterMain$" -- info
expect "the installed kvhost checks the sample" 0 ": JPEG$" -- check "$sample_jpg"
expect "the installed kvhost reads the sample" 0 "320 x 200 RGB" -- read "$sample_jpg" "$prefix/out.ppm"
expect "the installed kvhost writes the sample" 0 "progressive" -- write --format progressive "$sample_ppm" "$prefix/out.jpg"
export XDG_CONFIG_HOME="$prefix/config"
expect "the installed kvhost shows the options dialog" 0 "^ok 0$" -- options --script "choose format_options 1; ok"
DISPLAY= WAYLAND_DISPLAY= QT_QPA_PLATFORM= \
    expect "the installed kvhost finds its window library" 0 "^cancelled -128$" -- options --screenshot "$prefix/window.png"
expect "the installed kvhost writes with the stored options" 0 "optimized" -- write "$sample_ppm" "$prefix/stored.jpg"
expect "the written file reads back" 0 "320 x 200 RGB" -- read "$prefix/out.jpg" "$prefix/back.ppm"
finish
