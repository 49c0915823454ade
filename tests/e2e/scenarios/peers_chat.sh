# Chat both ways: each message stored once a side, "sent" on its author's, text exactly as typed; unread counts
# follow. A message to a stopped peer goes with the resend once it is back, stored and counted once. A peer dead
# without a word shows offline within 30 s, stays listed, and gets a message older than the resend hour when back.
rig_pair
to_bob="  hello Bob, <b>this</b> & that  "
to_alice="$(printf 'hi Alice\nsecond line\t')"
rig_cmd 1 sendChat "$b" "$to_bob"
rig_wait_sql 2 "select count(*) from vesk_chats where peerfrom = '$a'" 1
rig_wait_sql 2 "select unreadMessagesCount from vesk_peers where id = '$a'" 1
rig_cmd 2 sendChat "$a" "$to_alice"
rig_wait_sql 1 "select status from vesk_chats where peerfrom = '$a'" sent
rig_wait_sql 2 "select status from vesk_chats where peerfrom = '$b'" sent

hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n' | tr 'a-f' 'A-F'; }
for me in 1 2; do
    rig_expect_sql "$me" "select group_concat(peerfrom || '>' || peerto || ':' || hex(message), ' ') from
        (select * from vesk_chats order by peerfrom)" "$a>$b:$(hex "$to_bob") $b>$a:$(hex "$to_alice")"
done
# Writing to a peer clears what it had sent before; the other side still counts one unread.
rig_expect_sql 2 "select unreadMessagesCount from vesk_peers where id = '$a'" 0
rig_expect_sql 1 "select unreadMessagesCount from vesk_peers where id = '$b'" 1

away="written while you were away"
rig_stop 2
rig_cmd 1 sendChat "$b" "$away"
sleep 6 # at least one resend goes to the closed port
rig_expect_sql 1 "select status from vesk_chats where message = '$away'" unknown
rig_start 2
rig_wait_sql 1 "select status from vesk_chats where message = '$away'" sent 20
sleep 6 # a further resend cycle: nothing more arrives
rig_expect_sql 2 "select peerfrom from vesk_chats where message = '$away'" "$a"
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
rig_wait_sql 1 "select status from vesk_chats where message = 'written long ago'" sent 20
