# shellcheck shell=bash
# A profile change reaches the peer with the next announcement cycle: the new alias lands in the peer's row and
# the new picture in its data folder.
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
rig_start 1
rig_start 2
rig_wait_all_on 2
a="$(rig_node_id 1)"
stored_at_bob="$(rig_data 2)/avatar_$a.png"
rig_wait_sql 2 "select avatarPath from vesk_peers where id = '$a'" "$stored_at_bob"

rig_cmd 1 changeUserInfo "Alice Renamed" "$(rig_sample_avatar 7)"
rig_expect_sql 1 "select alias from vesk_peers where id = '$a'" "Alice Renamed"
grep -q '^userAlias=Alice Renamed$' "$(rig_home 1)/.config/Tavimor/Vesk.conf" || rig_fail "the new alias was not kept"
# The own row links the stored copy of the new picture once this instance has answered itself.
for _ in $(seq 1 100); do
    cmp -s "$(rig_data 1)/avatar_$a.png" "$(rig_data 1)/myavatar.png" && break
    sleep 0.1
done
cmp -s "$(rig_data 1)/avatar_$a.png" "$(rig_data 1)/myavatar.png" || rig_fail "the own row's picture is not the new one"

# A new announcement cycle starts with a refresh of the peers.
rig_cmd 1 refreshPeers
rig_wait_sql 2 "select alias from vesk_peers where id = '$a'" "Alice Renamed"
for _ in $(seq 1 200); do
    cmp -s "$stored_at_bob" "$(rig_data 1)/myavatar.png" && break
    sleep 0.1
done
cmp -s "$stored_at_bob" "$(rig_data 1)/myavatar.png" || rig_fail "Bob did not receive Alice's new picture"
rig_wait_all_on 2
