# shellcheck shell=bash
# Real desktops for the screenshot scripts: vesk instances on a namespace LAN (tests/e2e/lib), each with the real
# interface on an X display of its own (Xvfb) with a window manager (openbox) and a panel with a tray (tint2),
# driven by keyboard and mouse (xdotool) and photographed with ImageMagick's import.
# The script sets source_dir (the repository) before sourcing this file.

# desktops_init NAME VESK DISPLAY_BASE: checks the tools, loads the LAN and the rig, and tears everything down on
# exit. Desktop I runs on display :DISPLAY_BASE I (":2" and 1 give ":21").
desktops_init() {
    local name="$1" tool
    [ -x "$2" ] || { echo "usage: $0 VESK" >&2; exit 2; }
    for tool in Xvfb openbox tint2 xdotool import sqlite3; do
        command -v "$tool" >/dev/null || { echo "$name: needs $tool" >&2; exit 1; }
    done
    # shellcheck source=../../tests/e2e/lib/netns.sh
    . "$source_dir/tests/e2e/lib/netns.sh"
    # shellcheck source=../../tests/e2e/lib/vesk_rig.sh
    . "$source_dir/tests/e2e/lib/vesk_rig.sh"
    netns_skip_unless_available
    rig_init "$2" "$source_dir" || exit 1
    DESKTOPS_BASE="$3"
    displays=()
    desktop_pids=()
    trap desktops_cleanup EXIT
}
desktops_cleanup() {
    rig_cleanup
    [ ${#desktop_pids[@]} -eq 0 ] || kill "${desktop_pids[@]}" 2>/dev/null
    netns_teardown
}

# desktop I: an X display with a window manager and a panel whose tray shows the Vesk icon; DESKTOP_SCREEN (WxH)
# sizes its screen (1100x760).
desktop() {
    local display=":$DESKTOPS_BASE$1"
    # netns_setup, called between desktops_init and here, put its own EXIT trap in place of ours: without this the
    # displays, window managers, panels and instances outlived the script.
    trap desktops_cleanup EXIT
    Xvfb "$display" -screen 0 "${DESKTOP_SCREEN:-1100x760}x24" -nolisten tcp >/dev/null 2>&1 &
    desktop_pids+=($!)
    sleep 1
    DISPLAY="$display" openbox >/dev/null 2>&1 &
    desktop_pids+=($!)
    DISPLAY="$display" tint2 >/dev/null 2>&1 &
    desktop_pids+=($!)
    displays[$1]="$display"
}

# real_instance I ALIAS: an instance with the real interface and its translations (the rig's own is scripted).
real_instance() {
    rig_instance "$1" "$2"
    rm -rf "$(rig_folder "$1")/app/qml"
    cp -r "$source_dir/qml" "$(rig_folder "$1")/app/qml"
    cp "$(dirname "$RIG_BIN")"/Vesk_*.qm "$(rig_folder "$1")/app/"
}

# start I: starts instance I on its desktop.
start() {
    RIG_ENV=(QT_QPA_PLATFORM=xcb "DISPLAY=${displays[$1]}" LANG=en_US.UTF-8)
    rig_start "$1"
    RIG_ENV=()
}

# window I: the main window of desktop I, the tallest window named Vesk (popups are named Vesk as well).
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

# keys I KEYS...: keys pressed in the main window of desktop I.
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

# desktops_serve FIFO: runs each shell line written to FIFO (made afresh) with the desktops as they are, logging to
# FIFO.log, until a line "quit"; for driving a rig by hand while looking at its screens.
desktops_serve() {
    rm -f "$1"
    mkfifo "$1"
    while true; do
        while read -r line; do
            [ "$line" = quit ] && exit 0
            eval "$line" >>"$1.log" 2>&1
            echo "done: $line" >>"$1.log"
        done <"$1"
    done
}
