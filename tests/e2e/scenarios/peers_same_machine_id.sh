# shellcheck shell=bash
# Two computers made from one disk image start with one node id. One of them notices the other using it, takes a
# fresh id of its own (kept across restarts), logs it once, and both then list each other and only each other.
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
sed -i "s/^machineId=.*/machineId=$(rig_node_id 1)/" "$(rig_conf 2)"
rig_start 1
rig_start 2
others="select id from vesk_peers where status = 'on' and not (ipAddress = '127.0.0.1')"
id() { sed -n 's/^machineId=//p' "$(rig_conf "$1")"; }
for _ in $(seq 1 600); do
    [ "$(rig_sql 1 "$others")" = "$(id 2)" ] && [ "$(rig_sql 2 "$others")" = "$(id 1)" ] && break
    sleep 0.1
done
[ "$(id 1)" != "$(id 2)" ] || rig_fail "both still use $(id 1)"
rig_expect_sql 1 "$others" "$(id 2)"
rig_expect_sql 2 "$others" "$(id 1)"
said="$(cat "$(rig_folder 1)/out.log" "$(rig_folder 2)/out.log" | grep -c "uses this computer's node id")"
[ "$said" -ge 1 ] && [ "$said" -le 2 ] || rig_fail "the collision was logged $said times"
