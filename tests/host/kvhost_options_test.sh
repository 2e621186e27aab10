#!/usr/bin/env bash
# kvhost options end to end: the scripted user's choice kept in the options file and used by a
# later write (the same file as the same options given on the command line), a cancelled dialog
# changing nothing, command-line options winning for one write only, refused scripts, the
# window's picture, and no window without the window library.
# Arguments: the kvhost program, the bundled sample PPM.
set -u
kvhost=$1
sample=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/kvhost-options-XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config"
store="$XDG_CONFIG_HOME/kvhost/jpeg-options"

source "$(dirname "$0")/script_checks.sh"

hex() { od -An -v -tx1 "$1" | tr -d ' \n'; }
# The stored options alone (bytes 22 to 27); the run state before them is the module's scratch.
options_of() { hex "$1" | cut -c45-; }

# The default record, shown and confirmed: one line per control, then the result.
output=$("$kvhost" options --script "ok" 2>&1)
wanted=$'quality 5\nquality_pop 1 (Medium)\nslider 5\nformat_options 0 (Baseline (\u201cStandard\u201d))\nscans 0 (3) inactive\nok 0'
if [[ $output == "$wanted" ]]; then pass; else fail "the default dialog:"$'\n'"$output"; fi
if [[ $(hex "$store") == 4a503634000000000000000000000000000000000000000500000001 ]]; then pass; else fail "default record $(hex "$store")"; fi

# Progressive, 4 scans, quality typed as 7.6 and snapped to 7 at the end of the edit.
output=$("$kvhost" options --script "choose format_options 2; choose scans 1; type quality 7.6; end quality; ok" 2>&1)
wanted=$'quality 7\nquality_pop 2 (High)\nslider 7\nformat_options 2 (Progressive)\nscans 1 (4)\nok 0'
if [[ $output == "$wanted" ]]; then pass; else fail "the chosen options:"$'\n'"$output"; fi
if [[ $(options_of "$store") == 000700020002 ]]; then pass; else fail "stored options $(hex "$store")"; fi

# A write without options takes the stored ones: the same file as asking for them outright.
expect "write with the stored options" 0 "progressive \(4 scans\), quality 7" -- write "$sample" "$work/stored.jpg"
expect "write with the same options given" 0 "progressive \(4 scans\), quality 7" -- \
    write --quality 7 --format progressive --scans 4 "$sample" "$work/given.jpg"
if cmp -s "$work/stored.jpg" "$work/given.jpg"; then pass; else fail "the stored options wrote another file"; fi

# Cancel changes nothing, whatever the user did before.
before=$(options_of "$store")
expect "a cancelled dialog" 0 "^cancelled -128$" -- options --script "choose format_options 0; drag slider 2; cancel"
if [[ $(options_of "$store") == "$before" ]]; then pass; else fail "cancel changed the record: $(hex "$store")"; fi
expect "write after cancel" 0 "progressive \(4 scans\), quality 7" -- write "$sample" "$work/after.jpg"
if cmp -s "$work/after.jpg" "$work/given.jpg"; then pass; else fail "the write after cancel differs"; fi

# Options on the command line are for that write only.
expect "write with its own options" 0 "baseline, quality 2" -- write --quality 2 "$sample" "$work/own.jpg"
if [[ $(options_of "$store") == "$before" ]]; then pass; else fail "a write with options changed the record"; fi

# Scripts the scripted user cannot act out.
expect "unknown action" 2 "unknown action 'press ok'" -- options --script "press ok"
expect "choose wants an index" 2 "is no index" -- options --script "choose scans 1.5"
expect "inactive control" 1 "'scans' is inactive" -- options --script "choose format_options 0; choose scans 2; ok"
expect "unknown control" 1 "no control 'speed'" -- options --script "type speed 3"
if [[ $(options_of "$store") == "$before" ]]; then pass; else fail "a refused script changed the record"; fi

# A record the module does not know is replaced by the defaults.
printf 'JUNKJUNKJUNKJUNKJUNKJUNKJUNK' >"$store"
expect "foreign record" 0 "^quality 5$" -- options --script "ok"
if [[ $(hex "$store") == 4a503634000000000000000000000000000000000000000500000001 ]]; then pass; else fail "foreign record $(hex "$store")"; fi

# The window's picture, as it first appears, without a display.
if env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$kvhost" options --screenshot "$work/window.png" >/dev/null 2>&1 &&
    [[ $(od -An -N8 -tx1 "$work/window.png" | tr -d ' ') == 89504e470d0a1a0a ]]; then
    pass
else
    fail "no PNG picture of the window"
fi
if [[ $(hex "$store") == 4a503634000000000000000000000000000000000000000500000001 ]]; then pass; else fail "the picture changed the record"; fi

# The window comes from the window library, loaded only for a window: without it options refuses
# before the module is asked, and kvhost itself does not load Qt.
rm -f "$work/none.png"
KVHOST_WINDOW_LIBRARY="$work/none.so" expect "no window library" 1 "the window library cannot be loaded: .*none.so" -- \
    options --screenshot "$work/none.png"
if [[ ! -e $work/none.png && $(hex "$store") == 4a503634000000000000000000000000000000000000000500000001 ]]; then
    pass
else
    fail "options without a window library made a picture or changed the record"
fi
if command -v readelf >/dev/null; then
    if readelf -d "$kvhost" | grep -q 'NEEDED.*Qt'; then fail "kvhost links Qt: $(readelf -d "$kvhost" | grep NEEDED)"; else pass; fi
fi

# The module imports the toolkit's operations and carries none of them.
module="$(dirname "$kvhost")/JPEG.kvx"
if command -v nm >/dev/null; then
    imported=$(nm -D --undefined-only "$module" | c++filt)
    defined=$(nm -D --defined-only "$module" | c++filt)
    for operation in 'zelui::ui::UI_Popup::SetValue(long long)' 'zelui::ui::UI_Dialog::SetButtons' \
        'zeltamofactory::UI_TamoViewBase::ParseTamoScript' 'zelcore::config::ThrowError' \
        'zelcore::utility::RefCountedObjectWithWeakPtr::Lock' 'zelui::utility::OS_ResourceManager::GetBinary'; do
        if grep -qF "$operation" <<<"$imported"; then pass; else fail "JPEG.kvx does not import $operation"; fi
    done
    if grep -qE 'zel(core|ui|tamofactory)' <<<"$defined"; then fail "JPEG.kvx defines toolkit symbols: $defined"; else pass; fi
fi

finish
