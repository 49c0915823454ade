# shellcheck shell=bash
# A message written while its recipient is not running stays unconfirmed, is delivered by the resend once the
# recipient is back (well within the resend hour), and is stored and counted there exactly once.
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
rig_start 1
rig_start 2
rig_wait_all_on 2
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"

rig_stop 2
rig_cmd 1 sendChat "$b" "written while you were away"
id="$(rig_sql 1 "select id from vesk_chats where peerfrom = '$a'")"
[ -n "$id" ] || rig_fail "the message was not stored on its author's side"
sleep 6 # at least one resend goes to the closed port
rig_expect_sql 1 "select status from vesk_chats where id = '$id'" unknown
rig_expect_sql 2 "select count(*) from vesk_chats" 0

rig_start 2
rig_wait_sql 2 "select count(*) from vesk_chats where id = '$id'" 1 20
rig_wait_sql 1 "select status from vesk_chats where id = '$id'" sent 20
sleep 6 # a further resend cycle: nothing more arrives
rig_expect_sql 2 "select count(*) from vesk_chats" 1
rig_expect_sql 2 "select message || '|' || peerfrom from vesk_chats where id = '$id'" "written while you were away|$a"
rig_expect_sql 2 "select unreadMessagesCount from vesk_peers where id = '$a'" 1
