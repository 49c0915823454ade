#!/usr/bin/env bash
# Every page and dialog of the interface as a user meets it, at the window's default size, on two real desktops
# (Xvfb, openbox, a tint2 panel with a tray, dunst as the desktop's notification service), for looking at and for
# docs/. With SCALE=2 the instances run at QT_SCALE_FACTOR=2 on a screen twice as large, as on a high-density
# display; those pictures are scaled to half before they are stored.
#
#   tools/screenshots-pages.sh VESK [interactive]   (needs root, ip netns, sqlite3, Xvfb, openbox, tint2, dunst,
#                                                    xdotool, import; with "interactive", shell lines are then read
#                                                    from the FIFO /tmp/vesk-pages.fifo, "quit" ends)
#
# Writes docs/ui-*.png (with SCALE=2: docs/ui-*-2x.png). Alice is a new user (the wizard first); Bob runs.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-}"
scale="${SCALE:-1}"
command -v dunst >/dev/null || { echo "screenshots-pages: needs dunst" >&2; exit 1; }
DESKTOP_SCREEN="$((1100 * scale))x$((760 * scale))"
suffix="" && [ "$scale" = 1 ] || suffix="-${scale}x"
# shellcheck source=lib/desktops.sh
. "$here/lib/desktops.sh"
desktops_init screenshots-pages "$vesk" 9
netns_setup 2 || exit 1
# shot I NAME [GEOMETRY]: the screen of desktop I (cropped to GEOMETRY, WxH+X+Y in the unscaled screen's pixels),
# as a small PNG docs/NAME$suffix.png.
shot() {
    local crop="" out="$source_dir/docs/$2$suffix.png"
    sleep 1
    if [ -n "${3:-}" ]; then
        crop="$(echo "$3" | awk -F'[x+]' -v s="$scale" '{ printf "%dx%d+%d+%d", $1*s, $2*s, $3*s, $4*s }')"
    fi
    DISPLAY="${displays[$1]}" import -window root ${crop:+-crop "$crop"} +repage "$RIG_DIR/shot.png"
    if [ "$scale" = 1 ]; then
        convert "$RIG_DIR/shot.png" -colors 256 "PNG8:$out"
    else
        convert "$RIG_DIR/shot.png" -resize "$((100 / scale))%" -colors 256 "PNG8:$out"
    fi
    echo "screenshots-pages: docs/$2$suffix.png $(stat -c %s "$out") bytes"
}
# x I XDOTOOL-ARGS...: xdotool on desktop I, coordinates in the screen's own pixels.
x() { DISPLAY="${displays[$1]}" xdotool "${@:2}"; sleep 1; }
# press I X Y [BUTTON]: a click at X,Y of the unscaled screen.
press() { x "$1" mousemove $(($2 * scale)) $(($3 * scale)) click "${4:-1}"; }
# by1or2 A B: A at scale 1, B at scale 2 (the wizard's widgets sit a little lower where text is drawn larger).
by1or2() { if [ "$scale" = 1 ]; then echo "$1"; else echo "$2"; fi; }
# at I X Y: a click at X,Y of the main window, in its unscaled pixels (a negative X counts from its right edge).
at() {
    local w width x="$2"
    w="$(window "$1")"
    width="$(DISPLAY="${displays[$1]}" xdotool getwindowgeometry --shell "$w" | sed -n 's/^WIDTH=//p')"
    [ "$x" -ge 0 ] || x=$((width / scale + x))
    DISPLAY="${displays[$1]}" xdotool windowactivate --sync "$w" mousemove --window "$w" $((x * scale)) \
        $(($3 * scale)) click 1
    sleep 1
}

desktop 1
desktop 2
for i in 1 2; do
    bus[$i]="unix:path=$RIG_DIR/bus$i"
    dbus-daemon --session --fork --address="${bus[$i]}" --print-pid=1 >"$RIG_DIR/bus$i.pid" || exit 1
    desktop_pids+=("$(cat "$RIG_DIR/bus$i.pid")")
    DISPLAY="${displays[$i]}" DBUS_SESSION_BUS_ADDRESS="${bus[$i]}" dunst >/dev/null 2>&1 &
    desktop_pids+=($!)
