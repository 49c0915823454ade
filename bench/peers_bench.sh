#!/usr/bin/env bash
# How fast real vesk instances on one bridge find each other and chat.
#
#   bench/peers_bench.sh [path/to/vesk] [runs] [messages] [hosts]
#
# 1. Pair: time from the start of the second instance until both hold each other "on" (median of `runs`), next
#    to the time that same instance needs to hold its own row "on" (start-up and the handshake with itself over
#    the loopback: the floor of any handshake with a peer).
# 2. Chat round trip: `messages` messages one after the other, each timed from sendChat until the author's row
#    reads "sent" (measured inside the instance by its scripted interface, millisecond resolution).
# 3. Crowd: `hosts` instances started together; time until every one holds every other one "on".
# Needs root and 'ip netns' (uses the end-to-end rig); the instances' times include their own start-up.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-$source_dir/build/vesk}"
runs="${2:-5}"
messages="${3:-1000}"
hosts="${4:-12}"

# shellcheck source=../tests/e2e/lib/netns.sh
. "$source_dir/tests/e2e/lib/netns.sh"
# shellcheck source=../tests/e2e/lib/vesk_rig.sh
. "$source_dir/tests/e2e/lib/vesk_rig.sh"
RIG_EXTRA_QML="$source_dir/bench/qml/chat_verbs.qml"

if ! netns_available; then
    echo "peers_bench: needs root and 'ip netns'" >&2
    exit 1
fi
rig_init "$vesk" "$source_dir" || exit 1
trap 'rig_cleanup; netns_teardown' EXIT

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# percentile P: the P-th percentile (nearest rank) of the numbers on standard input.
percentile() { sort -n | awk -v p="$1" '{ v[NR] = $1 } END { r = int((NR * p + 99) / 100); if (r < 1) r = 1; print v[r] }'; }
mean() { awk '{ s += $1 } END { if (NR) printf "%.2f", s / NR }'; }
# Whether instance I holds instance J "on". Never touches a database the instance has not created yet.
peer_on() { [ -s "$(rig_db "$1")" ] && [ "$(rig_status_of "$1" "$2" 2>/dev/null)" = on ]; }

# Waits until the instance's own row is "on": it is up, listening, and its dispatch works.
wait_self_on() {
    local i="$1" n=0
    until peer_on "$i" "$i"; do
        n=$((n + 1))
        [ "$n" -lt 600 ] || rig_fail "instance $i never came up"
        sleep 0.02
    done
}

echo "peers_bench: vesk = $vesk"

# --- 1. pair --------------------------------------------------------------------------------------------------
netns_setup 2 || exit 1
trap 'rig_cleanup; netns_teardown' EXIT
pair_times=()
self_times=()
for run in $(seq 1 "$runs"); do
    rig_instance 1 Alice
    rig_instance 2 Bob
    rig_start 1
    wait_self_on 1
    t0=$(now_ms)
    rig_start 2
    self=""
    until peer_on 1 2 && peer_on 2 1; do
        [ -z "$self" ] && peer_on 2 2 && self=$(($(now_ms) - t0))
        [ $(($(now_ms) - t0)) -lt 30000 ] || rig_fail "run $run: the pair did not meet within 30 s"
    done
    elapsed=$(($(now_ms) - t0))
    [ -z "$self" ] && self=$elapsed
    pair_times+=("$elapsed")
    self_times+=("$self")
    echo "  run $run: both on after $elapsed ms (instance 2 held itself on after $self ms)"
    rig_stop 2
    rig_stop 1
done
pair_median=$(printf '%s\n' "${pair_times[@]}" | percentile 50)
self_median=$(printf '%s\n' "${self_times[@]}" | percentile 50)
echo "pair: both \"on\" after the second start, median of $runs: $pair_median ms (goal < 1000 ms);" \
    "baseline (second instance holds itself on): $self_median ms"

# --- 2. chat round trip ----------------------------------------------------------------------------------------
rig_instance 1 Alice
rig_instance 2 Bob
rig_start 1
rig_start 2
rig_wait_all_on 2
results="$(rig_folder 1)/results"
rm -f "$results"
rig_cmd 1 chatBench "$(rig_node_id 2)" "$messages"
deadline=$(($(now_ms) + 300000))
until [ -f "$results" ] && [ "$(grep -c . "$results")" -ge "$messages" ]; do
    [ "$(now_ms)" -lt "$deadline" ] || rig_fail "the chat benchmark did not finish"
    sleep 0.2
done
sent=$(rig_sql 1 "select count(*) from vesk_chats where status = 'sent'")
stored=$(rig_sql 2 "select count(*) from vesk_chats")
echo "chat round trip (sendChat to \"sent\") over $messages messages: p50 $(percentile 50 <"$results") ms," \
    "p99 $(percentile 99 <"$results") ms, mean $(mean <"$results") ms, max $(percentile 100 <"$results") ms" \
    "(goal p50 < 5 ms); rows sent $sent, stored at the peer $stored"
rig_stop 1
rig_stop 2
netns_teardown

# --- 3. crowd ---------------------------------------------------------------------------------------------------
netns_setup "$hosts" || exit 1
trap 'rig_cleanup; netns_teardown' EXIT
for i in $(seq 1 "$hosts"); do
    rig_instance "$i" "Host $i"
done
t0=$(now_ms)
for i in $(seq 1 "$hosts"); do
    rig_start "$i"
done
pending=$(seq 1 "$hosts")
booting=$pending
all_up=""
while [ -n "$pending" ]; do
    still=""
    for i in $pending; do
        count=0
        [ -s "$(rig_db "$i")" ] && count=$(rig_sql "$i" "select count(*) from vesk_peers where status = 'on' and \
            id != '$(rig_node_id "$i")'" 2>/dev/null)
        [ "${count:-0}" -ge $((hosts - 1)) ] || still="$still $i"
    done
    pending="$still"
    if [ -z "$all_up" ]; then
        still=""
        for i in $booting; do
            peer_on "$i" "$i" || still="$still $i"
        done
        booting="$still"
        [ -z "$booting" ] && all_up=$(($(now_ms) - t0))
    fi
    [ $(($(now_ms) - t0)) -lt 120000 ] || rig_fail "the crowd did not meet within 120 s (waiting for:$pending)"
done
crowd=$(($(now_ms) - t0))
[ -z "$all_up" ] && all_up=$crowd
echo "crowd: $hosts instances started together, all hold all others \"on\" after $crowd ms (goal < 5000 ms);" \
    "baseline (all $hosts up and holding themselves on): $all_up ms"
rig_stop_all
