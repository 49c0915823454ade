# Impostors around the pinned pair Alice and Bob. A program on Bob's computer (another user there, or anyone
# behind the same address: a router, a forged source) opens a stream to Alice under a node id of its own, from
# Bob's address; a third computer dials Alice under Bob's node id with a key of its own while Bob's own key is
# connected. Alice's chat for Bob goes on Bob's own stream only, none of it readable on the other program's stream;
# the third computer is refused, and Alice keeps no "changed key" for Bob to be accepted (one click would make it
# Bob). Then, while Alice starts again (no stream with Bob yet), host 3 announces Bob's node id from its own address
# and relays its port 25002 to Bob's: Bob stays where his stream came from, Alice dials him there, not at the relay.
ATTACK="$here/lib/vesk_tls_peer.py" MAKE_CERT="$here/lib/make_cert.sh"
rig_pair 3
rig_wait_sql 1 "select length(identityKey) from vesk_peers where id = '$b'" 64
shared="$(rig_folder 2)/evil" planted="$(rig_folder 3)/evil"
mkdir -p "$shared" "$planted"
"$MAKE_CERT" "$shared" "{eeeeeeee-0000-4000-8000-000000000001}"
"$MAKE_CERT" "$planted" "$b"
netns_exec 2 python3 "$ATTACK" dial "$(netns_addr 1)" 25002 "$shared/cert.pem" "$shared/key.pem" "$shared/log" 30 &
rig_until 15 "the attacker's stream did not come up" grep -q "^frame" "$shared/log"
netns_exec 3 python3 "$ATTACK" dial "$(netns_addr 1)" 25002 "$planted/cert.pem" "$planted/key.pem" "$planted/log" 5
cat "$planted/log"
rig_cmd 1 sendChat "$b" "secret for bob 9931"
rig_wait_sql 2 "select count(*) from vesk_chats where message = 'secret for bob 9931'" 1
rig_cmd 2 sendChat "$a" "bob still talks"
rig_wait_sql 1 "select count(*) from vesk_chats where message = 'bob still talks'" 1
sleep 3
cut -c1-200 "$shared/log"
grep -q "secret for bob 9931" "$shared/log" && rig_fail "the chat for Bob went on the attacker's stream, readable there"
pending="$(rig_sql 1 "select coalesce(pendingKey, '') from vesk_peers where id = '$b'")"
[ -z "$pending" ] || rig_fail "a third computer set a pending changed key for Bob while Bob's pinned stream is up"

rig_stop 3 # its port 25002 becomes the relay's
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
