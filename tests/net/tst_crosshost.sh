#!/usr/bin/env bash
# Three nodes on a bridge LAN of network namespaces find each other by broadcast and exchange one message each
# way over TCP. Usage: tst_crosshost.sh path/to/netpeer
set -u
netpeer="$1"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=../e2e/lib/netns.sh
. "$here/../e2e/lib/netns.sh"
netns_skip_unless_available

out="$(mktemp -d)"
cleanup() {
    netns_teardown
    rm -rf "$out"
}
netns_setup 3 || exit 1
trap cleanup EXIT

seconds=5
pids=""
for i in 1 2 3; do
    netns_exec "$i" "$netpeer" "node$i" "alias$i" "$seconds" >"$out/$i.log" 2>&1 &
    pids="$pids $!"
done
# shellcheck disable=SC2086
wait $pids

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

for i in 1 2 3; do
    log="$out/$i.log"
    echo "--- node$i"
    cat "$log"
    grep -q "discovered node$i " "$log" && fail "node$i reported its own announcement"
    for j in 1 2 3; do
        [ "$i" = "$j" ] && continue
        address="$(netns_addr "$j")"
        grep -qx "discovered node$j $address Linux alias$j" "$log" || fail "node$i did not discover node$j at $address"
        grep -qx "received addMeRequest node$j $address" "$log" || fail "node$i got no message from node$j"
        # Announcements go to 255.255.255.255 and to the LAN's broadcast address every 2 s; the copies of one
        # announcement are reported once.
        count="$(grep -c "discovered node$j " "$log")"
        [ "$count" -le $((seconds / 2 + 1)) ] || fail "node$i reported node$j $count times in $seconds s"
    done
done

[ "$failures" -eq 0 ] && echo "PASS: three nodes discovered each other and exchanged messages"
exit "$failures"
