# shellcheck shell=bash
# Chat both ways: every message is stored once on each side and marked "sent" on its author's side; the text
# arrives exactly as typed, surrounding spaces, line breaks and markup included.
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
rig_start 1
rig_start 2
rig_wait_all_on 2
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"

to_bob="  hello Bob, <b>this</b> & that  "
to_alice="$(printf 'hi Alice\nsecond line\t')"
rig_cmd 1 sendChat "$b" "$to_bob"
# Bob answers once he has Alice's message, as a person would; his answer clears his unread count for her.
rig_wait_sql 2 "select count(*) from vesk_chats where peerfrom = '$a'" 1
rig_expect_sql 2 "select unreadMessagesCount from vesk_peers where id = '$a'" 1
rig_cmd 2 sendChat "$a" "$to_alice"

rig_wait_sql 1 "select status from vesk_chats where peerfrom = '$a'" sent
rig_wait_sql 2 "select status from vesk_chats where peerfrom = '$b'" sent
id_ab="$(rig_sql 1 "select id from vesk_chats where peerfrom = '$a'")"
id_ba="$(rig_sql 2 "select id from vesk_chats where peerfrom = '$b'")"

for me in 1 2; do
    rig_expect_sql "$me" "select count(*) from vesk_chats" 2
    rig_expect_sql "$me" "select count(*) from vesk_chats where id in ('$id_ab', '$id_ba')" 2
done
hex() { printf '%s' "$1" | od -An -tx1 | tr -d ' \n' | tr 'a-f' 'A-F'; }
rig_expect_sql 1 "select hex(message) from vesk_chats where id = '$id_ab'" "$(hex "$to_bob")"
rig_expect_sql 2 "select hex(message) from vesk_chats where id = '$id_ab'" "$(hex "$to_bob")"
rig_expect_sql 2 "select hex(message) from vesk_chats where id = '$id_ba'" "$(hex "$to_alice")"
rig_expect_sql 1 "select hex(message) from vesk_chats where id = '$id_ba'" "$(hex "$to_alice")"
rig_expect_sql 2 "select peerfrom || '>' || peerto from vesk_chats where id = '$id_ab'" "$a>$b"

# Each side counted the other's message as unread once; writing to a peer clears what it had sent before.
rig_expect_sql 2 "select unreadMessagesCount from vesk_peers where id = '$a'" 0
rig_expect_sql 1 "select unreadMessagesCount from vesk_peers where id = '$b'" 1
