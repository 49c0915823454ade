# shellcheck shell=bash
# Helpers of the file-transfer scenarios, on top of vesk_rig.sh.
#
#   xfer_instance I ALIAS       # rig_instance with the transfer verbs in the scripted interface
#   xfer_downloads I            # instance I's downloads folder
#   xfer_random_file PATH MB    # a file of MB mebibytes of random bytes
#   xfer_offer I J PATH...      # instance I offers the files to instance J (picks files and peer, sends)
#   xfer_upload_id J PATH       # the id instance J's offer of PATH carries (owner's node id of J's peer)
#   xfer_size PATH              # size in bytes, 0 when missing
#   xfer_wait_size_at_least PATH BYTES [SECONDS]
#   xfer_furthest_request LOG ID  # the end of the furthest range requested for ID in a receiver's debug log

xfer_instance() {
    rig_instance "$1" "$2"
    cp "$RIG_SRC/tests/e2e/qml/transfer_main.qml" "$(rig_folder "$1")/app/qml/Vesk/desktop/main.qml"
}

xfer_downloads() { echo "$(rig_home "$1")/Documents/VeskDownloads"; }

xfer_random_file() {
    head -c "$(($2 * 1024 * 1024))" /dev/urandom >"$1"
}

xfer_offer() {
    local from="$1" to="$2" path
    shift 2
    for path in "$@"; do
        rig_cmd "$from" addFile "$path"
    done
    rig_cmd "$from" togglePeer "$(rig_node_id "$to")"
    rig_cmd "$from" sendFiles
}

# The upload id: MD5 of the receiving peer's node id, "_" and the absolute path.
xfer_upload_id() {
    printf '%s_%s' "$(rig_node_id "$1")" "$2" | md5sum | cut -d' ' -f1
}

xfer_size() {
    if [ -e "$1" ]; then stat -c %s "$1"; else echo 0; fi
}

xfer_wait_size_at_least() {
    local path="$1" bytes="$2" limit="${3:-$RIG_TIMEOUT}" start
    start=$(date +%s)
    # Polled often: a transfer moves a megabyte every few milliseconds, and the scenarios act in mid-transfer.
    while [ "$(xfer_size "$path")" -lt "$bytes" ]; do
        [ $(($(date +%s) - start)) -lt "$limit" ] ||
            rig_fail "$path did not reach $bytes bytes within ${limit}s (has $(xfer_size "$path"))"
        sleep 0.005
    done
}

xfer_sha() { sha256sum "$1" | cut -d' ' -f1; }

# Seconds (with fractions) since the epoch.
xfer_now() { date +%s.%N; }

xfer_furthest_request() {
    grep -o "requesting \"$2\" at [0-9]* for [0-9]*" "$1" | awk '{ end = $4 + $6; if (end > m) m = end } END { print m + 0 }'
}
