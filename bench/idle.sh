#!/usr/bin/env bash
# Idle cost of a running vesk with two online peers: CPU seconds, wake-ups (context switches) and memory over a
# measuring window (default 300 s; IDLE_SECONDS to change). The measured instance runs the real interface.
#
#   bench/idle.sh path/to/vesk
set -u
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:?usage: $0 path/to/vesk}"
seconds="${IDLE_SECONDS:-300}"

. "$source_dir/tests/e2e/lib/netns.sh"
. "$source_dir/tests/e2e/lib/vesk_rig.sh"
netns_skip_unless_available

rig_init "$vesk" "$source_dir" || exit 1
netns_setup 3 || exit 1
trap 'rig_cleanup; netns_teardown' EXIT

for i in 1 2 3; do rig_instance "$i" "Idle$i"; done
# Instance 1 is measured with the real interface instead of the scripted one.
rm -rf "$(rig_folder 1)/app/qml"
cp -r "$source_dir/qml" "$(rig_folder 1)/app/qml"
for i in 1 2 3; do rig_start "$i"; done
rig_wait_all_on 3 60 || exit 1
pid="${RIG_PID[1]}"
sleep 30 # let the announcement bursts of the handshake end before measuring

ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$pid/status"; }
hwm_kb() { awk '/^VmHWM/ {print $2}' "/proc/$pid/status"; }

# Wake-ups are counted per thread (voluntary and involuntary context switches), sampled every second so that a
# thread which ends inside the window still counts with what it did; one that starts inside it counts from 0.
declare -A first=() last=()
sample_threads() {
    local status tid n
    for status in /proc/"$pid"/task/*/status; do
        tid="${status%/status}"
        tid="${tid##*/}"
        n=$(awk '/ctxt_switches/ {s += $2} END {print s + 0}' "$status" 2>/dev/null) || continue
        [ -n "${first[$tid]+x}" ] || first[$tid]=$([ "$1" = start ] && echo "$n" || echo 0)
        last[$tid]=$n
    done
}

cpu0=$(cpu); t0=$(date +%s%N)
sample_threads start
for _ in $(seq 1 "$seconds"); do
    sleep 1
    sample_threads during
done
cpu1=$(cpu); t1=$(date +%s%N)
wakeups=0
for tid in "${!last[@]}"; do wakeups=$((wakeups + last[$tid] - first[$tid])); done
wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.1f", (b - a) / 1e9}')
cpu_s=$(awk -v a="$cpu0" -v b="$cpu1" -v t="$ticks" 'BEGIN {printf "%.2f", (b - a) / t}')
share=$(awk -v c="$cpu_s" -v w="$wall" 'BEGIN {printf "%.3f", 100 * c / w}')
rate=$(awk -v n="$wakeups" -v w="$wall" 'BEGIN {printf "%.1f", n / w}')

echo "Idle vesk with two online peers, real interface, offscreen"
printf '%-34s %s\n' "window (s)" "$wall"
printf '%-34s %s\n' "CPU seconds" "$cpu_s"
printf '%-34s %s %%  (goal < 0.1 %%)\n' "share of one core" "$share"
printf '%-34s %s  (%s per second)\n' "wake-ups (context switches)" "$wakeups" "$rate"
printf '%-34s %s MB  (goal < 120 MB)\n' "resident memory now" "$(( $(rss_kb) / 1024 ))"
printf '%-34s %s MB\n' "resident memory peak" "$(( $(hwm_kb) / 1024 ))"
# The measured instance runs the real interface, which has no scripted quit: end it directly.
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
RIG_PID[1]=""
