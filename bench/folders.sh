#!/usr/bin/env bash
# Small-file benchmark: a folder of COUNT files of 2 to 6 KB (random bytes) goes from instance 1 to instance 2, two real
# vesk instances in two network namespaces on a bridge, offered as one folder between two programs that talk on their
# TLS stream (and take folders). The baseline, measured in the same run over the same path, is `tar` piped through one
# raw TCP connection (transfer_raw) into `tar x`. For each count: files per second of both and their ratio, how long the
# owner took from "send" until the receiver held the whole listing, and the longest either side's event loop went
# without a turn (a 10 ms timer probe in the scripted interface, from picking the folder to the end), and the CPU time
# each whole process spent per 1,000 files (from queueing the folder to its last file), which the machine's other load
# moves far less than the rates.
#
#   bench/folders.sh VESK TRANSFER_RAW [COUNTS]
#       COUNTS defaults to "1000 10000". Needs root, ip netns, sqlite3 and python3.
#
# Both sides write into a file system of their own, made anew (the receiver's once, tar's for each count) (a journalled ext4 on a loop device,
# as a Debian desktop has): on a disk that has just deleted thousands of files, ext4 without a journal walks past every
# recently freed inode at each create, so whichever side came after the other's clean-up was slowed tenfold.
#
# Build both in a release configuration for meaningful figures.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
vesk="${1:-}"
raw="${2:-}"
counts="${3:-1000 10000}"
if [ ! -x "$vesk" ] || [ ! -x "$raw" ]; then
    echo "usage: $0 VESK TRANSFER_RAW [COUNTS]" >&2
    exit 2
fi

# shellcheck source=../tests/e2e/lib/netns.sh
. "$source_dir/tests/e2e/lib/netns.sh"
# shellcheck source=../tests/e2e/lib/vesk_rig.sh
. "$source_dir/tests/e2e/lib/vesk_rig.sh"
RIG_EXTRA_QML="$source_dir/bench/qml/probe_verbs.qml"

netns_skip_unless_available
command -v sqlite3 >/dev/null || { echo "folders bench: needs the sqlite3 command" >&2; exit 1; }
command -v mkfs.ext4 >/dev/null || { echo "folders bench: needs mkfs.ext4 (e2fsprogs)" >&2; exit 1; }

rig_init "$vesk" "$source_dir" || exit 1
# As users run it: no debug line per request and per packet (the scenarios read them, the figures would pay for them).
RIG_ENV=(QT_LOGGING_RULES="vesk.transfer.debug=false;vesk.peers.debug=false")
mounted=()
# fresh_fs DIR: an empty ext4 of 512 MB mounted on DIR (made if missing), unmounted when the bench ends.
fresh_fs() {
    local image
    image="$(mktemp "${TMPDIR:-/tmp}/vesk-bench-fs.XXXXXX")"
    truncate -s 512M "$image" && mkfs.ext4 -q -F "$image" && mkdir -p "$1" && mount -o loop "$image" "$1" ||
        rig_fail "could not mount a file system on $1"
    rm -f "$image" # the loop device keeps it until the unmount
    mounted+=("$1")
}
finish() {
    local dir
    for dir in "${mounted[@]}"; do umount "$dir"; done
    rig_cleanup
    netns_teardown
}
netns_setup 2 || exit 1
trap finish EXIT
RIG_TIMEOUT=120

rig_instance 1 Owner
rig_instance 2 Receiver
fresh_fs "$(rig_downloads 2)" # before the start: the instances see the mounts of their start
for i in 1 2; do rig_start "$i"; done
rig_wait_all_on 2
rig_wait_sql 2 "select length(identityKey) from vesk_peers where id = '$(rig_node_id 1)'" 64
now() { date +%s.%N; }
rate() { echo "scale=1; $1 / $2" | bc; }
# CPU time of a whole process in ms (all its threads), from /proc/PID/stat: less at the mercy of the machine's other
# load than a rate.
cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); print ($12 + $13) * 1000 / hz }' "/proc/$1/stat"; }
per_thousand() { echo "scale=0; ($2 - $1) * 1000 / $3" | bc; }

