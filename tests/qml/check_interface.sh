#!/usr/bin/env bash
# Starts the real program with the interface of this source tree for a few seconds, offscreen, with a database
# that has something in every list, and fails on any QML warning or error in its output. Used by ctest and by
# the end-to-end rig:  check_interface.sh path/to/vesk [seconds]
#
# The program loads qml/Vesk/desktop/main.qml beside its executable, so the binary is copied into a scratch
# folder next to a fresh copy of the interface. When run as root, the program gets a network namespace of its
# own, so it neither meets the ports of other tests nor real peers.
set -u

vesk="${1:?usage: check_interface.sh path/to/vesk [seconds]}"
seconds="${2:-6}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_qml="$(cd "$here/../../qml" && pwd)"

scratch="$(mktemp -d /tmp/vesk-qmlcheck.XXXXXX)"
netns=""
cleanup() {
    [ -n "$netns" ] && ip netns del "$netns" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

mkdir -p "$scratch/bin" "$scratch/home/.config/Tavimor"
cp "$vesk" "$scratch/bin/vesk"
cp -r "$source_qml" "$scratch/bin/qml"
printf '[General]\nuserAlias=Check\nrunOnStartup=false\nmachineId={00000000-0000-4000-8000-00000000c4ec}\n' \
    > "$scratch/home/.config/Tavimor/Vesk.conf"

# Rows for every list, made the way the program would have stored them (text columns hold text).
data="$scratch/home/.local/share/Tavimor/Vesk/VeskData"
mkdir -p "$data"
if command -v sqlite3 >/dev/null 2>&1; then
    now="$(date +%s)000"
    sqlite3 "$data/vesk.data" <<SQL
create table vesk_uploads ( id text, url text, nodeto text , filename text, filesize int, bytesSent int, timesent int, status text, UNIQUE(id));
create table vesk_downloads ( id text, status text, nodefrom text, filename text, filesize int, downloadsize int, timestamp int, UNIQUE(id));
create table vesk_peers ( id text, alias text , avatarPath text, ipAddress text, status text, unreadMessagesCount text, sysinfo text, timestamp int, blocked text, UNIQUE(id));
create table vesk_chats ( id text, message text , peerfrom text, peerto text, status text, timesent text, UNIQUE(id));
insert into vesk_peers values ('{peer-b}', 'Bob <b>bold</b>', 'qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png', '10.0.0.2', 'off', '3', 'Linux', $now, 'no');
insert into vesk_peers values ('{peer-c}', '', '/nonexistent/avatar_c.png', '10.0.0.3', 'off', '1', '', $now, 'yes');
insert into vesk_chats values ('{c1}', 'hello <i>there</i>', '{peer-b}', '{00000000-0000-4000-8000-00000000c4ec}', 'unknown', '$now');
insert into vesk_uploads values ('u1', '/tmp/none.pdf', '{peer-b}', 'report.pdf', 1200000, 0, $now, 'unknown');
insert into vesk_uploads values ('u2', '/tmp/none.zip', '{peer-c}', 'photos.zip', '5000000', '1000000', $now, 'sent');
insert into vesk_downloads values ('d1', 'unknown', '{peer-b}', 'song.mp3', '4000000', '0', $now);
insert into vesk_downloads values ('d2', 'queued', '{peer-b}', 'film.mkv', 900000000, 0, $now);
insert into vesk_downloads values ('d3', 'downloaded', '{peer-c}', 'notes.txt', 1200, 1200, $now);
SQL
else
    echo "note: sqlite3 not found, checking with empty lists"
fi

run=(env -u XDG_RUNTIME_DIR VESK_LOG_TO_STDERR=1 QT_QPA_PLATFORM=offscreen HOME="$scratch/home"
     XDG_CONFIG_HOME="$scratch/home/.config" XDG_DATA_HOME="$scratch/home/.local/share"
     XDG_CACHE_HOME="$scratch/home/.cache" timeout -s TERM "$seconds" "$scratch/bin/vesk")
if [ "$(id -u)" -eq 0 ] && ip netns add "vkqml$$" 2>/dev/null; then
    netns="vkqml$$"
    ip -n "$netns" link set lo up
    run=(ip netns exec "$netns" "${run[@]}")
fi

"${run[@]}" > "$scratch/output.txt" 2>&1
status=$?

cat "$scratch/output.txt"
# timeout ends a healthy run with 124; anything else means the program stopped by itself.
if [ "$status" -ne 124 ]; then
    echo "FAIL: vesk exited with status $status before the check ended"
    exit 1
fi
if ! grep -q "Vesk interface loaded" "$scratch/output.txt"; then
    echo "FAIL: the interface did not finish loading"
    exit 1
fi
pattern='\.qml(:[0-9]+)?|\.js(:[0-9]+)?:|QML |qml:|ReferenceError|TypeError|SyntaxError|Binding loop|is not a type|is not installed|Cannot assign|Unable to assign|Cannot open|Cannot read property|Unable to '
if grep -E "$pattern" "$scratch/output.txt" | grep -v "Vesk interface loaded" > "$scratch/problems.txt"; then
    echo "FAIL: QML warnings or errors:"
    cat "$scratch/problems.txt"
    exit 1
fi
echo "PASS: the interface loaded without QML warnings"
