#!/usr/bin/env bash
# Screenshots of other networks from a real run: Alice and Bob on two subnets joined by a router, Alice with the
# real interface on an X display of its own (Xvfb, openbox, tint2), driven by the keyboard (xdotool). Alice adds
# Bob's subnet under "Other networks…", lists Bob, and adds him by address. Writes docs/ui-other-networks.png,
# docs/ui-peer-other-subnet.png and docs/ui-add-computer.png.
#
#   tools/screenshots-other-networks.sh VESK      (needs root, ip netns, sqlite3, Xvfb, openbox, tint2, xdotool, import)
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-}"
# shellcheck source=lib/desktops.sh
. "$here/lib/desktops.sh"
desktops_init screenshots "$vesk" "3${DISPLAY_NUMBER:-7}"
netns_two_subnets 1 1 || exit 1

desktop 1
display="${displays[1]}"
real_instance 1 Alice
rig_instance 2 "Bob (2nd floor)"
start 1
rig_start 2

keys() { DISPLAY="$display" xdotool windowactivate --sync "$(window 1)" key --clearmodifiers "$@"; sleep 1; }
type_text() { DISPLAY="$display" xdotool type --delay 20 "$1"; sleep 1; }
# click_at X Y: a mouse click at a point of the screen (the window is placed the same way at every run).
click_at() {
    DISPLAY="$display" xdotool mousemove "$1" "$2" sleep 1 mousemove "$1" $(($2 + 2)) sleep 0.5 click 1
    sleep 1
}
shot() {
    sleep 1
    DISPLAY="$display" import -window root "$source_dir/docs/$1"
    echo "screenshots: docs/$1"
}

sleep 6
# The menu (F10), down to "Other networks…".
keys F10
click_at 502 231
type_text "$NETNS_SUBNET_B.0/24, 192.168.7.20, printer-room.office.lan"
keys Tab Tab space
# The name is looked up in the background; its answer (nobody of that name here) shows under the list.
sleep 15
shot ui-other-networks.png
keys Escape
rig_wait_all_on 2 40
sleep 3
shot ui-peer-other-subnet.png
# Adding Bob by his address answers at once: he is online there.
keys F10
click_at 502 191
type_text "$(netns_addr 2)"
keys Return
sleep 2
shot ui-add-computer.png
