#!/usr/bin/env bash
# An office LAN starting together: one real vesk (its real interface, offscreen) against a crowd of light peers,
# each on its own address of the same /24, all announcing as freshly started instances do (11 times, 2 s apart).
#
#   bench/peers_storm.sh [path/to/vesk] [path/to/peercrowd] [counts...]     (default counts: 50 150 250)
#
# For each crowd size, two phases:
#   storm    the crowd starts announcing; time until vesk holds every peer "on" and every peer holds vesk "on"
#            (from the crowd's first announcement), vesk's CPU seconds over the phase (until the announcements
#            are over and the answers settled), and per announcement datagram heard (each peer sends each
#            announcement to 255.255.255.255 and to the subnet's broadcast address).
#   refresh  with everybody on, vesk refreshes its peers (refreshPeers: all "off", eleven announcements again);
#            time until all are "on" at vesk again, and vesk's CPU over the phase.
# Throughout, one of the peers sends vesk a chat every 500 ms; the table gives the confirmation times (p50 and
# max) per phase and how many went unanswered. RSS is vesk's resident memory at the end (and its peak).
# CPU is sampled 24 s after the phase starts (announcements over); "all on" waits up to 60 s and shows how many
# vesk held on at 24 s when not all made it. Needs root and 'ip netns'. Build vesk in Release for figures worth comparing.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-$source_dir/build/vesk}"
crowd_bin="${2:-$(dirname "$vesk")/bench/peercrowd}"
shift 2 2>/dev/null
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(50 150 250)
phase_ms=24000 # eleven announcements 2 s apart, and a few seconds for the last answers

# shellcheck source=../tests/e2e/lib/netns.sh
. "$source_dir/tests/e2e/lib/netns.sh"
# shellcheck source=../tests/e2e/lib/vesk_rig.sh
. "$source_dir/tests/e2e/lib/vesk_rig.sh"

if ! netns_available; then
    echo "peers_storm: needs root and 'ip netns'" >&2
    exit 1
fi
[ -x "$crowd_bin" ] || { echo "peers_storm: no peercrowd at $crowd_bin" >&2; exit 1; }
rig_init "$vesk" "$source_dir" || exit 1
trap 'rig_cleanup; netns_teardown' EXIT
ulimit -n 65536 2>/dev/null || ulimit -n 8192

now_ms() { echo $(($(date +%s%N) / 1000000)); }
ticks=$(getconf CLK_TCK)
cpu_s() { awk -v t="$ticks" '{ printf "%.2f", ($14 + $15) / t }' "/proc/$1/stat"; }
rss_mb() { awk -v k="$2" '$1 == k":" { printf "%.0f", $2 / 1024 }' "/proc/$1/status"; }
online_at_vesk() {
    rig_sql 1 "select count(*) from vesk_peers where status = 'on' and id != '$(rig_node_id 1)'" 2>/dev/null || echo 0
}
# Chat figures for sends in [from, to): "p50 max unanswered/sent".
chat_stats() {
    local sent answered
    sent=$(awk -v from="$2" -v to="$3" '$1 == "sent" && $2 >= from && $2 < to' "$1" | grep -c .)
    awk -v from="$2" -v to="$3" '$1 == "chat" && $2 >= from && $2 < to { print $3 }' "$1" | sort -n |
        awk -v sent="$sent" '{ v[++n] = $1 } END {
            if (n == 0) printf "- - %d/%d", sent, sent
            else printf "%d %d %d/%d", v[int((n + 1) / 2)], v[n], sent - n, sent
        }'
}
# Waits until vesk holds COUNT peers on (up to LIMIT ms after FROM), and at least until FROM + phase_ms, when it
# samples vesk's CPU into phase_cpu and the peers it holds on into phase_online. Sets held_on to the time all were on
# ("never" if not within the limit).
wait_phase() {
    local count="$1" from="$2" limit="$3" now online
    held_on=never
    phase_cpu=""
    while true; do
        now=$(now_ms)
        online=$(online_at_vesk)
        [ "$held_on" = never ] && [ "$online" -ge "$count" ] && held_on=$now
        if [ -z "$phase_cpu" ] && [ "$now" -ge $((from + phase_ms)) ]; then
            phase_cpu=$(cpu_s "$pid")
            phase_online=$online
        fi
        [ -n "$phase_cpu" ] && { [ "$held_on" != never ] || [ "$now" -ge $((from + limit)) ]; } && return
        sleep 0.05
    done
}

