#!/usr/bin/env bash
# Screenshots of the desktop shell for docs/, from a real run on two desktops (Xvfb, openbox, a tint2 panel with a
# tray), driven by keyboard and mouse (xdotool): the first-run wizard of a new user, the profile dialog, a burst of
# offers in one notice, the tray with its count and menu, and the question asked on closing.
#
#   tools/docs-screenshots-desktop.sh VESK [interactive]   (needs root, ip netns, sqlite3, Xvfb, openbox, tint2,
#                                                            xdotool, import; with "interactive", commands are then
#                                                            read from the FIFO /tmp/vesk-shots.fifo)
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-}"
[ -x "$vesk" ] || { echo "usage: $0 VESK" >&2; exit 2; }
for tool in Xvfb openbox tint2 xdotool import sqlite3; do
    command -v "$tool" >/dev/null || { echo "docs-screenshots: needs $tool" >&2; exit 1; }
done
# shellcheck source=../tests/e2e/lib/netns.sh
. "$source_dir/tests/e2e/lib/netns.sh"
# shellcheck source=../tests/e2e/lib/vesk_rig.sh
. "$source_dir/tests/e2e/lib/vesk_rig.sh"

netns_skip_unless_available
rig_init "$vesk" "$source_dir" || exit 1

displays=()
desktop_pids=()
cleanup() {
    rig_cleanup
    kill "${desktop_pids[@]}" 2>/dev/null
    netns_teardown
}
trap cleanup EXIT
netns_setup 2 || exit 1

# desktop I: an X display :2I with a window manager and a panel whose tray shows the Vesk icon.
desktop() {
    local display=":2$1"
    Xvfb "$display" -screen 0 1100x760x24 -nolisten tcp >/dev/null 2>&1 &
    desktop_pids+=($!)
    sleep 1
    DISPLAY="$display" openbox >/dev/null 2>&1 &
    desktop_pids+=($!)
    DISPLAY="$display" tint2 >/dev/null 2>&1 &
    desktop_pids+=($!)
    displays[$1]="$display"
}

# real_instance I ALIAS: an instance with the real interface on its own display.
real_instance() {
    rig_instance "$1" "$2"
    rm -rf "$(rig_folder "$1")/app/qml"
    cp -r "$source_dir/qml" "$(rig_folder "$1")/app/qml"
    cp "$(dirname "$RIG_BIN")"/Vesk_*.qm "$(rig_folder "$1")/app/"
}

start() {
    RIG_ENV=(QT_QPA_PLATFORM=xcb "DISPLAY=${displays[$1]}" LANG=en_US.UTF-8)
    rig_start "$1"
    RIG_ENV=()
}

# The main window: the tallest window named Vesk (popups are named Vesk as well).
window() {
    local w best="" tallest=0 height
    for w in $(DISPLAY="${displays[$1]}" xdotool search --sync --onlyvisible --name 'Vesk$'); do
        height="$(DISPLAY="${displays[$1]}" xdotool getwindowgeometry --shell "$w" | sed -n 's/^HEIGHT=//p')"
        if [ "$height" -gt "$tallest" ]; then
            tallest="$height"
            best="$w"
        fi
    done
    echo "$best"
}
keys() {
    local i="$1"
    shift
    DISPLAY="${displays[$i]}" xdotool windowactivate --sync "$(window "$i")" key --clearmodifiers "$@"
    sleep 1
}
# click I X Y: a click at X,Y in the main window (a negative X counts from its right edge).
click() {
    local w x="$2" width
    w="$(window "$1")"
    width="$(DISPLAY="${displays[$1]}" xdotool getwindowgeometry --shell "$w" | sed -n 's/^WIDTH=//p')"
    [ "$x" -ge 0 ] || x=$((width + x))
    DISPLAY="${displays[$1]}" xdotool windowactivate --sync "$w" mousemove --window "$w" "$x" "$3" click 1
    sleep 1
}
# shot I FILE [GEOMETRY]: the screen of desktop I, cropped to GEOMETRY (WxH+X+Y) when given, as a small PNG.
shot() {
    sleep 1
    DISPLAY="${displays[$1]}" import -window root ${3:+-crop "$3"} +repage -colors 256 "PNG8:$source_dir/docs/$2"
    echo "docs-screenshots: docs/$2 $(stat -c %s "$source_dir/docs/$2") bytes"
}
# The geometry of the top window whose name matches, for cropping: WxH+X+Y with a margin.
geometry_of() {
    local w
    w="$(DISPLAY="${displays[$1]}" xdotool search --onlyvisible --name "$2" | tail -1)"
    eval "$(DISPLAY="${displays[$1]}" xdotool getwindowgeometry --shell "$w")"
    echo "$((WIDTH + 24))x$((HEIGHT + 48))+$((X > 12 ? X - 12 : 0))+$((Y > 36 ? Y - 36 : 0))"
}
x() { DISPLAY="${displays[$1]}" xdotool "${@:2}"; sleep 1; }

desktop 1
desktop 2
real_instance 1 Alice
real_instance 2 Bob
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"
# Alice is new: no name yet, so the first-run wizard comes first.
sed -i '/^userAlias=/d; /^runOnStartup=/d' "$(rig_conf 1)"
rm -f "$(rig_data 1)/myavatar.png"
start 2
start 1

if [ "${2:-}" = interactive ]; then
    rm -f /tmp/vesk-shots.fifo
    mkfifo /tmp/vesk-shots.fifo
    while true; do
        while read -r line; do
            [ "$line" = quit ] && exit 0
            eval "$line" >>/tmp/vesk-shots.log 2>&1
            echo "done: $line" >>/tmp/vesk-shots.log
        done </tmp/vesk-shots.fifo
    done
fi
