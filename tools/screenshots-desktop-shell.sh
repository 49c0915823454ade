#!/usr/bin/env bash
# Screenshots of the desktop shell for docs/, from a real run on two desktops (Xvfb, openbox, a tint2 panel with a
# tray): the tray icon with its menu, the question asked on closing, the profile dialog, the settings menu with the
# downloads folder and notices, and a notice through the desktop's notification service (xfce4-notifyd, installed
# here when missing: it is only for the picture, not a dependency of Vesk) with its Reply button.
# Writes docs/ui-tray-menu.png, ui-close-question.png, ui-profile.png, ui-settings.png, ui-desktop-notice.png.
#
#   tools/screenshots-desktop-shell.sh VESK   (needs root, ip netns, sqlite3, Xvfb, openbox, tint2, xdotool, import)
#
# With HOLD=SECONDS the run stops after start-up for that long (displays :4N, N the instance).
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-}"
notifyd=/usr/lib/x86_64-linux-gnu/xfce4/notifyd/xfce4-notifyd
if [ ! -x "$notifyd" ]; then
    apt-get install -y -qq --no-install-recommends xfce4-notifyd >/dev/null || { echo "needs xfce4-notifyd" >&2; exit 1; }
fi
# shellcheck source=lib/desktops.sh
. "$here/lib/desktops.sh"
desktops_init screenshots "$vesk" 4
netns_setup 2 || exit 1
# shot I FILE [GEOMETRY]: the screen of desktop I, cropped to GEOMETRY (WxH+X+Y) when given.
shot() {
    sleep 1
    DISPLAY="${displays[$1]}" import -window root ${3:+-crop "$3"} +repage "$source_dir/docs/$2"
    echo "screenshots: docs/$2"
}
x() { DISPLAY="${displays[$1]}" xdotool "${@:2}"; sleep 1; }

desktop 1
desktop 2
real_instance 1 Alice
real_instance 2 Bob
# The built-in person picture rather than the rig's sample ones (file-type icons).
rm -f "$(rig_data 1)/myavatar.png" "$(rig_data 2)/myavatar.png"
# Each desktop has a session bus of its own on a socket file (the instances run in other network namespaces,
# where abstract sockets of this one are not seen); desktop 2 runs a notification service on it.
for i in 1 2; do
    bus[$i]="unix:path=$RIG_DIR/bus$i"
    dbus-daemon --session --fork --address="${bus[$i]}" --print-pid=1 >"$RIG_DIR/bus$i.pid" || exit 1
    desktop_pids+=("$(cat "$RIG_DIR/bus$i.pid")")
done
DISPLAY="${displays[2]}" DBUS_SESSION_BUS_ADDRESS="${bus[2]}" "$notifyd" >/dev/null 2>&1 &
desktop_pids+=($!)
sleep 1
for i in 1 2; do
    RIG_ENV=(QT_QPA_PLATFORM=xcb "DISPLAY=${displays[$i]}" LANG=en_US.UTF-8 "DBUS_SESSION_BUS_ADDRESS=${bus[$i]}")
    rig_start "$i"
done
RIG_ENV=()
rig_wait_all_on 2 60
sleep 2
if [ -n "${HOLD:-}" ]; then
    echo "screenshots: holding for $HOLD s (displays ${displays[*]})"
    sleep "$HOLD"
    exit 0
fi

# Where things are on these screens (1100x760; the main window at the same place on both).
tray="945 744" menu="700 68" edit_profile="486 110" first_person="455 216" send_tab="550 123"

# The tray icon's menu.
x 1 mousemove $tray click 3
shot 1 ui-tray-menu.png 520x300+580+460
x 1 key Escape

# The settings: where received files go, and whether notices show.
x 1 mousemove $menu click 1
shot 1 ui-settings.png 372x690+364+12
x 1 key Escape

# Edit profile starts with the name and picture.
x 1 mousemove $menu click 1
x 1 mousemove $edit_profile click 1
sleep 1
shot 1 ui-profile.png 660x410+220+132
x 1 key Escape

# Closing the window asks once, in verbs; "Keep running in the tray" is the answer Escape gives.
x 1 windowactivate --sync "$(window 1)" key alt+F4
shot 1 ui-close-question.png 520x170+290+250
x 1 key Escape
x 1 mousemove $tray click 1

# Alice writes to Bob, who is looking at another tab: the notice comes from the desktop's notification service.
x 2 mousemove $send_tab click 1
x 1 mousemove $first_person click 1
DISPLAY="${displays[1]}" xdotool type --delay 20 "Lunch at 12:30? The slides are ready too."
x 1 key Return
sleep 2
x 2 mousemove 10 400
shot 2 ui-desktop-notice.png 730x300+370+0
