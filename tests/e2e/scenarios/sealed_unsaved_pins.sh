# A third computer holds streams to Alice under many fresh node ids (32 addresses of its own, 4 each: as many as
# one address may hold of nodes that are no peer yet) and never says a word on them. That fills every place kept
# for such nodes. A Vesk computer that meets Alice for the first time meanwhile still gets its stream (the oldest
# silent one gives way): the two come "on" and talk.
CROWD="$here/lib/vesk_crowd.py"
rig_lan 3
rig_instance 1 Alice
rig_start 1
a="$(rig_node_id 1)" b="$(rig_node_id 2)"
rig_wait_sql 1 "select status from vesk_peers where id = '$a'" on
sources="$(netns_add_addresses 3 100 131)" || rig_fail "the crowd's addresses could not be added"
status="$(rig_folder 1)/crowd.status"
netns_exec 3 python3 "$CROWD" "$(netns_addr 1)" 25002 "$sources" 4 150 silent "$status" &
crowd=$!
rig_until 90 "the silent streams did not come up" rig_file_is "$status" 128
rig_instance 2 Bob
rig_start 2
rig_wait_all_on 2 40
rig_cmd 2 sendChat "$a" "hello from a newcomer"
rig_wait_sql 1 "select count(*) from vesk_chats where message = 'hello from a newcomer'" 1
rig_expect_sql 1 "select length(identityKey) from vesk_peers where id = '$b'" 64
kill "$crowd"
