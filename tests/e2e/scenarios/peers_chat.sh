# A peer dead without a word shows offline within 30 s, and stays listed once written to. The message written to
# it meanwhile goes once it is back, also when older than the hour the regular resend covers.
rig_pair
rig_kill 2
rig_wait_sql 1 "select status from vesk_peers where id = '$b'" off 30
rig_cmd 1 sendChat "$b" "written long ago"
rig_cmd 1 listPeers
grep -qx "$b" "$(rig_folder 1)/results" || rig_fail "Bob left the list when he went offline"
rig_sql 1 "update vesk_chats set timesent = timesent - 7200000 where message = 'written long ago'"
rig_start 2
rig_wait_sql 2 "select count(*) from vesk_chats where message = 'written long ago'" 1 40
rig_wait_sql 1 "select status from vesk_chats where message = 'written long ago'" sent 20
