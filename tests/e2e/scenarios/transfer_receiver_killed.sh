# shellcheck shell=bash
# The receiver dies (kill -9) in the middle of a transfer. Restarted, its queue comes back paused: the download is
# "unknown" and nothing moves until the user queues it again; then it resumes at the size on disk and ends
# bit-exact. The receiver died with a window of several packets in flight.
# shellcheck source=../lib/transfer_rig.sh
. "$RIG_SRC/tests/e2e/lib/transfer_rig.sh"
rig_lan 2
xfer_instance 1 Alice
xfer_instance 2 Bob
rig_start 1
RIG_ENV=(QT_LOGGING_RULES="vesk.transfer.debug=true")
rig_start 2
RIG_ENV=()
rig_wait_all_on 2

files="$(rig_folder 1)/files"
mkdir -p "$files"
xfer_random_file "$files/album.bin" 300
xfer_offer 1 2 "$files/album.bin"
id="$(xfer_upload_id 2 "$files/album.bin")"
local_file="$(xfer_downloads 2)/album.bin"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown
rig_cmd 2 queue "$id"
xfer_wait_size_at_least "$local_file" $((30 * 1024 * 1024)) 120

kill -9 "${RIG_PID[2]}"
wait "${RIG_PID[2]}" 2>/dev/null
RIG_PID[2]=""
size_at_kill="$(xfer_size "$local_file")"
[ "$size_at_kill" -lt $((300 * 1024 * 1024)) ] || rig_fail "the transfer finished before the receiver was killed"
furthest="$(xfer_furthest_request "$(rig_folder 2)/out.log" "$id")"
echo "B had asked for bytes up to $furthest when it died at $size_at_kill"
[ "$furthest" -gt $((size_at_kill + 2000000)) ] || rig_fail "only one packet was in flight when the receiver died"

# Only what the new process logs counts: out.log keeps the lines of the earlier one.
log_from=$(($(wc -l <"$(rig_folder 2)/out.log") + 1))
RIG_ENV=(QT_LOGGING_RULES="vesk.transfer.debug=true")
rig_start 2
RIG_ENV=()
# Until the new process has opened its database, the file still shows the old state ("queued", peers "on").
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown 30
rig_wait_all_on 2 60
sleep 3
rig_expect "$(xfer_size "$local_file")" "$size_at_kill" "size of the paused download a while after the restart"
tail -n +"$log_from" "$(rig_folder 2)/out.log" | grep -q "requesting" && rig_fail "the restarted receiver asked for data before being told to"

rig_cmd 2 queue "$id"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 300
first_request="$(tail -n +"$log_from" "$(rig_folder 2)/out.log" | grep -m1 "requesting \"$id\" at")"
rig_expect "$first_request" "requesting \"$id\" at $size_at_kill for 1000000" "the first request after the restart"
rig_expect "$(xfer_sha "$local_file")" "$(xfer_sha "$files/album.bin")" "sha256 of the received file"
rig_expect "$(ls "$(xfer_downloads 2)")" "album.bin" "files in B's downloads folder"
