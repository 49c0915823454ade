#!/usr/bin/env bash
# Large-file benchmark: whether a file of 5 GiB moves at the same rate as one of 1 GiB. Two vesk instances in two
# network namespaces on a bare bridge, sealing as Vesk computers do; instance 2 pulls each file from instance 1
# through the real engine (sizes and offsets past 4 GiB in the 64-bit fields). Beside each, in the same run over
# the same path, the baseline: the same bytes as one raw TCP stream from file to file (transfer_raw). It prints
# MB/s of both for each size, and the 5 GiB / 1 GiB ratio of each: the engine's ratio beside the baseline's shows
# what the size itself costs the engine, apart from what it costs the disk and the page cache.
#
#   bench/transfer_large.sh VESK TRANSFER_RAW [SMALL_MIB] [LARGE_MIB] [ROUNDS]
#       SMALL_MIB defaults to 1024, LARGE_MIB to 5120, ROUNDS (pairs of transfers, small then large) to 1.
#       Needs root, ip netns and sqlite3, and about three times LARGE_MIB of free disk.
#
# Build both in a release configuration for meaningful figures. On a shared machine (2 cores, other builds) single
# figures move a lot between runs: compare the sizes within one run, and run more rounds to see the spread.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-}" raw="${2:-}" small="${3:-1024}" large="${4:-5120}" rounds="${5:-1}"
if [ ! -x "$vesk" ] || [ ! -x "$raw" ]; then
    echo "usage: $0 VESK TRANSFER_RAW [SMALL_MIB] [LARGE_MIB] [ROUNDS]" >&2
    exit 2
fi

# shellcheck source=../tests/e2e/lib/netns.sh
. "$source_dir/tests/e2e/lib/netns.sh"
# shellcheck source=../tests/e2e/lib/vesk_rig.sh
. "$source_dir/tests/e2e/lib/vesk_rig.sh"

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

rig_instance 1 Owner
rig_instance 2 Receiver
rig_start 1
rig_start 2
rig_wait_all_on 2
rig_wait_sql 1 "select capabilities & 4 from vesk_peers where id = '$(rig_node_id 2)'" 4
files="$(rig_folder 1)/files"
mkdir -p "$files"
echo "large-file bench: $small MiB and $large MiB of random bytes, host 1 -> host 2 over a bridge, sealed"
for size in "$small" "$large"; do rig_random_file "$files/payload$size.bin" "$size"; done
mb() { echo "scale=1; $1 / 1000000 / $2" | bc; }

# raw MIB: MB/s of the baseline stream of that payload.
raw() {
    local out log
    out="$(rig_folder 2)/raw.bin" log="$RIG_DIR/raw.log"
    sync
    : >"$log"
    netns_exec 2 "$raw" receive 25099 "$out" >"$log" 2>&1 &
    raw_pid=$!
    for _ in $(seq 1 100); do
        grep -q ready "$log" && break
        sleep 0.05
    done
    netns_exec 1 "$raw" send "$(netns_addr 2)" 25099 "$files/payload$1.bin" >/dev/null || rig_fail "raw send failed"
    wait "$raw_pid"
    raw_pid=""
    read -r raw_bytes raw_seconds _ < <(grep -v ready "$log")
    rm -f "$out"
    mb "$raw_bytes" "$raw_seconds"
}

# engine MIB ROUND: MB/s of the engine pulling that payload, on an offer of its own.
engine() {
    local offered="$files/payload$1-$2.bin" id received bytes
    ln -f "$files/payload$1.bin" "$offered"
    bytes="$(rig_size "$offered")"
    rig_offer 1 2 "$offered"
    id="$(rig_upload_id 2 "$offered")"
    rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown
    sync
    rig_cmd 2 queueFileToDownload "$id"
    received="$(rig_downloads 2)/payload$1-$2.bin"
    rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 7200
    # From the moment the scripted interface had run the queue command to the last write of the file.
    seconds=$(echo "$(stat -c %.9Y "$received") - $(stat -c %.9Y "$(rig_folder 2)/done")" | bc)
    [ "$(rig_sha "$received")" = "$(rig_sha "$offered")" ] || rig_fail "the received file differs ($1 MiB)"
    rm -f "$received" "$offered"
    mb "$bytes" "$seconds"
}

printf '\n%-6s %8s %8s %8s %8s %12s %12s\n' "" "raw" "vesk" "raw" "vesk" "raw" "vesk"
printf '%-6s %8s %8s %8s %8s %12s %12s\n' "round" "$small" "$small" "$large" "$large" "$large/$small" \
    "$large/$small"
printf '%-6s %8s %8s %8s %8s %12s %12s\n' "" "MB/s" "MB/s" "MB/s" "MB/s" "ratio" "ratio"
for round in $(seq 1 "$rounds"); do
    raw_small="$(raw "$small")" vesk_small="$(engine "$small" "$round")"
    raw_large="$(raw "$large")" vesk_large="$(engine "$large" "$round")"
    printf '%-6s %8s %8s %8s %8s %12s %12s\n' "$round" "$raw_small" "$vesk_small" "$raw_large" "$vesk_large" \
        "$(echo "scale=2; $raw_large / $raw_small" | bc)" "$(echo "scale=2; $vesk_large / $vesk_small" | bc)"
done
echo "(goal: the vesk ratio near 1, as near as the raw ratio beside it: a 5 GB file moves at the rate of a 1 GB one)"
