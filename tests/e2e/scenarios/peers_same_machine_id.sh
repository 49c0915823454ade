# shellcheck shell=bash
# Two computers made from one disk image start with one node id. One of them notices the other using it, takes a
# fresh id of its own (kept across restarts), and both then list each other.
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
conf2="$(rig_home 2)/.config/Tavimor/Vesk.conf"
sed -i "s/^machineId=.*/machineId=$(rig_node_id 1)/" "$conf2"
rig_start 1
rig_start 2
others_on="select count(*) from vesk_peers where status = 'on' and not (ipAddress = '127.0.0.1')"
rig_wait_sql 1 "$others_on" 1 60
rig_wait_sql 2 "$others_on" 1 60
id1="$(sed -n 's/^machineId=//p' "$(rig_home 1)/.config/Tavimor/Vesk.conf")"
id2="$(sed -n 's/^machineId=//p' "$conf2")"
[ "$id1" != "$id2" ] || rig_fail "both still use $id1"
said="$(cat "$(rig_folder 1)/out.log" "$(rig_folder 2)/out.log" | grep -c "uses this computer's node id")"
[ "$said" -ge 1 ] && [ "$said" -le 2 ] || rig_fail "the collision was logged $said times"
# Each lists exactly one other person, the other computer's current id.
rig_expect_sql 1 "select id from vesk_peers where not (ipAddress = '127.0.0.1')" "$id2"
rig_expect_sql 2 "select id from vesk_peers where not (ipAddress = '127.0.0.1')" "$id1"
