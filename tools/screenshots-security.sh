#!/usr/bin/env bash
# Screenshots of sealed peers from a real run: Alice and Bob with the real interface on desktops of their own, Cleo
# running as a program from before sealing (VESK_PLAIN_PEER). Writes docs/ui-security-*.png: the list with its
# locks, the plain peer's tooltip, the security code on both screens, and the key-changed banner after Bob starts
# again without his identity key (as after a reinstall).
#
#   tools/screenshots-security.sh VESK  (needs root, ip netns, sqlite3, Xvfb, openbox, tint2, xdotool, import)
#
# With HOLD=SECONDS the run stops after start-up for that long, so the windows can be driven by hand (displays
# :6N, N the instance) to find where things are.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-}"
# shellcheck source=lib/desktops.sh
. "$here/lib/desktops.sh"
desktops_init screenshots "$vesk" 6
netns_setup 3 || exit 1
# at I X Y [BUTTON]: a click at X,Y in the main window.
at() {
    DISPLAY="${displays[$1]}" xdotool windowactivate --sync "$(window "$1")" mousemove --window "$(window "$1")" \
        "$2" "$3" click "${4:-1}"
    sleep 1
}
# hover I X Y: the pointer rests at X,Y in the main window, long enough for a tooltip.
hover() {
    DISPLAY="${displays[$1]}" xdotool mousemove --window "$(window "$1")" "$2" "$3"
    sleep 2
}
# shot I NAME: the main window of desktop I as the screen shows it (dialogs and tooltips inside it included).
shot() {
    sleep 1
    local info
    info="$(DISPLAY="${displays[$1]}" xwininfo -id "$(window "$1")")"
    DISPLAY="${displays[$1]}" import -window root -crop "$(sed -n 's/.*Width: *//p' <<<"$info")x$(sed -n \
        's/.*Height: *//p' <<<"$info")+$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$info")+$(sed -n \
        's/.*Absolute upper-left Y: *//p' <<<"$info")" +repage "$source_dir/docs/$2"
    echo "screenshots: docs/$2"
}
# row I NODE: the middle of the row of NODE in the list of desktop I (rows of 64 pixels from 188), in the list's
# own order.
row() {
    local ids
    ids="$(rig_sql "$1" "select id from vesk_peers where (status = 'on' or unreadMessagesCount > 0 or exists (select 1
        from vesk_chats where peerfrom = vesk_peers.id or peerto = vesk_peers.id)) and not(id = '$(rig_node_id "$1")')
        order by status desc, unreadMessagesCount desc, timestamp desc, alias asc")"
    echo $((188 + 64 * ($(grep -n -F -- "$2" <<<"$ids" | cut -d: -f1) - 1)))
}
# restart I: ends instance I and starts it again on its desktop (its data folder as it is then).
restart() {
    kill "${RIG_PID[$1]}"
    wait "${RIG_PID[$1]}" 2>/dev/null
    RIG_PID[$1]=""
    start "$1"
}

desktop 1
desktop 2
real_instance 1 Alice
real_instance 2 Bob
rig_instance 3 Cleo
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"
start 1
start 2
RIG_ENV=(VESK_PLAIN_PEER=1)
rig_start 3
RIG_ENV=()
rig_wait_all_on 3 60
# Both sides have pinned each other's key once the list shows the lock.
rig_wait_sql 1 "select length(identityKey) > 0 from vesk_peers where id = '$b'" 1 30
rig_wait_sql 2 "select length(identityKey) > 0 from vesk_peers where id = '$a'" 1 30
sleep 2
if [ -n "${HOLD:-}" ]; then
    echo "screenshots: holding for $HOLD s (displays ${displays[*]})"
    sleep "$HOLD"
    exit 0
fi

# The list: Bob sealed, Cleo's program too old for it; her open lock says so when the pointer rests on it.
DISPLAY="${displays[1]}" xdotool mousemove 10 10
shot 1 ui-security-list.png
hover 1 110 "$(($(row 1 "$(rig_node_id 3)") - 8))"
shot 1 ui-security-plain.png

# The code, from each one's menu: the same two lines of digits on both screens.
for i in 1 2; do
    y="$(row "$i" "$([ "$i" = 1 ] && echo "$b" || echo "$a")")"
    at "$i" 330 "$y"
    at "$i" 200 $((y + 83))
done
shot 1 ui-security-code-alice.png
shot 2 ui-security-code-bob.png
convert "$source_dir/docs/ui-security-code-alice.png" \( "$source_dir/docs/ui-security-code-bob.png" -background '#5B6676' \
    -splice 8x0 \) +append "$source_dir/docs/ui-security-code.png"
rm "$source_dir/docs/ui-security-code-alice.png" "$source_dir/docs/ui-security-code-bob.png"
echo "screenshots: docs/ui-security-code.png (Alice's screen, then Bob's)"
at 1 234 446
shot 1 ui-security-verified.png
DISPLAY="${displays[1]}" xdotool key Escape
DISPLAY="${displays[2]}" xdotool key Escape
sleep 1

# Bob's program starts again without its key, as after a reinstall: Alice sees his key changed, above the
# conversation they had.
now=$(($(date +%s) * 1000))
rig_sql 1 "insert into vesk_chats values ('{s1}', 'Are the slides for Monday ready?', '$a', '$b', 'sent', $((now - 600000))),
    ('{s2}', 'Almost, I will send them tonight', '$b', '$a', 'sent', $((now - 540000))),
    ('{s3}', 'Great, thanks!', '$a', '$b', 'sent', $((now - 480000)))"
rm -f "$(rig_data 2)/identity.key"
restart 2
rig_wait_sql 1 "select length(pendingKey) > 0 from vesk_peers where id = '$b'" 1 40
sleep 2
at 1 100 "$(row 1 "$b")"
DISPLAY="${displays[1]}" xdotool mousemove 10 10
shot 1 ui-security-keychanged.png
at 1 120 282
shot 1 ui-security-accept.png
# Accepted: the new key is Bob's from now on, and the two agree keys again by themselves.
at 1 232 512
rig_wait_sql 1 "select coalesce(pendingKey, '') from vesk_peers where id = '$b'" "" 20
echo "screenshots: the new key was accepted"