rows=()
for n in "${counts[@]}"; do
    [ "$n" -ge 1 ] && [ "$n" -le 250 ] || { echo "peers_storm: crowd size $n is not in 1..250" >&2; exit 1; }
    netns_setup 2 || exit 1
    trap 'rig_cleanup; netns_teardown' EXIT
    # Identities 10.77.0.2 .. 10.77.0.(n+1), all on host 2.
    for a in $(seq 3 $((n + 1))); do
        ip -n "$(netns_name 2)" addr add "$(netns_addr "$a")/24" brd "$(netns_broadcast)" dev eth0
    done
    rig_instance 1 "Office"
    app="$(rig_folder 1)/app/qml"
    rm -rf "$app"
    cp -r "$(dirname "$vesk")/qml" "$app"
    mv "$app/Vesk/desktop/main.qml" "$app/Vesk/desktop/RealMain.qml"
    cp "$here/qml/main.qml" "$app/Vesk/desktop/main.qml"
    rm -f "$(rig_folder 1)/refreshed"
    rig_start 1
    pid="${RIG_PID[1]}"
    deadline=$(($(now_ms) + 30000))
    until [ "$(rig_status_of 1 1 2>/dev/null)" = on ]; do
        [ "$(now_ms)" -lt "$deadline" ] || rig_fail "vesk did not come up"
        sleep 0.05
    done
    sleep 1

    log="$(rig_folder 1)/crowd.log"
    stop="$(rig_folder 1)/crowd.stop"
    cpu0=$(cpu_s "$pid")
    netns_exec 2 "$crowd_bin" --target "$(netns_addr 1)" --first "$(netns_addr 2)" --count "$n" \
        --avatar "$(rig_sample_avatar 2)" --duration 600 --chat-ms 500 --stop-file "$stop" \
        --broadcast "$(netns_broadcast)" >"$log" 2>"$log.err" &
    crowd_pid=$!
    until grep -q '^start ' "$log" 2>/dev/null; do sleep 0.01; done
    t0=$(awk '$1 == "start" { print $2 }' "$log")
    wait_phase "$n" "$t0" 60000
    vesk_on=$held_on
    cpu1=$phase_cpu
    storm_online=$phase_online
    crowd_on=$(awk '$1 == "on" { if ($3 > m) m = $3; c++ } END { if (c) print m " " c; else print "never 0" }' "$log")
    crowd_count=${crowd_on#* }
    crowd_last=${crowd_on% *}
    storm_on="never"
    if [ "$vesk_on" != never ] && [ "$crowd_count" -ge "$n" ]; then
        last=$vesk_on
        [ "$crowd_last" -gt "$last" ] && last=$crowd_last
        storm_on=$(awk -v d=$((last - t0)) 'BEGIN { printf "%.2f s", d / 1000 }')
    else
        storm_on="$storm_online/$n"
    fi
    storm_cpu=$(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN { printf "%.2f", b - a }')
    per_ann=$(awk -v c="$storm_cpu" -v n="$n" 'BEGIN { printf "%.2f", c * 1000 / (n * 22) }')
    load_storm=$(cut -d' ' -f1 /proc/loadavg)

    # Refresh with everybody on.
    echo "1 refreshPeers" >>"$(rig_folder 1)/commands"
    until [ -s "$(rig_folder 1)/refreshed" ]; do sleep 0.02; done
    tr=$(tr -d '[:space:]' <"$(rig_folder 1)/refreshed")
    wait_phase "$n" "$tr" 60000
    refresh_on=$held_on
    cpu2=$phase_cpu
    rss=$(rss_mb "$pid" VmRSS)
    hwm=$(rss_mb "$pid" VmHWM)
    tend=$(now_ms)
    touch "$stop"
    wait "$crowd_pid"
    if [ "$refresh_on" = never ]; then refresh_on="$phase_online/$n"; else
        refresh_on=$(awk -v d=$((refresh_on - tr)) 'BEGIN { printf "%.2f s", d / 1000 }'); fi
    refresh_cpu=$(awk -v a="$cpu1" -v b="$cpu2" 'BEGIN { printf "%.2f", b - a }')
    read -r s50 smax slost <<<"$(chat_stats "$log" "$t0" "$tr")"
    read -r r50 rmax rlost <<<"$(chat_stats "$log" "$tr" "$tend")"
    load_end=$(cut -d' ' -f1 /proc/loadavg)
    rows+=("$(printf '%5d | %8s | %6s s | %6s | %6s ms %6s ms %7s | %8s | %6s s | %6s ms %6s ms %7s | %4s/%4s MB | %s/%s' \
        "$n" "$storm_on" "$storm_cpu" "$per_ann" "$s50" "$smax" "$slost" "$refresh_on" "$refresh_cpu" "$r50" "$rmax" \
        "$rlost" "$rss" "$hwm" "$load_storm" "$load_end")")
    echo "peers_storm: $n peers done: ${rows[-1]}"
    rig_stop 1
    netns_teardown
done

echo
echo "vesk = $vesk"
echo "storm: from the crowd's first announcement; refresh: refreshPeers with all on. CPU/ann = vesk CPU ms per"
echo "announcement datagram heard (n x 11 x 2). Chats: one every 500 ms, confirmation time p50 / max, unanswered/sent."
echo "peers | all on     | CPU      | ms/ann | chat p50  max      lost    | refresh on | CPU      | chat p50  max      lost    | RSS/peak    | load"
for r in "${rows[@]}"; do echo "$r"; done
