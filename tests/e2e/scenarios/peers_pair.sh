# Three instances find each other, hold each other "on" with alias and address, and exchange avatars: each stores
# the others' pictures in its data folder (and nowhere else) and links them from their rows. A new name and picture
# reach the others at once.
rig_pair 3
for me in 1 2 3; do
    for other in 1 2 3; do
        id="$(rig_node_id "$other")" stored="$(rig_data "$me")/avatar_$(rig_node_id "$other").png"
        rig_wait_sql "$me" "select avatarPath from vesk_peers where id = '$id'" "$stored"
        cmp -s "$stored" "$(rig_data "$other")/myavatar.png" || rig_fail "instance $me holds another picture of $other"
        [ "$me" = "$other" ] && continue
        rig_expect_sql "$me" "select alias || '|' || ipAddress from vesk_peers where id = '$id'" \
            "$(sed -n 's/^userAlias=//p' "$(rig_conf "$other")")|$(netns_addr "$other")"
    done
    stray="$(find "$(rig_home "$me")" -name 'avatar_*' -not -path "$(rig_data "$me")/*")"
    [ -z "$stray" ] || rig_fail "instance $me: avatar files outside the data folder: $stray"
done

rig_cmd 1 changeUserInfo "Alice Renamed" "$(rig_sample_avatar 7)"
grep -q '^userAlias=Alice Renamed$' "$(rig_conf 1)" || rig_fail "the new alias was not kept"
cmp -s "$(rig_data 1)/myavatar.png" "$(rig_sample_avatar 1)" && rig_fail "Alice's picture did not change"
rig_cmd 1 refreshPeers
# Looking for people again shows nobody offline meanwhile: the others are asked while they stay listed as online.
rig_expect_sql 1 "select count(*) from vesk_peers where status = 'on' and id != '$a'" 2
rig_wait_sql 2 "select alias from vesk_peers where id = '$a'" "Alice Renamed"
# A new name makes a peer already "on" ask for the picture again at once.
rig_until 20 "Bob did not receive Alice's new picture" cmp -s "$(rig_data 2)/avatar_$a.png" "$(rig_data 1)/myavatar.png"
