# What crosses the wire between two sealed peers reveals neither a chat's text, nor an offered file's name, nor any
# 48-byte piece of the file: a capture on the receiving host's interface is searched for each. Carol runs as a
# program from before sealing: she chats and exchanges files with Alice both ways, in plain, and the same search
# of her host's capture finds what it looks for (so the search itself can fail).
rig_lan 3
rig_instance 1 Alice && rig_start 1
rig_instance 2 Bob && rig_start 2
RIG_ENV=(VESK_PLAIN_PEER=1)
rig_instance 3 Carol && rig_start 3
RIG_ENV=()
rig_wait_all_on 3
a="$(rig_node_id 1)" b="$(rig_node_id 2)" c="$(rig_node_id 3)"
# The sealed pair pinned each other's identity (32 bytes, in hex); nobody pinned Carol, and she pinned nobody.
rig_wait_sql 1 "select length(identityKey) from vesk_peers where id = '$b'" 64
rig_wait_sql 2 "select length(identityKey) from vesk_peers where id = '$a'" 64
rig_expect_sql 1 "select coalesce(identityKey, '') from vesk_peers where id = '$c'" ""
rig_expect_sql 3 "select count(*) from vesk_peers where identityKey is not null" 0

capture() { # capture HOST: records the message port's traffic on that host's interface
    # Started directly (not through a shell function), so that $! is tcpdump itself and it can be told to stop.
    ip netns exec "$(netns_name "$1")" tcpdump -i eth0 -U -s 0 -w "$(rig_folder "$1")/capture.pcap" \
        tcp port 25001 2>/dev/null &
    CAPTURES+=($!)
}
CAPTURES=()
capture 2
capture 3
sleep 1

files="$(rig_folder 1)/files"
mkdir -p "$files"
# Text without line breaks, so any piece of it can be searched for as it stands.
head -c 1500000 /dev/urandom | base64 -w0 >"$files/salary-review-7f3a9.txt"
for to in 2 3; do
    rig_cmd 1 sendChat "$(rig_node_id "$to")" "the vault code is 4471 for host $to"
    rig_offer 1 "$to" "$files/salary-review-7f3a9.txt"
done
rig_cmd 3 sendChat "$a" "plain answer from Carol"
mkdir -p "$(rig_folder 3)/files"
head -c 300000 /dev/urandom >"$(rig_folder 3)/files/carol.bin"
rig_offer 3 1 "$(rig_folder 3)/files/carol.bin"

id="$(rig_upload_id 2 "$files/salary-review-7f3a9.txt")"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown
rig_cmd 2 queueFileToDownload "$id"
id3="$(rig_upload_id 3 "$files/salary-review-7f3a9.txt")"
rig_wait_sql 3 "select status from vesk_downloads where id = '$id3'" unknown
rig_cmd 3 queueFileToDownload "$id3"
idc="$(printf '%s_%s' "$a" "$(rig_folder 3)/files/carol.bin" | md5sum | cut -d' ' -f1)"
rig_wait_sql 1 "select status from vesk_downloads where id = '$idc'" unknown
rig_cmd 1 queueFileToDownload "$idc"
for to in 2 3; do
    rig_wait_sql "$to" "select count(*) from vesk_chats where message = 'the vault code is 4471 for host $to'" 1
    rig_wait_sql "$to" "select status from vesk_downloads where nodefrom = '$a'" downloaded 120
    cmp -s "$(rig_downloads "$to")/salary-review-7f3a9.txt" "$files/salary-review-7f3a9.txt" ||
        rig_fail "host $to received a different file"
done
rig_wait_sql 1 "select status from vesk_chats where peerto = '$c'" sent
rig_wait_sql 1 "select count(*) from vesk_chats where message = 'plain answer from Carol'" 1
rig_wait_sql 1 "select status from vesk_downloads where id = '$idc'" downloaded 60
cmp -s "$(rig_downloads 1)/carol.bin" "$(rig_folder 3)/files/carol.bin" || rig_fail "Alice received a different file"
sleep 1
kill -INT "${CAPTURES[@]}"
wait "${CAPTURES[@]}" 2>/dev/null

# found HOST: how many of the chat's text, the file's name and 100 pieces of the file the capture holds.
found() {
    local pcap size n=0 off
    pcap="$(rig_folder "$1")/capture.pcap" size="$(rig_size "$files/salary-review-7f3a9.txt")"
    [ "$(rig_size "$pcap")" -gt "$size" ] || rig_fail "the capture on host $1 holds less than the file"
    grep -a -q -F "vault code is 4471" "$pcap" && n=$((n + 1))
    grep -a -q -F "salary-review-7f3a9" "$pcap" && n=$((n + 1))
    for off in $(seq 1000 19990 1990000); do
        grep -a -q -F -- "$(tail -c +"$off" "$files/salary-review-7f3a9.txt" | head -c 48)" "$pcap" && n=$((n + 1))
    done
    echo "$n"
}
rig_expect "$(found 2)" 0 "readable pieces in the sealed pair's capture"
plain="$(found 3)"
[ "$plain" -ge 50 ] || rig_fail "the plain peer's capture shows only $plain of 102 pieces: the search does not work"

# Carol, like any program from before sealing, was never sent a field she does not know: not in the first
# handshakes (Alice and Bob asked port 25002 first, where nobody listens on her host), not in any answer, chat,
# offer or packet. Her check itself works: a record with field 16 sent to her by hand is logged.
unknown="fields unknown to a plain program"
rig_log 3 | grep -q "$unknown" && rig_fail "the plain peer was sent extension fields: $(rig_log 3 | grep -m3 "$unknown")"
# action "confirmChat" (field 1), then field 16 as the varint 1
netns_exec 2 bash -c 'exec 3<>/dev/tcp/"$0"/25001 && printf "\x10\x00\x00\x00\x0a\x0bconfirmChat\x80\x01\x01" >&3 &&
    sleep 0.5' "$(netns_addr 3)"
plain_noticed() { rig_log 3 | grep -q "$unknown"; }
rig_until 10 "the plain peer did not notice a field it does not know" plain_noticed
