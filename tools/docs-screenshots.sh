#!/usr/bin/env bash
# Screenshots for docs/ from a real run: two vesk instances on a namespace LAN, each with the real interface on
# an X display of its own (Xvfb) with a window manager (openbox) and a panel with a tray (tint2), driven by the
# keyboard and mouse (xdotool). Writes docs/ui-offline-contact.png, docs/ui-waiting-download.png and
# docs/ui-delivered.png.
#
#   tools/docs-screenshots.sh VESK      (needs root, ip netns, sqlite3, Xvfb, openbox, tint2, xdotool, import)
#
# Alice offers Bob a file over a link shaped to 80 Mbit/s, so the transfer takes long enough to interrupt: Alice
# dies in the middle, Bob's download waits for her with its bytes on disk, Alice comes back, the download ends by
# itself and Alice is told. Then Bob quits, and Alice still lists him, greyed, with their conversation.
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
shot() {
    sleep 1
    DISPLAY="${displays[$1]}" import -window root "$source_dir/docs/$2"
    echo "docs-screenshots: docs/$2"
}

desktop 1
desktop 2
real_instance 1 Alice
real_instance 2 Bob
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"
files="$(rig_folder 1)/files"
mkdir -p "$files"
rig_random_file "$files/holiday-video.mkv" 210
id="$(rig_upload_id 2 "$files/holiday-video.mkv")"

start 1
start 2
rig_wait_all_on 2 60
# What Alice picked and sent, as the Files page stores it: the offer loop sends it within seconds.
now=$(($(date +%s) * 1000))
rig_sql 1 "insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, timesent) values
    ('$id', '$files/holiday-video.mkv', '$b', $((210 * 1024 * 1024)), 'holiday-video.mkv', 0, 'unknown', $now)"
rig_sql 1 "insert into vesk_chats values ('{c1}', 'Here is the video from Saturday', '$a', '$b', 'sent', $now),
    ('{c2}', 'Thanks! Downloading it now', '$b', '$a', 'sent', $((now + 60000)))"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown 30

# Bob downloads it over a slow link, and Alice dies half-way.
netns_exec 1 tc qdisc add dev eth0 root tbf rate 80mbit burst 64kb latency 50ms
keys 2 ctrl+3
# The Download button of the only row offered, at the right of the window.
click 2 -63 229
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" queued 10
rig_wait_size "$(rig_downloads 2)/holiday-video.mkv.part" $((100 * 1024 * 1024)) 120
kill -9 "${RIG_PID[1]}"
wait "${RIG_PID[1]}" 2>/dev/null
RIG_PID[1]=""
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown 40
shot 2 ui-waiting-download.png

# Alice is back: the download goes on by itself and Alice hears that Bob has the file.
netns_exec 1 tc qdisc del dev eth0 root
start 1
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 120
rig_wait_sql 1 "select count(*) from vesk_uploads" 0 20
keys 1 ctrl+3
shot 1 ui-delivered.png

# Bob quits without a word: Alice shows him offline within half a minute, and keeps their conversation.
kill -9 "${RIG_PID[2]}"
wait "${RIG_PID[2]}" 2>/dev/null
RIG_PID[2]=""
rig_wait_sql 1 "select status from vesk_peers where id = '$b'" off 40
keys 1 ctrl+1
click 1 100 215
shot 1 ui-offline-contact.png
