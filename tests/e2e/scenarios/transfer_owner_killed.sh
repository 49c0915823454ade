# shellcheck shell=bash
# The owner dies (kill -9) in the middle of a transfer: B's download falls back to "unknown" about 22 seconds
# after the data stopped, with a window of several packets in flight when the owner died. Once the owner runs
# again, the transfer goes on by itself (nobody clicks anything), resumes at the size already on disk and ends
# bit-exact.
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
xfer_random_file "$files/film.bin" 300
xfer_offer 1 2 "$files/film.bin"
id="$(xfer_upload_id 2 "$files/film.bin")"
local_file="$(xfer_downloads 2)/film.bin"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown
rig_cmd 2 queue "$id"
xfer_wait_size_at_least "$local_file" $((30 * 1024 * 1024)) 120

kill -9 "${RIG_PID[1]}"
wait "${RIG_PID[1]}" 2>/dev/null
RIG_PID[1]=""
killed=$(xfer_now)
size_at_kill="$(xfer_size "$local_file")"
[ "$size_at_kill" -lt $((300 * 1024 * 1024)) ] || rig_fail "the transfer finished before the owner was killed"

rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown 40
given_up=$(echo "$(xfer_now) - $killed" | bc)
echo "B gave the download up ${given_up}s after the owner died"
# 11 ticks of 2 s without growth; the first tick may come up to 2 s after the last packet.
[ "$(echo "$given_up >= 19 && $given_up <= 27" | bc)" = 1 ] || rig_fail "gave up after ${given_up}s, not about 22s"
resume_at="$(xfer_size "$local_file")"
[ "$resume_at" -ge "$size_at_kill" ] || rig_fail "the partial file shrank"
furthest="$(xfer_furthest_request "$(rig_folder 2)/out.log" "$id")"
echo "B had asked for bytes up to $furthest when it stopped at $resume_at"
[ "$furthest" -gt $((resume_at + 2000000)) ] || rig_fail "only one packet was in flight when the owner died"

# Only what the new process logs counts: out.log keeps the lines of the earlier one.
log_from=$(($(wc -l <"$(rig_folder 1)/out.log") + 1))
RIG_ENV=(QT_LOGGING_RULES="vesk.transfer.debug=true")
rig_start 1
RIG_ENV=()
rig_wait_all_on 2 60
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 300

first_served="$(tail -n +"$log_from" "$(rig_folder 1)/out.log" | grep -m1 "serving \"$id\" at")"
rig_expect "$first_served" "serving \"$id\" at $resume_at for 1000000" "the owner's first packet after the restart"
rig_expect "$(xfer_sha "$local_file")" "$(xfer_sha "$files/film.bin")" "sha256 of the received file"
rig_expect "$(ls "$(xfer_downloads 2)")" "film.bin" "files in B's downloads folder"
rig_wait_sql 1 "select count(*) from vesk_uploads" 0
