# What crosses the wire between two Vesk computers (their TLS stream) reveals neither a chat's text, nor an offered
# file's name, nor any 48-byte piece of the file: a capture on the receiving host's interface is searched for each.
# Carol runs as a program of the plain protocol: she chats and exchanges files with Alice both ways, in plain, and
# the same search of her host's capture finds what it looks for (so the search itself can fail). Forged plain
# messages and announcements follow.
rig_pair 3 plain
# The pair pinned each other's identity (32 bytes, in hex); nobody pinned Carol, and she pinned nobody.
rig_wait_sql 1 "select length(identityKey) from vesk_peers where id = '$b'" 64
rig_wait_sql 2 "select length(identityKey) from vesk_peers where id = '$a'" 64
rig_expect_sql 1 "select coalesce(identityKey, '') from vesk_peers where id = '$c'" ""
rig_expect_sql 3 "select count(*) from vesk_peers where identityKey is not null" 0

capture() { # capture HOST [FILE]: records the TCP traffic on that host's interface
    # Started directly (not through a shell function), so that $! is tcpdump itself and it can be told to stop.
    ip netns exec "$(netns_name "$1")" tcpdump -i eth0 -U -s 0 -w "$(rig_folder "$1")/${2:-capture.pcap}" tcp \
        2>/dev/null &
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
    rig_fetch 1 "$to" "$files/salary-review-7f3a9.txt"
done
rig_cmd 3 sendChat "$a" "plain answer from Carol"
mkdir -p "$(rig_folder 3)/files"
head -c 300000 /dev/urandom >"$(rig_folder 3)/files/carol.bin"
rig_fetch 3 1 "$(rig_folder 3)/files/carol.bin"
for to in 2 3; do
    rig_wait_sql "$to" "select count(*) from vesk_chats where message = 'the vault code is 4471 for host $to'" 1
    rig_wait_sql "$to" "select status from vesk_downloads where nodefrom = '$a'" downloaded 120
    cmp -s "$(rig_downloads "$to")/salary-review-7f3a9.txt" "$files/salary-review-7f3a9.txt" ||
        rig_fail "host $to received a different file"
done
rig_wait_sql 1 "select status from vesk_chats where peerto = '$c'" sent
rig_wait_sql 1 "select count(*) from vesk_chats where message = 'plain answer from Carol'" 1
rig_wait_sql 1 "select status from vesk_downloads where id = '$id'" downloaded 60
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
rig_expect "$(found 2)" 0 "readable pieces in the Vesk pair's capture"
plain="$(found 3)"
[ "$plain" -ge 50 ] || rig_fail "the plain peer's capture shows only $plain of 102 pieces: the search does not work"

# Carol, like any program of the plain protocol, was never sent a field she does not know: not in the first
# handshakes (Alice and Bob asked port 25002 first, where nobody listens on her host), not in any answer, chat,
# offer or packet. Her check itself works: a record with field 16 sent to her by hand is logged.
unknown="fields unknown to a plain program"
rig_log 3 | grep -q "$unknown" && rig_fail "the plain peer was sent extension fields: $(rig_log 3 | grep -m3 "$unknown")"
# action "confirmChat" (field 1), then field 16 as the varint 1
netns_exec 2 bash -c 'exec 3<>/dev/tcp/"$0"/25001 && printf "\x10\x00\x00\x00\x0a\x0bconfirmChat\x80\x01\x01" >&3 &&
    sleep 0.5' "$(netns_addr 3)"
plain_noticed() { rig_log 3 | grep -q "$unknown"; }
rig_until 10 "the plain peer did not notice a field it does not know" plain_noticed

# Host 3 sends plain messages under Alice's node id, as any program on the network can: a chat, and a handshake that
# would rename and move her. Bob refuses them and logs it; the same chat under a node id nobody pinned is taken (so
# the forged messages were well formed), and the sealed pair goes on as before.
# forge FIELD TEXT...: one plain record of text fields (ASCII, each under 128 bytes), sent from host 3 to Bob.
forge() {
    local record="" piece
    while [ $# -gt 0 ]; do
        piece="$(printf "\\\\x%02x\\\\x%02x" $((($1 << 3) | 2)) "${#2}")"
        record+="$(printf "$piece" && echo .)" # the dot keeps a length byte of 10 (a line break) from being cut
        record="${record%.}$2"
        shift 2
    done
    netns_exec 3 bash -c 'exec 3<>/dev/tcp/"$0"/25001 && printf "\\x$(printf %02x "$1")\\x00\\x00\\x00%s" "$2" >&3 &&
        sleep 0.5' "$(netns_addr 2)" "${#record}" "$record"
}
export LC_ALL=C
forge 1 newChatMessage 2 "$a" 5 "forged words" 6 "{f0000000-0000-4000-8000-000000000001}"
forge 1 addMeRequest 2 "$a" 15 Mallory 14 "Evil OS" 5 off
forge 1 newChatMessage 2 "{f0000000-0000-4000-8000-000000000099}" 5 "forged words" 6 "{f0000000-0000-4000-8000-000000000002}"
rig_wait_sql 2 "select count(*) from vesk_chats where message = 'forged words'" 1
sleep 2
rig_expect_sql 2 "select peerfrom from vesk_chats where message = 'forged words'" "{f0000000-0000-4000-8000-000000000099}"
rig_expect_sql 2 "select alias || ' ' || ipAddress from vesk_peers where id = '$a'" "Alice $(netns_addr 1)"
rig_log 2 | grep -q "Refused a plain message under the node id of a peer with a stream" || rig_fail "no refusal logged"

rig_cmd 1 sendChat "$b" "still here"
rig_wait_sql 2 "select count(*) from vesk_chats where message = 'still here' and peerfrom = '$a'" 1
rig_wait_sql 1 "select status from vesk_chats where message = 'still here'" sent

# Host 3 announces itself under Bob's node id to Alice, and under Alice's own node id: an announcement proves
# nothing. Alice's next chat for Bob still reaches Bob on their stream, not a byte of it the forger's host; Bob is
# neither moved nor renamed; Alice keeps her node id and her identity key.
CAPTURES=()
capture 3 forged.pcap
sleep 1
key_before="$(rig_sha "$(rig_data 1)/identity.key")"
announce() { # announce HOST NODE ALIAS: one announcement datagram from that host to Alice
    netns_exec "$1" bash -c 'printf "%s|Evil OS|%s" "$0" "$1" >/dev/udp/"$2"/45000' "$2" "$3" "$(netns_addr 1)"
}
for _ in 1 2 3; do
    announce 3 "$b" Mallory
    announce 3 "$a" Twin
done
sleep 1
rig_cmd 1 sendChat "$b" "after the forged announcements"
rig_wait_sql 2 "select count(*) from vesk_chats where message = 'after the forged announcements'" 1
rig_wait_sql 1 "select status from vesk_chats where message = 'after the forged announcements'" sent
sleep 1
kill -INT "${CAPTURES[@]}"
wait "${CAPTURES[@]}" 2>/dev/null
grep -a -q -F "after the forged announcements" "$(rig_folder 3)/forged.pcap" && rig_fail "the forger read Alice's chat"
rig_expect_sql 1 "select alias || ' ' || ipAddress from vesk_peers where id = '$b'" "Bob $(netns_addr 2)"
rig_expect "$(rig_sha "$(rig_data 1)/identity.key")" "$key_before" "Alice's identity key after her node id was announced"
rig_expect "$(grep -c '^machineId=' "$(rig_conf 1)")" 1 "Alice's stored node id"
grep -q "^machineId=$a" "$(rig_conf 1)" || rig_fail "Alice's node id changed"
rig_log 1 | grep -q "Refused an announcement under this computer's own node id" || rig_fail "no refusal of our own id logged"
