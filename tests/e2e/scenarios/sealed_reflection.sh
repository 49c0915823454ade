# A computer without Vesk announces Alice's own node id and passes whatever connects to its stream port back to
# Alice's own: her look for a copy of herself meets her own stream. She recognises it as her own, and keeps her
# node id and her identity key.
rig_lan 2
rig_instance 1 Alice && rig_start 1
a="$(rig_node_id 1)"
rig_until 30 "Alice made no key" test -s "$(rig_data 1)/identity.key"
key_before="$(rig_sha "$(rig_data 1)/identity.key")"
netns_exec 2 python3 "$here/lib/vesk_tls_peer.py" relay 25002 "$(netns_addr 1)" 25002 40 &
# Alice looks for a copy at an address once a minute at most: the relay must be there when she does.
rig_until 20 "the relay did not start" bash -c "ip netns exec '$(netns_name 2)' ss -Hltn | grep -q ':25002 '"
netns_exec 2 bash -c 'printf "%s|Evil OS|Twin" "$0" >/dev/udp/"$1"/45000' "$a" "$(netns_addr 1)"
rig_until 20 "Alice did not recognise her own stream" bash -c "grep -q 'come back to it' '$(rig_folder 1)/out.log'"
sleep 2
rig_running 1 || rig_fail "Alice stopped"
[ "$(rig_sha "$(rig_data 1)/identity.key")" = "$key_before" ] || rig_fail "Alice's identity key file was replaced"
grep -q "^machineId=$a" "$(rig_conf 1)" || rig_fail "Alice's node id changed"
