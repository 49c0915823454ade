# shellcheck shell=bash
# A peer that dies without a word is shown offline within 30 s and stays listed with its conversation; a message
# written to it while it is away, even one older than the resend hour, arrives as soon as it is back.
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
rig_start 1
rig_start 2
rig_wait_all_on 2
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"
rig_cmd 1 sendChat "$b" "hello"
rig_wait_sql 1 "select status from vesk_chats where peerfrom = '$a'" sent 20

kill -9 "${RIG_PID[2]}"
wait "${RIG_PID[2]}" 2>/dev/null
RIG_PID[2]=""
killed=$(date +%s.%N)
rig_wait_sql 1 "select status from vesk_peers where id = '$b'" off 30
echo "Alice shows Bob offline $(echo "$(date +%s.%N) - $killed" | bc)s after he died"
rig_cmd 1 listPeers
grep -qx "$b" "$(rig_folder 1)/results" || rig_fail "Bob left the list when he went offline: $(cat "$(rig_folder 1)/results")"

rig_cmd 1 sendChat "$b" "written long ago"
id="$(rig_sql 1 "select id from vesk_chats where message = 'written long ago'")"
[ -n "$id" ] || rig_fail "the message was not stored on its author's side"
# As if written two hours ago: past the window of the regular resend.
rig_sql 1 "update vesk_chats set timesent = timesent - 7200000 where id = '$id'"
sleep 6
rig_expect_sql 1 "select status from vesk_chats where id = '$id'" unknown

rig_start 2
rig_wait_sql 2 "select count(*) from vesk_chats where id = '$id'" 1 40
rig_wait_sql 1 "select status from vesk_chats where id = '$id'" sent 20
rig_expect_sql 2 "select message from vesk_chats where id = '$id'" "written long ago"