# make_folder DIR COUNT: COUNT files of 2048 to 6144 random bytes, a hundred to a sub-folder.
make_folder() {
    python3 - "$1" "$2" <<'EOF'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
for n in range(count):
    folder = os.path.join(root, "part%03d" % (n // 100))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "file%05d.dat" % n), "wb") as f:
        f.write(os.urandom(random.randint(2048, 6144)))
EOF
}

probe() { # probe I: the longest gap of instance I's event loop since its probeReset, in ms
    rm -f "$(rig_folder "$1")/probe"
    rig_cmd "$1" probeReport
    for _ in $(seq 1 100); do
        [ -s "$(rig_folder "$1")/probe" ] && break
        sleep 0.05
    done
    tr -d '[:space:]' <"$(rig_folder "$1")/probe"
}

results=()
for count in $counts; do
    name="small$count"
    folder="$(rig_folder 1)/files/$name"
    make_folder "$folder" "$count"
    sync

    # Baseline: the same tree as a tar stream over one TCP connection, unpacked on arrival.
    out="$(rig_folder 2)/tar$count"
    fresh_fs "$out"
    mkfifo "$out.fifo"
    tar x -C "$out" -f "$out.fifo" &
    tar_pid=$!
    netns_exec 2 "$raw" receive 25099 "$out.fifo" >/dev/null &
    sleep 0.5
    started="$(now)"
    tar c -C "$(dirname "$folder")" "$name" | netns_exec 1 "$raw" send "$(netns_addr 2)" 25099 /dev/stdin >/dev/null
    wait "$tar_pid"
    tar_seconds="$(echo "$(now) - $started" | bc)"
    diff -rq "$folder" "$out/$name" >/dev/null || rig_fail "the tar baseline lost files"
    rm -f "$out.fifo"
    sync

    # The engine: picked, walked, offered as one folder, queued as soon as it is listed.
    for i in 1 2; do rig_cmd "$i" probeReset; done
    walked=$(rig_log 1 | grep -c "walked the folder")
    rig_cmd 1 addFile "$folder"
    rig_until 120 "the owner did not walk the folder" eval "[ \$(rig_log 1 | grep -c 'walked the folder') -gt $walked ]"
    rig_cmd 1 togglePeerSelection "$(rig_node_id 2)"
    rig_cmd 1 sendHighlightedFiles
    sent_ms="$(stat -c %.3Y "$(rig_folder 1)/done" | tr -d .)"
    rig_wait_sql 2 "select count(*) from vesk_downloads d join vesk_folders f on d.folderId = f.id where f.name = \
        '$name'" "$count" 120
    listed_ms="$(rig_sql 2 "select max(timestamp) from vesk_downloads")"
    id="$(rig_sql 2 "select id from vesk_folders where name = '$name'")"
    owner_cpu0="$(cpu_ms "${RIG_PID[1]}")" receiver_cpu0="$(cpu_ms "${RIG_PID[2]}")"
    rig_cmd 2 queueFileToDownload "$id"
    queued="$(stat -c %.9Y "$(rig_folder 2)/done")"
    rig_wait_sql 2 "select status from vesk_folders where id = '$id'" downloaded 3600
    owner_cpu1="$(cpu_ms "${RIG_PID[1]}")" receiver_cpu1="$(cpu_ms "${RIG_PID[2]}")"
    tree="$(rig_downloads 2)/$(rig_sql 2 "select localname from vesk_folders where id = '$id'")"
    last="$(find "$tree" -type f -printf '%T@\n' | sort -n | tail -n 1)"
    engine_seconds="$(echo "$last - $queued" | bc)"
    owner_gap="$(probe 1)" receiver_gap="$(probe 2)"
    diff -rq "$folder" "$tree" >/dev/null || rig_fail "the received folder differs"
    rig_wait_sql 1 "select count(*) from vesk_uploads" 0 60

    tar_rate="$(rate "$count" "$tar_seconds")"
    engine_rate="$(rate "$count" "$engine_seconds")"
    results+=("$(printf '%8s %10s %10s %7s %10s %9s %9s %9s %9s' "$count" "$tar_rate" "$engine_rate" \
        "$(echo "scale=2; $engine_rate / $tar_rate" | bc)" "$((listed_ms - sent_ms))" "$owner_gap" "$receiver_gap" \
        "$(per_thousand "$owner_cpu0" "$owner_cpu1" "$count")" \
        "$(per_thousand "$receiver_cpu0" "$receiver_cpu1" "$count")")")
done

printf '\n%8s %10s %10s %7s %10s %9s %9s %9s %9s\n' "" "tar+TCP" "vesk" "" "listed" "owner" "receiver" "owner" \
    "receiver"
printf '%8s %10s %10s %7s %10s %9s %9s %9s %9s\n' "files" "files/s" "files/s" "ratio" "after ms" "gap ms" "gap ms" \
    "CPU ms/k" "CPU ms/k"
printf '%s\n' "${results[@]}"
echo "(goals: at least 5,000 files/s for each count; no event-loop gap over 100 ms on either side, the probe's own 10 ms included;"
echo " 'listed after': from the owner's send to the receiver holding the whole listing, across both clocks;"
echo " CPU ms/k: CPU time of each whole process from the queueing to the last file, per 1,000 files)"
