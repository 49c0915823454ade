# While Bob is away, a third computer fills Alice's stream table with streams under fresh node ids from 32
# addresses of its own (16 each, the limit per address), each sending a handshake so that it has a row and a pin
# like any peer. Bob, Alice's peer for long, comes back: his stream must still find room, and his chat reach her.
CROWD="$here/lib/vesk_crowd.py"
rig_pair 3
rig_wait_sql 1 "select length(identityKey) from vesk_peers where id = '$b'" 64
rig_stop 2
rig_stop 3
sources="$(netns_add_addresses 3 100 131)" || rig_fail "the crowd's addresses could not be added"
status="$(rig_folder 1)/crowd.status"
netns_exec 3 python3 "$CROWD" "$(netns_addr 1)" 25002 "$sources" 16 240 handshake "$status" &
crowd=$!
rig_until 150 "the crowd's streams did not come up" rig_file_is "$status" 512
rig_wait_sql 1 "select count(*) from vesk_peers where id like '{c0ffee00-%' and identityKey is not null" 512 30
rig_start 2
rig_cmd 2 sendChat "$a" "bob is back"
rig_wait_sql 1 "select count(*) from vesk_chats where message = 'bob is back'" 1 60
kill "$crowd"
