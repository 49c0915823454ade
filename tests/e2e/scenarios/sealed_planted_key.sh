# A third computer dials Alice under Bob's node id with a key of its own while Bob's own key is connected: it is
# refused, and Alice keeps no "changed key" for Bob to be accepted (one click would make the third computer Bob).
ATTACK="$here/lib/vesk_tls_peer.py" MAKE_CERT="$here/lib/make_cert.sh"
rig_pair 3
rig_wait_sql 1 "select length(identityKey) from vesk_peers where id = '$b'" 64
cert="$(rig_folder 3)/evil" && mkdir -p "$cert"
"$MAKE_CERT" "$cert" "$b"
netns_exec 3 python3 "$ATTACK" dial "$(netns_addr 1)" 25002 "$cert/cert.pem" "$cert/key.pem" "$cert/log" 5
cat "$cert/log"
rig_cmd 1 sendChat "$b" "still to bob"
rig_wait_sql 2 "select count(*) from vesk_chats where message = 'still to bob'" 1
rig_cmd 2 sendChat "$a" "bob still talks"
rig_wait_sql 1 "select count(*) from vesk_chats where message = 'bob still talks'" 1
pending="$(rig_sql 1 "select coalesce(pendingKey, '') from vesk_peers where id = '$b'")"
echo "Bob's pending key at Alice: '$pending'"
[ -z "$pending" ] || rig_fail "a third computer set a pending changed key for Bob while Bob's pinned stream is up"
