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
threads_switches() {
    local total=0 f
    for f in /proc/"$pid"/task/*/status; do
        total=$((total + $(awk '/ctxt_switches/ {s += $2} END {print s}' "$f")))
    done
    echo "$total"
}
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$pid/status"; }
hwm_kb() { awk '/^VmHWM/ {print $2}' "/proc/$pid/status"; }

cpu0=$(cpu); sw0=$(threads_switches); t0=$(date +%s%N)
sleep "$seconds"
cpu1=$(cpu); sw1=$(threads_switches); t1=$(date +%s%N)
wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.1f", (b - a) / 1e9}')
cpu_s=$(awk -v a="$cpu0" -v b="$cpu1" -v t="$ticks" 'BEGIN {printf "%.2f", (b - a) / t}')
share=$(awk -v c="$cpu_s" -v w="$wall" 'BEGIN {printf "%.3f", 100 * c / w}')
wakeups=$((sw1 - sw0))
rate=$(awk -v n="$wakeups" -v w="$wall" 'BEGIN {printf "%.1f", n / w}')

echo "Idle vesk with two online peers, real interface, offscreen"
printf '%-34s %s\n' "window (s)" "$wall"
printf '%-34s %s\n' "CPU seconds" "$cpu_s"
printf '%-34s %s %%  (goal < 0.1 %%)\n' "share of one core" "$share"
printf '%-34s %s  (%s per second)\n' "wake-ups (context switches)" "$wakeups" "$rate"
printf '%-34s %s MB  (goal < 120 MB)\n' "resident memory now" "$(( $(rss_kb) / 1024 ))"
printf '%-34s %s MB\n' "resident memory peak" "$(( $(hwm_kb) / 1024 ))"
