# Chat both ways: every message is stored once on each side and marked "sent" on its author's side; the text
# arrives exactly as typed, surrounding spaces, line breaks and markup included; unread counts follow.
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
