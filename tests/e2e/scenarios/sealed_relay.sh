# While Alice starts again (no stream with Bob yet), host 3 announces Bob's node id from its own address and relays
# its port 25002 to Bob's. Bob stays where his stream came from: Alice dials him there, not at the relay.
ATTACK="$here/lib/vesk_tls_peer.py"
rig_lan 3
rig_instance 1 Alice && rig_start 1
rig_instance 2 Bob && rig_start 2
rig_wait_all_on 2 60
rig_wait_sql 1 "select length(identityKey) from vesk_peers where id = '$(rig_node_id 2)'" 64
a="$(rig_node_id 1)" b="$(rig_node_id 2)"
rig_stop 1
netns_exec 3 python3 "$ATTACK" relay 25002 "$(netns_addr 2)" 25002 90 &
netns_exec 3 bash -c 'for i in $(seq 1 100); do printf "%s|Evil OS|Bob" "$0" >/dev/udp/"$1"/45000; sleep 0.1; done' \
    "$b" "$(netns_addr 1)" &
rig_start 1
sleep 15
rig_log 1 | grep "stream up with" | head
where="$(rig_sql 1 "select ipAddress from vesk_peers where id = '$b'")"
echo "Bob's address at Alice: $where"
[ "$where" = "$(netns_addr 2)" ] || rig_fail "pinned Bob was moved to $where by a forged announcement and a relay"
