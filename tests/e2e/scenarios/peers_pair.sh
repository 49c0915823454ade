# shellcheck shell=bash
# Two instances find each other, hold each other "on", and exchange avatars: each stores the other's picture in
# its data folder and links it from the peer's row; each also links its own row to a copy of its own picture.
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
rig_start 1
rig_start 2

rig_wait_all_on 2
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"
rig_expect_sql 1 "select alias || '|' || ipAddress || '|' || blocked from vesk_peers where id = '$b'" "Bob|$(netns_addr 2)|no"
rig_expect_sql 2 "select alias || '|' || ipAddress || '|' || blocked from vesk_peers where id = '$a'" "Alice|$(netns_addr 1)|no"

for pair in "1 2" "2 1"; do
    set -- $pair
    me=$1
    other=$2
    expected="$(rig_data "$me")/avatar_$(rig_node_id "$other").png"
    rig_wait_sql "$me" "select avatarPath from vesk_peers where id = '$(rig_node_id "$other")'" "$expected"
    cmp -s "$expected" "$(rig_data "$other")/myavatar.png" ||
        rig_fail "instance $me: the stored avatar of $other differs from $other's own picture"
    own="$(rig_data "$me")/avatar_$(rig_node_id "$me").png"
    rig_wait_sql "$me" "select avatarPath from vesk_peers where id = '$(rig_node_id "$me")'" "$own"
    cmp -s "$own" "$(rig_data "$me")/myavatar.png" || rig_fail "instance $me: its own row links another picture"
done

# Nothing was written outside the data folders.
for me in 1 2; do
    stray="$(find "$(rig_home "$me")" -name 'avatar_*' -not -path "$(rig_data "$me")/*")"
    [ -z "$stray" ] || rig_fail "instance $me: avatar files outside the data folder: $stray"
done
