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
# shellcheck source=lib/desktops.sh
. "$here/lib/desktops.sh"
desktops_init docs-screenshots "$vesk" 2
netns_setup 2 || exit 1
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