done
real_instance 1 Alice
real_instance 2 Bob
rig_real_interface 1 scripted
rig_real_interface 2 scripted
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"
rm -f "$(rig_data 1)/myavatar.png" "$(rig_data 2)/myavatar.png"
# Alice is new: no name yet, so the first-run wizard comes first.
sed -i '/^userAlias=/d; /^runOnStartup=/d' "$(rig_conf 1)"
files="$(rig_folder 2)/files"
mkdir -p "$files/Photos 2026/beach"
rig_random_file "$files/report.pdf" 2
rig_random_file "$files/budget 2026.ods" 1
rig_random_file "$files/Photos 2026/beach/sunset.jpg" 3
rig_random_file "$files/Photos 2026/lake.jpg" 2
for i in 1 2; do
    RIG_ENV=(QT_QPA_PLATFORM=xcb "DISPLAY=${displays[$i]}" LANG=en_US.UTF-8 "DBUS_SESSION_BUS_ADDRESS=${bus[$i]}"
             "QT_SCALE_FACTOR=$scale")
    rig_start "$i"
done
RIG_ENV=()
sleep 4

if [ "${2:-}" = interactive ]; then
    desktops_serve /tmp/vesk-pages.fifo
fi

# Where things are on these screens (1100x760 unscaled): the main window's client area starts at 374,$(by1or2 36 46).
top=$(by1or2 17 27)
window_area="352x$(by1or2 676 690)+374+$top"
tray="$(by1or2 926 1013) $(by1or2 744 752)"

# The first-run wizard: the terms, then the name (the field has the focus), then done.
sleep 4
x 1 key Return
sleep 2
press 1 425 "$(by1or2 503 510)"
press 1 697 "$(by1or2 561 568)"
shot 1 wizard-profile "642x$(by1or2 565 556)+219+$(by1or2 35 51)"
x 1 type "Alice Wonderland"
x 1 key Return
x 1 key Return
sleep 8

# Bob offers two files and a folder at once: one notice, in the program's words.
keys 1 ctrl+2
for f in "$files/report.pdf" "$files/budget 2026.ods" "$files/Photos 2026"; do rig_cmd 2 addFile "$f"; done
sleep 2
rig_cmd 2 togglePeerSelection "$a"
rig_cmd 2 sendHighlightedFiles
sleep 5
shot 1 ui-offer-notice
keys 1 ctrl+3
x 1 mousemove $((900 * scale)) $((600 * scale))
shot 1 ui-transfers "$window_area"
keys 1 F10
shot 1 ui-settings "372x$(by1or2 690 700)+364+$(by1or2 12 20)"
x 1 key Escape

# A conversation, then a message while the window is away in the tray: counted on the tray icon.
keys 1 ctrl+1
at 1 100 190
rig_cmd 2 sendChat "$a" "Here are the slides and the photos from Saturday."
x 1 type "Thanks, downloading them now"
x 1 key Return
# The pointer out of the way without a click: a click on the desktop would take the window's focus away.
x 1 mousemove $((900 * scale)) $((600 * scale))
shot 1 ui-chat "$window_area"
press 1 $tray
rig_cmd 2 sendChat "$a" "Did the folder arrive whole?"
sleep 3
shot 1 ui-unread-hidden
press 1 $tray

# The dialogs of the menu.
keys 1 F10
at 1 130 "$(by1or2 105 145)"
shot 1 ui-add-computer "$window_area"
x 1 key Escape
keys 1 F10
at 1 130 "$(by1or2 145 165)"
shot 1 ui-other-networks "$window_area"
x 1 key Escape

# The tray's menu, and the question closing the window asks.
press 1 $tray 3
shot 1 ui-tray-menu 520x300+580+460
x 1 key Escape
x 1 windowactivate --sync "$(window 1)" key alt+F4
shot 1 ui-close-question "520x$(by1or2 170 150)+290+$(by1or2 250 282)"
x 1 key Escape
