# shellcheck shell=bash
# Three instances on one LAN all hold each other "on" and hold each other's avatars.
rig_lan 3
for i in 1 2 3; do
    rig_instance "$i" "Host $i"
    rig_start "$i"
done
rig_wait_all_on 3
for me in 1 2 3; do
    for other in 1 2 3; do
        [ "$me" = "$other" ] && continue
        rig_wait_sql "$me" "select avatarPath from vesk_peers where id = '$(rig_node_id "$other")'" \
            "$(rig_data "$me")/avatar_$(rig_node_id "$other").png"
        rig_expect_sql "$me" "select alias from vesk_peers where id = '$(rig_node_id "$other")'" "Host $other"
    done
done
