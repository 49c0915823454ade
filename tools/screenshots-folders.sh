#!/usr/bin/env bash
# Screenshots of a folder sent from one computer to another, from a real run: Alice and Bob on a namespace LAN, each
# with the real interface on an X display of its own (Xvfb, openbox, tint2) and the rig's scripted commands beside
# it. Alice adds a folder of five files and one file, which her list of files to send shows as two entries, and
# sends them to Bob over a link slowed to 5 Mbit/s, so that the pictures catch Bob's download half way, with the
# folder's files opened beneath it.
# Writes docs/ui-folder-send.png, ui-folder-popup.png, ui-folder-offered.png, ui-folder-receiving.png,
# ui-folder-sending.png and ui-folder-received.png, each cropped to its window.
#
#   tools/screenshots-folders.sh VESK   (needs root, ip netns, tc, sqlite3, Xvfb, openbox, tint2, xdotool, import)
#
# With FIFO=PATH the steps are not run; lines written to that FIFO are run instead (the functions below, any
# shell), until "quit": to find where things are on displays :5N, N the instance.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-}"
# shellcheck source=lib/desktops.sh
. "$here/lib/desktops.sh"
desktops_init screenshots-folders "$vesk" 5
netns_setup 2 || exit 1
# at I X Y: a click at X,Y in the main window.
at() {
    local w
    w="$(window "$1")"
    DISPLAY="${displays[$1]}" xdotool windowactivate --sync "$w" mousemove --window "$w" "$2" "$3" click 1
    sleep 1
}
# aside I: popups moved out of the main window's way (they come and go while a transfer runs).
aside() {
    local w main
    main="$(window "$1")"
    for w in $(DISPLAY="${displays[$1]}" xdotool search --onlyvisible --name 'Vesk$'); do
        [ "$w" = "$main" ] || DISPLAY="${displays[$1]}" xdotool windowmove "$w" 800 60 2>/dev/null
    done
}
# shot I NAME: the main window of desktop I.
shot() {
    local main info="" tries
    aside "$1"
    sleep 1.5
    aside "$1"
    # A popup that goes while the windows are looked at can leave no answer: ask again (an xwininfo without a
    # window would wait for a click).
    for tries in 1 2 3 4 5; do
        main="$(window "$1" 2>/dev/null)"
        [ -n "$main" ] && info="$(DISPLAY="${displays[$1]}" timeout 5 xwininfo -id "$main" 2>/dev/null)" && break
        sleep 1
    done
    DISPLAY="${displays[$1]}" import -window root -crop "$(sed -n 's/.*Width: *//p' <<<"$info")x$(sed -n \
        's/.*Height: *//p' <<<"$info")+$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")+$(sed -n \
        's/.*Absolute upper-left Y: *//p' <<<"$info")" +repage "$source_dir/docs/$2"
    echo "screenshots: docs/$2"
}
# popup_shot I NAME: the notice beside the main window of desktop I, with a margin of the screen around it.
popup_shot() {
    local w main x y width height
    main="$(window "$1")"
    for w in $(DISPLAY="${displays[$1]}" xdotool search --onlyvisible --name 'Vesk$'); do
        [ "$w" != "$main" ] || continue
        eval "$(DISPLAY="${displays[$1]}" xdotool getwindowgeometry --shell "$w" | sed 's/^/local /')"
        DISPLAY="${displays[$1]}" import -window root -crop "$((WIDTH + 24))x$((HEIGHT + 48))+$((X > 12 ? X - 12 : 0))+$((
            Y > 36 ? Y - 36 : 0))" +repage "$source_dir/docs/$2"
        echo "screenshots: docs/$2"
        return 0
    done
}
# instance I ALIAS: the real interface with the scripted commands beside it, and the translations.
instance() {
    rig_instance "$1" "$2"
    rig_real_interface "$1" scripted
    cp "$(dirname "$RIG_BIN")"/Vesk_*.qm "$(rig_folder "$1")/app/"
}

desktop 1
desktop 2
instance 1 Alice
instance 2 Bob
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"
folder="$(rig_home 1)/Holiday 2026"
mkdir -p "$folder/photos" "$folder/video"
head -c 412000 /dev/urandom >"$folder/photos/beach.jpg"
head -c 388000 /dev/urandom >"$folder/photos/sunset.jpg"
head -c 6300000 /dev/urandom >"$folder/video/harbour.mp4"
head -c 236000 /dev/urandom >"$folder/map.pdf"
head -c 18000 /dev/urandom >"$folder/notes.txt"
head -c 96000 /dev/urandom >"$(rig_home 1)/Itinerary.pdf"
start 1
start 2
rig_wait_all_on 2 60
# Both programs take folders once their sealed session stands.
rig_wait_sql 1 "select capabilities & 8 from vesk_peers where id = '$b'" 8 60
rig_wait_sql 2 "select capabilities & 8 from vesk_peers where id = '$a'" 8 60

if [ -n "${FIFO:-}" ]; then
    desktops_serve "$FIFO"
fi

# Alice: the folder and a file, ticked, and Bob as the recipient.
rig_cmd 1 addFile "$folder"
rig_cmd 1 addFile "$(rig_home 1)/Itinerary.pdf"
rig_wait_sql 1 "select 1" 1
rig_cmd 1 togglePeerSelection "$b"
rig_cmd 1 setCurrentSelectedTabIndex 1
sleep 2
shot 1 ui-folder-send.png
# 5 Mbit/s from Alice to Bob: the 7 MB folder takes a dozen seconds. (A 1 MB packet must arrive within the 5 s
# a connection lives, so a link much slower than this never moves a file past its first packet.)
netns_exec 1 tc qdisc add dev eth0 root tbf rate 5mbit burst 32kb latency 400ms
rig_cmd 1 sendHighlightedFiles
rig_wait_sql 2 "select count(*) from vesk_folders where status = 'unknown'" 1 60
sleep 2
popup_shot 2 ui-folder-popup.png
rig_cmd 2 setCurrentSelectedTabIndex 2
shot 2 ui-folder-offered.png
# The folder opened (its chevron), and everything downloaded.
at 2 254 228
DISPLAY="${displays[2]}" xdotool mousemove 700 700 # no tooltip over the list
rig_cmd 2 downloadAllPending
# The separate file and the folder's first four files are there; the video comes.
rig_wait_sql 2 "select count(*) from vesk_downloads where status = 'downloaded'" 5 60
sleep 5 # the size on disk is read every two seconds: two readings give a speed
shot 2 ui-folder-receiving.png
rig_cmd 1 setCurrentSelectedTabIndex 2
shot 1 ui-folder-sending.png
rig_wait_sql 2 "select status from vesk_folders" downloaded 120
shot 2 ui-folder-received.png
