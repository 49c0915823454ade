#!/usr/bin/env bash
# Announcement traffic of one round with a /22 among the other networks, beside the same round with the list
# empty (the baseline), captured with tcpdump on the announcing host's link: datagrams and bytes per 2-second tick,
# per round, and the busiest 100 ms.
#
#   bench/othernetworks_traffic.sh path/to/vesk
set -u
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:?usage: $0 path/to/vesk}"
range="${OTHER_NETWORK:-10.78.0.0/22}"

. "$source_dir/tests/e2e/lib/netns.sh"
. "$source_dir/tests/e2e/lib/vesk_rig.sh"
netns_skip_unless_available
command -v tcpdump >/dev/null || { echo "tcpdump is needed" >&2 && exit 1; }

rig_init "$vesk" "$source_dir" || exit 1
netns_two_subnets 1 1 || exit 1
trap 'rig_cleanup; netns_teardown' EXIT

# measure LIST: one instance started with LIST as its other networks; prints "datagrams bytes max-per-tick
# max-per-100ms ticks" for the first 24 seconds.
measure() {
    local capture pid
    rig_instance 1 Measured
    [ -z "$1" ] || printf 'otherNetworks=%s\n' "$1" >>"$(rig_conf 1)"
    capture="$(rig_folder 1)/capture.txt"
    netns_exec 1 tcpdump -i eth0 -n -tt -l 'udp dst port 45000 and src host '"$(netns_addr 1)" >"$capture" 2>/dev/null &
    pid=$!
    sleep 1
    rig_start 1
    sleep 24
    rig_stop 1
    kill "$pid"
    wait "$pid" 2>/dev/null
    # "1700000000.123456 IP 10.77.0.1.45000 > 10.78.0.5.45000: UDP, length 55": on the wire each is the payload
    # and 42 bytes of Ethernet, IP and UDP headers.
    awk '/UDP, length/ {
            t = $1; if (!start) start = t; n++; b += $NF + 42
            tick[int((t - start) / 2)]++; step[int((t - start) * 10)]++
         }
         END { for (k in tick) if (tick[k] > mt) mt = tick[k]; for (k in step) if (step[k] > ms) ms = step[k]
               printf "%d %d %d %d %d\n", n, b, mt, ms, length(tick) }' "$capture"
}

read -r bn bb bt bs bk <<<"$(measure "")"
read -r n b t s k <<<"$(measure "$range")"
echo "announcement traffic of one round (11 announcements, 2 s apart), on the announcing host's link"
printf '%-28s %10s %10s %14s %14s\n' "" datagrams bytes "max per tick" "max per 100ms"
printf '%-28s %10d %10d %14d %14d\n' "baseline (list empty)" "$bn" "$bb" "$bt" "$bs"
printf '%-28s %10d %10d %14d %14d\n' "other networks: $range" "$n" "$b" "$t" "$s"
awk -v n="$n" -v bn="$bn" -v b="$b" -v k="$k" 'BEGIN {
    printf "ratio to baseline: %.1fx datagrams; per tick on average %.0f datagrams, %.0f bytes (%d ticks)\n",
           n / bn, n / k, b / k, k }'
