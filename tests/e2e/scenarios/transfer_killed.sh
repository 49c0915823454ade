# kill -9 of either side mid-transfer, packets in flight. The restarted receiver goes on by itself at the size on
# disk (paused instead, with "Resume interrupted downloads" off, until queued). The killed owner is given up about
# 22 s after the data stopped; back, the download goes on at the size on disk, a small file queued then first. The
# file is film.bin.part until it ends bit-exact as film.bin; each restart agrees new sealing keys first.
rig_pair
# At 100 MB/s the file takes seconds: unshaped, the rest could arrive between the last look and a kill.
netns_exec 1 tc qdisc add dev eth0 root tbf rate 800mbit burst 256kb latency 50ms || rig_fail "tc failed"
files="$(rig_folder 1)/files" got="$(rig_downloads 2)/film.bin.part"
mkdir -p "$files"
rig_random_file "$files/film.bin" 300
rig_random_file "$files/small.bin" 3
rig_offer 1 2 "$files/film.bin" "$files/small.bin"
id="$(rig_upload_id 2 "$files/film.bin")" small="$(rig_upload_id 2 "$files/small.bin")"
state="select status from vesk_downloads where id = '$id'"
rig_wait_sql 2 "select count(*) from vesk_downloads where status = 'unknown'" 2
rig_cmd 2 queueFileToDownload "$id"
rig_wait_size "$got" $((30 * 1024 * 1024)) 120
# in_flight SIDE: waits (2 s at most) until more than one packet is asked for beyond what is on disk, so that SIDE
# dies with a window in flight; at a single instant the writes may just have caught up with the requests.
in_flight() {
    local furthest on_disk
    for _ in $(seq 1 40); do
        furthest="$(rig_furthest_request 2 "$id")" on_disk="$(rig_size "$got")"
        [ "$on_disk" -lt $((300 * 1024 * 1024)) ] || rig_fail "the transfer finished before the $1 died"
        [ "$furthest" -gt $((on_disk + 2000000)) ] && return 0
        sleep 0.05
    done
    rig_fail "at most one packet in flight when the $1 died"
}

# The user's choice: queued downloads wait after a restart.
rig_kill 2
in_flight receiver
at_kill="$(rig_size "$got")"
sed -i 's/^\[General\]$/&\nresumeInterruptedDownloads=false/' "$(rig_conf 2)"
rig_start 2
rig_wait_sql 2 "$state" unknown 30
rig_wait_all_on 2 60
sleep 3
rig_expect "$(rig_size "$got")" "$at_kill" "size of the paused download a while after the restart"
rig_log 2 | grep -q "requesting" && rig_fail "the restarted receiver asked for data before being told to"
rig_cmd 2 toggleResumeInterruptedDownloads
rig_cmd 2 queueFileToDownload "$id"
rig_wait_size "$got" $((at_kill + 30 * 1024 * 1024)) 120
rig_expect "$(rig_log 2 | grep -m1 -o "requesting \"$id\" at [0-9]*")" "requesting \"$id\" at $at_kill" "first request"

# The default: the download the user queued goes on by itself after the receiver's restart.
rig_kill 2
in_flight receiver
at_kill="$(rig_size "$got")"
rig_start 2
rig_wait_sql 2 "$state" queued 30
rig_wait_size "$got" $((at_kill + 30 * 1024 * 1024)) 120
rig_expect "$(rig_log 2 | grep -m1 -o "requesting \"$id\" at [0-9]*")" "requesting \"$id\" at $at_kill" \
    "first request after the restart, without any command"

in_flight owner # measured just before: the kill comes right after
rig_kill 1
killed=$SECONDS
rig_wait_sql 2 "$state" unknown 40
# 11 ticks of 2 s without growth; the first tick may come up to 2 s after the last packet.
given_up=$((SECONDS - killed))
[ "$given_up" -ge 19 ] && [ "$given_up" -le 27 ] || rig_fail "gave up after ${given_up}s, not about 22s"
resume_at="$(rig_size "$got")"
rig_start 1
rig_wait_size "$got" $((resume_at + 10 * 1024 * 1024)) 120
# A small file queued meanwhile goes first (the smallest queued file is chosen after every packet), bit-exact.
rig_cmd 2 queueFileToDownload "$small"
rig_wait_sql 2 "select status from vesk_downloads where id = '$small'" downloaded 60
cmp -s "$files/small.bin" "$(rig_downloads 2)/small.bin" || rig_fail "the small file differs"
order_is() {
    RIG_GOT="$(rig_log 2 | grep -o "requesting \"[0-9a-f]*\"" | uniq | sed "s/.*\"$id\"/L/; s/.*\"$small\"/S/" | tr '\n' ' ')"
    [ "$RIG_GOT" = "$1" ]
}
rig_until 30 "the requests did not go large, small, large" order_is "L S L "
rig_wait_sql 2 "$state" downloaded 300
rig_expect "$(rig_log 1 | grep -m1 "serving \"$id\" at" | grep -o "at [0-9]*")" "at $resume_at" "the owner's first packet"
cmp -s "$(rig_downloads 2)/film.bin" "$files/film.bin" && [ "$(ls "$(rig_downloads 2)" | xargs)" = "film.bin small.bin" ] ||
    rig_fail "the received file differs"
rig_wait_sql 1 "select count(*) from vesk_uploads" 0
rig_wait_sql 2 "select count(*) from vesk_peers where identityKey != ''" 1 # it was sealed throughout
