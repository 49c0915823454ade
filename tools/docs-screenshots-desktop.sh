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
# shellcheck source=lib/desktops.sh
. "$here/lib/desktops.sh"
desktops_init docs-screenshots "$vesk" 2
netns_setup 2 || exit 1
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
    desktops_serve /tmp/vesk-shots.fifo
fi
