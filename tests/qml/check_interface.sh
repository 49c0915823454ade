#!/usr/bin/env bash
# check_interface.sh path/to/vesk [seconds]: the real program with this tree's qml/ copied beside it, offscreen, in
# a temporary home (and, as root, a network of its own), started once to make its database, given rows for every
# list in the tables it made, started again; fails on any QML warning in either run.
set -euo pipefail
vesk="${1:?usage: check_interface.sh path/to/vesk [seconds]}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/../support/qml_warnings.sh"
fail() { echo "FAIL: $*"; exit 1; }
for tool in sqlite3 timeout; do command -v "$tool" >/dev/null || fail "$tool is needed and not installed"; done

scratch="$(mktemp -d /tmp/vesk-qmlcheck.XXXXXX)" home="$scratch/home"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/bin" "$home/.config/Tavimor"
cp "$vesk" "$scratch/bin/vesk" && cp -r "$here/../../qml" "$scratch/bin/qml"
host='{00000000-0000-4000-8000-00000000c4ec}'
printf '[General]\nuserAlias=Check\nrunOnStartup=false\nmachineId=%s\n' "$host" >"$home/.config/Tavimor/Vesk.conf"
run=(env -u XDG_RUNTIME_DIR VESK_LOG_TO_STDERR=1 QT_QPA_PLATFORM=offscreen HOME="$home"
     XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache")
[ "$(id -u)" -ne 0 ] || run=(unshare -n "${run[@]}")

check_run() { # seconds log: the program keeps running, loads its interface and warns about nothing
    local status=0
    "${run[@]}" timeout -s TERM "$1" "$scratch/bin/vesk" >"$2" 2>&1 || status=$?
    cat "$2"
    [ "$status" -eq 124 ] || fail "vesk exited with status $status before the check ended" # 124: timeout ended it
    grep -q "Vesk interface loaded" "$2" || fail "the interface did not finish loading"
    qml_warnings "$2" >"$scratch/problems" || fail "QML warnings or errors:$(printf '\n'; cat "$scratch/problems")"
}

check_run 15 "$scratch/empty.txt"
# Named columns: a table or column the program no longer makes stops the check instead of testing empty lists.
now="$(date +%s)000" db="$home/.local/share/Tavimor/Vesk/VeskData/vesk.data"
sqlite3 -bail "$db" <<SQL || fail "the program's tables no longer take these rows"
insert into vesk_peers (id, alias, avatarPath, ipAddress, status, unreadMessagesCount, sysinfo, timestamp, blocked)
  values ('{b}', 'Bob <b>x</b>', '', '10.0.0.2', 'off', '3', 'Linux', $now, 'no'),
         ('{c}', '', '/nonexistent/c.png', '10.0.0.3', 'off', '1', '', $now, 'yes');
insert into vesk_chats (id, message, peerfrom, peerto, status, timesent)
  values ('c1', 'hello <i>you</i>', '{b}', '$host', 'unknown', '$now'), ('c2', 'hi', '$host', '{b}', 'sent', '$now');
insert into vesk_uploads (id, url, nodeto, filename, filesize, bytesSent, timesent, status)
  values ('u1', '/a', '{b}', 'a.pdf', 1200000, 0, $now, 'unknown'), ('u2', '/b', '{c}', 'b', 5e6, 1e6, $now, 'sent');
insert into vesk_downloads (id, status, nodefrom, filename, filesize, downloadsize, timestamp)
  values ('d1', 'unknown', '{b}', 'a.mp3', '4000000', '0', $now), ('d2', 'queued', '{b}', 'b.mkv', 9000000, 0, $now),
         ('d3', 'downloaded', '{c}', 'c.txt', 1200, 1200, $now);
SQL
check_run "${2:-15}" "$scratch/rows.txt"
