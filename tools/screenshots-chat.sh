#!/usr/bin/env bash
# Screenshots of a conversation from a real run: Alice, Bob and Cleo on a namespace LAN, Alice and Bob each with the
# real interface on an X display of their own (Xvfb, openbox, tint2), driven by keyboard and mouse (xdotool).
# Writes docs/ui-chat-*.png and docs/ui-people-count.png, each cropped to Alice's window.
#
#   tools/screenshots-chat.sh VESK      (needs root, ip netns, sqlite3, Xvfb, openbox, tint2, xdotool, import)
#
# With HOLD=SECONDS the run stops after start-up for that long, so the windows can be driven by hand (displays
# :7N, N the instance) to find where things are.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-}"
# shellcheck source=lib/desktops.sh
. "$here/lib/desktops.sh"
desktops_init screenshots "$vesk" 7
netns_setup 3 || exit 1
# x I ARGS: xdotool on desktop I, after activating the main window.
x() {
    local i="$1"
    shift
    DISPLAY="${displays[$i]}" xdotool windowactivate --sync "$(window "$i")" "$@"
    sleep 1
}
# at I X Y [BUTTON]: a click at X,Y in the main window (a negative Y counts from its bottom edge).
at() {
    local w y="$3" height
    w="$(window "$1")"
    height="$(DISPLAY="${displays[$1]}" xdotool getwindowgeometry --shell "$w" | sed -n 's/^HEIGHT=//p')"
    [ "$y" -ge 0 ] || y=$((height + y))
    DISPLAY="${displays[$1]}" xdotool windowactivate --sync "$w" mousemove --window "$w" "$2" "$y" click "${4:-1}"
    sleep 1
}
# Popups are windows of their own: moved aside, so that each picture shows the main window as it is.
aside() {
    local w main
    main="$(window "$1")"
    for w in $(DISPLAY="${displays[$1]}" xdotool search --onlyvisible --name 'Vesk$'); do
        [ "$w" = "$main" ] || DISPLAY="${displays[$1]}" xdotool windowmove "$w" 800 60
    done
}
# shot I NAME: the main window of desktop I as the screen shows it (menus inside it included).
shot() {
    sleep 1
    aside "$1"
    sleep 0.5
    local info
    info="$(DISPLAY="${displays[$1]}" xwininfo -id "$(window "$1")")"
    DISPLAY="${displays[$1]}" import -window root -crop "$(sed -n 's/.*Width: *//p' <<<"$info")x$(sed -n \
        's/.*Height: *//p' <<<"$info")+$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")+$(sed -n \
        's/.*Absolute upper-left Y: *//p' <<<"$info")" +repage "$source_dir/docs/$2"
    echo "screenshots: docs/$2"
}
# type I TEXT: typed on desktop I, into whatever has the focus.
type_in() {
    DISPLAY="${displays[$1]}" xdotool type --delay 20 "$2"
    sleep 0.5
}

desktop 1
desktop 2
real_instance 1 Alice
real_instance 2 Bob
rig_instance 3 Cleo
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"
# A talk long enough to scroll, with a link and a mail address in it.
now=$(($(date +%s) * 1000))
rows=""
for n in $(seq 1 30); do
    from="$a" to="$b"
    [ $((n % 3)) -eq 0 ] && from="$b" to="$a"
    rows="$rows('{c$n}', 'Message $n about the photos from Saturday', '$from', '$to', 'sent', $((now - (40 - n) * 60000))),"
done
rows="$rows('{c31}', 'The album is at https://photos.example.org/saturday and the notes go to mailto:ann@example.org', '$a', '$b', 'sent', $((now - 60000)))"
mkdir -p "$(rig_data 1)"
start 1
start 2
rig_start 3
rig_wait_all_on 3 60
rig_sql 1 "insert into vesk_chats values $rows"
if [ -n "${HOLD:-}" ]; then
    echo "screenshots: holding for $HOLD s (displays ${displays[*]})"
    sleep "$HOLD"
    exit 0
fi

# Alice opens the conversation: the newest message is at the bottom; Bob answers and the list follows.
at 1 100 185
at 2 100 185
type_in 2 "Got them, thanks! Can you send the video too?"
x 2 key Return
sleep 2
shot 1 ui-chat-newest.png

# Alice reads back; Bob writes again: the list stays, a button says there is more.
at 1 170 350 4
at 1 170 350 4
at 1 170 350 4
type_in 2 "Also: the slides are at http://intranet.example/talks (and mail me at bob@example.org)"
x 2 key Return
sleep 2
shot 1 ui-chat-new-messages.png
at 1 175 572

# A right click on Bob's link; then a selection copied with Ctrl+C and pasted into the composer.
at 1 120 536 3
shot 1 ui-chat-link-menu.png
x 1 key Escape
DISPLAY="${displays[1]}" xdotool mousemove --window "$(window 1)" 24 444 mousedown 1 \
    mousemove --window "$(window 1)" 90 450 mousemove --window "$(window 1)" 96 462 mouseup 1
x 1 key ctrl+c
at 1 170 626
x 1 key ctrl+v
shot 1 ui-chat-copy.png
x 1 key ctrl+a Delete

# Searching the conversation.
x 1 key ctrl+f
type_in 1 "photos"
x 1 key Return Return
shot 1 ui-chat-search.png
x 1 key Escape
# The search left the list at its match: the button takes the reader back to the newest message.
at 1 175 572

# The paperclip: the files picked go to Bob, and the conversation says so.
head -c 2500000 /dev/urandom >"$(rig_home 1)/holiday-video.mkv"
head -c 300000 /dev/urandom >"$(rig_home 1)/slides.pdf"
at 1 25 628
sleep 2
DISPLAY="${displays[1]}" import -window root "$source_dir/docs/ui-chat-attach-dialog.png"
type_in 1 '"holiday-video.mkv" "slides.pdf"'
DISPLAY="${displays[1]}" xdotool key Return
sleep 2
DISPLAY="${displays[1]}" xdotool mousemove 10 10
shot 1 ui-chat-offered.png
rig_wait_sql 2 "select count(*) from vesk_downloads" 2 30

# Bob leaves: the banner takes its room below the messages, and the last one stays in sight.
x 1 key Escape
type_in 2 "Bye for now"
x 2 key Return
sleep 2
kill -9 "${RIG_PID[2]}"
wait "${RIG_PID[2]}" 2>/dev/null
RIG_PID[2]=""
rig_wait_sql 1 "select status from vesk_peers where id = '$b'" off 40
sleep 2
shot 1 ui-people-count.png
at 1 100 260
shot 1 ui-chat-offline.png
