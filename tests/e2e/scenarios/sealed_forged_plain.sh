# Before Alice and Bob (both running this version) first meet, a third computer announces each one's node id
# from its own address, where nothing listens on the stream port. Its dial failing there says nothing of the
# real Alice or Bob: once they meet they make their stream, pin each other's key, and talk sealed.
rig_lan 3
a="$(rig_node_id 1)" b="$(rig_node_id 2)"
forge="import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
end, n = time.time() + float(sys.argv[2]), 0
while time.time() < end:
    for who in sys.argv[3:]:
        s.sendto(('%s|Linux|x%d' % (who, n)).encode(), (sys.argv[1], 45000))
    n += 1
    time.sleep(0.2)"
netns_exec 3 python3 -c "$forge" "$(netns_broadcast)" 12 "$a" "$b" &
forger=$!
sleep 1
rig_instance 1 Alice
rig_start 1
sleep 3
rig_instance 2 Bob
rig_start 2
wait "$forger"
rig_wait_all_on 2 40
rig_wait_sql 1 "select length(identityKey) from vesk_peers where id = '$b'" 64 30
rig_wait_sql 2 "select length(identityKey) from vesk_peers where id = '$a'" 64 5
