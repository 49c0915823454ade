# shellcheck shell=bash
# A block stops the blocked peer's messages: they are neither stored nor confirmed, so they stay "unknown" on the
# author's side. Unblocking restores the exchange: the pending message is delivered by the resend and confirmed.
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
rig_start 1
rig_start 2
rig_wait_all_on 2
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"

# Blocking asks for confirmation in a dialog; the rig sets the flag the dialog would set.
rig_sql 1 "update vesk_peers set blocked = 'yes' where id = '$b'"
rig_cmd 2 sendChat "$a" "let me in"
id="$(rig_sql 2 "select id from vesk_chats where peerfrom = '$b'")"
sleep 7 # the first send and at least one resend
rig_expect_sql 2 "select status from vesk_chats where id = '$id'" unknown
rig_expect_sql 1 "select count(*) from vesk_chats" 0
rig_expect_sql 1 "select unreadMessagesCount from vesk_peers where id = '$b'" 0

rig_cmd 1 unblockUser "$b"
rig_expect_sql 1 "select blocked from vesk_peers where id = '$b'" no
rig_wait_sql 1 "select count(*) from vesk_chats where id = '$id'" 1 20
rig_wait_sql 2 "select status from vesk_chats where id = '$id'" sent 20
rig_expect_sql 1 "select count(*) from vesk_chats" 1

rig_cmd 1 sendChat "$b" "welcome back"
rig_wait_sql 1 "select status from vesk_chats where peerfrom = '$a'" sent
rig_expect_sql 2 "select count(*) from vesk_chats where peerfrom = '$a'" 1
