# Offline delivery. A message written while the recipient is stopped goes out with the regular resend once it is
# back, and is stored and counted there once. A peer that dies without a word is shown offline within 30 s and
# stays listed; a message to it older than the resend hour still arrives as soon as it is back.
rig_pair
rig_stop 2
rig_cmd 1 sendChat "$b" "written while you were away"
sleep 6 # at least one resend goes to the closed port
rig_expect_sql 1 "select status from vesk_chats" unknown
rig_start 2
rig_wait_sql 1 "select status from vesk_chats" sent 20
sleep 6 # a further resend cycle: nothing more arrives
rig_expect_sql 2 "select message || '|' || peerfrom from vesk_chats" "written while you were away|$a"
rig_expect_sql 2 "select unreadMessagesCount from vesk_peers where id = '$a'" 1
rig_wait_all_on 2

rig_kill 2
rig_wait_sql 1 "select status from vesk_peers where id = '$b'" off 30
rig_cmd 1 listPeers
grep -qx "$b" "$(rig_folder 1)/results" || rig_fail "Bob left the list when he went offline"
rig_cmd 1 sendChat "$b" "written long ago"
rig_sql 1 "update vesk_chats set timesent = timesent - 7200000 where message = 'written long ago'"
rig_start 2
rig_wait_sql 2 "select count(*) from vesk_chats where message = 'written long ago'" 1 40
rig_wait_sql 1 "select count(*) from vesk_chats where status = 'sent'" 2 20
