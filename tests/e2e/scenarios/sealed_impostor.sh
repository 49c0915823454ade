# A third host sends plain messages under a sealed peer's node id, as any program on the network can: a chat, and a
# handshake that would rename and move the peer. Bob refuses them and logs it; the same chat under a node id nobody
# pinned is taken (so the forged messages were well formed), and the sealed pair goes on as before.
rig_lan 3
rig_instance 1 Alice && rig_start 1
rig_instance 2 Bob && rig_start 2
rig_wait_all_on 2
a="$(rig_node_id 1)" b="$(rig_node_id 2)"
rig_wait_sql 2 "select length(identityKey) from vesk_peers where id = '$a'" 64

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
rig_log 2 | grep -q "Refused a plain message under the node id of a sealed peer" || rig_fail "no refusal logged"

rig_cmd 1 sendChat "$b" "still here"
rig_wait_sql 2 "select count(*) from vesk_chats where message = 'still here' and peerfrom = '$a'" 1
rig_wait_sql 1 "select status from vesk_chats where message = 'still here'" sent
