# A program on Bob's computer (another user there, or anyone behind the same address: a router, a forged source)
# opens a stream to Alice under a node id of its own, from Bob's address. Alice's chat for Bob goes on Bob's own
# stream only: none of it is readable on the other program's stream, and Bob gets it.
ATTACK="$here/lib/vesk_tls_peer.py" MAKE_CERT="$here/lib/make_cert.sh"
rig_pair 2
rig_wait_sql 1 "select length(identityKey) from vesk_peers where id = '$b'" 64
cert="$(rig_folder 2)/evil" && mkdir -p "$cert"
"$MAKE_CERT" "$cert" "{eeeeeeee-0000-4000-8000-000000000001}"
log="$(rig_folder 2)/evil.log"
netns_exec 2 python3 "$ATTACK" dial "$(netns_addr 1)" 25002 "$cert/cert.pem" "$cert/key.pem" "$log" 40 &
rig_until 15 "the attacker's stream did not come up" grep -q "^frame" "$log"
rig_cmd 1 sendChat "$b" "secret for bob 9931"
sleep 5
cat "$log" | cut -c1-200
grep -q "secret for bob 9931" "$log" && rig_fail "the chat for Bob went on the attacker's stream, readable there"
rig_wait_sql 2 "select count(*) from vesk_chats where message = 'secret for bob 9931'" 1
