#!/usr/bin/env bash
# Transfer benchmark: two vesk instances in two network namespaces on a bridge; instance 2 pulls a file of random
# bytes from instance 1 through the real engine. The baseline, measured in the same run over the same path, is a
# raw TCP stream from file to file (transfer_raw). Prints MB/s of each, their ratio, and the growth of the
# resident memory of owner and receiver during the transfer (peak minus the size just before it).
#
#   bench/transfer.sh VESK TRANSFER_RAW [MIB]      (MIB defaults to 1024; needs root, ip netns and sqlite3)
#
# Build both in a release configuration for meaningful figures. The machine's other load shows in the "runnable"
# column: time a process was ready to run but had no processor.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-}"
raw="${2:-}"
mib="${3:-1024}"
if [ ! -x "$vesk" ] || [ ! -x "$raw" ]; then
    echo "usage: $0 VESK TRANSFER_RAW [MIB]" >&2
    exit 2
fi

# shellcheck source=../tests/e2e/lib/netns.sh
. "$source_dir/tests/e2e/lib/netns.sh"
# shellcheck source=../tests/e2e/lib/vesk_rig.sh
. "$source_dir/tests/e2e/lib/vesk_rig.sh"
# shellcheck source=../tests/e2e/lib/transfer_rig.sh
. "$source_dir/tests/e2e/lib/transfer_rig.sh"
netns_skip_unless_available
command -v sqlite3 >/dev/null || { echo "transfer bench: needs the sqlite3 command" >&2; exit 1; }

rig_init "$vesk" "$source_dir" || exit 1
raw_pid=""
finish() {
    [ -n "$raw_pid" ] && kill "$raw_pid" 2>/dev/null
    rig_cleanup
    netns_teardown
}
netns_setup 2 || exit 1
trap finish EXIT
RIG_TIMEOUT=60

xfer_instance 1 Owner
xfer_instance 2 Receiver
files="$(rig_folder 1)/files"
mkdir -p "$files"
echo "transfer bench: ${mib} MiB of random bytes, host 1 -> host 2 over a bridge"
xfer_random_file "$files/payload.bin" "$mib"
bytes="$(xfer_size "$files/payload.bin")"
mb() { echo "scale=1; $1 / 1000000 / $2" | bc; }

# Baseline: the same bytes as one TCP stream, file to file.
baseline_out="$(rig_folder 2)/raw.bin"
netns_exec 2 "$raw" receive 25099 "$baseline_out" >"$RIG_DIR/raw.log" 2>&1 &
raw_pid=$!
for _ in $(seq 1 100); do
    grep -q ready "$RIG_DIR/raw.log" && break
    sleep 0.05
done
netns_exec 1 "$raw" send "$(netns_addr 2)" 25099 "$files/payload.bin" || rig_fail "raw send failed"
wait "$raw_pid"
raw_pid=""
read -r raw_bytes raw_seconds < <(grep -v ready "$RIG_DIR/raw.log")
[ "$raw_bytes" = "$bytes" ] || rig_fail "the raw stream moved $raw_bytes of $bytes bytes"
rm -f "$baseline_out"

# The engine.
# XFER_BENCH_ENV: extra VAR=value settings for both instances (for example GLIBC_TUNABLES=... to compare
# allocator settings), separated by spaces.
# shellcheck disable=SC2206
RIG_ENV=(${XFER_BENCH_ENV:-})
rig_start 1
rig_start 2
rig_wait_all_on 2
xfer_offer 1 2 "$files/payload.bin"
id="$(xfer_upload_id 2 "$files/payload.bin")"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
hwm_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
for i in 1 2; do
    echo 5 >"/proc/${RIG_PID[$i]}/clear_refs" # resets the peak to the current size
done
owner_before="$(rss_kb "${RIG_PID[1]}")"
receiver_before="$(rss_kb "${RIG_PID[2]}")"

sched() { cat "/proc/$1/schedstat"; }
read -r owner_cpu0 owner_wait0 _ < <(sched "${RIG_PID[1]}")
read -r receiver_cpu0 receiver_wait0 _ < <(sched "${RIG_PID[2]}")
started=$(date +%s.%N)
rig_cmd 2 queue "$id"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 3600
engine_seconds=$(echo "$(date +%s.%N) - $started" | bc)
read -r owner_cpu1 owner_wait1 _ < <(sched "${RIG_PID[1]}")
read -r receiver_cpu1 receiver_wait1 _ < <(sched "${RIG_PID[2]}")
owner_peak="$(hwm_kb "${RIG_PID[1]}")"
receiver_peak="$(hwm_kb "${RIG_PID[2]}")"

received="$(xfer_downloads 2)/payload.bin"
[ "$(xfer_sha "$received")" = "$(xfer_sha "$files/payload.bin")" ] || rig_fail "the received file differs"

raw_rate="$(mb "$raw_bytes" "$raw_seconds")"
engine_rate="$(mb "$bytes" "$engine_seconds")"
printf '\n%-28s %10s %10s\n' "" "MB/s" "seconds"
printf '%-28s %10s %10.2f\n' "raw TCP stream, file to file" "$raw_rate" "$raw_seconds"
printf '%-28s %10s %10.2f\n' "vesk engine" "$engine_rate" "$engine_seconds"
printf '%-28s %10s\n' "ratio (goal >= 0.7)" "$(echo "scale=2; $engine_rate / $raw_rate" | bc)"
printf '\n%-28s %10s %10s %10s\n' "resident memory (MB)" "before" "peak" "growth"
for side in owner receiver; do
    eval before=\$${side}_before peak=\$${side}_peak
    printf '%-28s %10.1f %10.1f %10.1f\n' "$side" "$(echo "$before / 1024" | bc -l)" "$(echo "$peak / 1024" | bc -l)" \
        "$(echo "($peak - $before) / 1024" | bc -l)"
done
echo "(goal: growth under 64 MB on each side)"
printf '\n%-28s %10s %10s\n' "during the transfer (s)" "on CPU" "runnable"
printf '%-28s %10.2f %10.2f\n' owner "$(echo "($owner_cpu1 - $owner_cpu0) / 10^9" | bc -l)" \
    "$(echo "($owner_wait1 - $owner_wait0) / 10^9" | bc -l)"
printf '%-28s %10.2f %10.2f\n' receiver "$(echo "($receiver_cpu1 - $receiver_cpu0) / 10^9" | bc -l)" \
    "$(echo "($receiver_wait1 - $receiver_wait0) / 10^9" | bc -l)"
echo "(the rest of the elapsed time each side waits for the network or the other side)"
