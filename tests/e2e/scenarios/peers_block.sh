# A block stops the blocked peer's messages: neither stored nor confirmed, they stay "unknown" on the author's
# side; unblocking lets the resend deliver them. (That a blocked peer is answered only about once per announcement,
# never confirmed, is tst_peerrecords' addMeRequestAnswers.)
rig_pair
# Blocking asks for confirmation in a dialog; the rig sets the flag the dialog would set.
rig_sql 1 "update vesk_peers set blocked = 'yes' where id = '$b'"
rig_cmd 2 sendChat "$a" "let me in"
sleep 7 # the first send and at least one resend
rig_expect_sql 2 "select status from vesk_chats" unknown
rig_expect_sql 1 "select count(*) || '|' || (select unreadMessagesCount from vesk_peers where id = '$b')
    from vesk_chats" "0|0"
rig_cmd 1 unblockUser "$b"
rig_wait_sql 2 "select status from vesk_chats" sent 20
rig_expect_sql 1 "select message from vesk_chats" "let me in"
