# A crowd of light peers (one process, an address each) announces at once against one instance: all "on" both
# ways within seconds, every chat answered (speed: bench/peers_storm.sh), every avatar stored, and each picture
# asked for only when its peer came online and at most once per 10 s after, however often the peer confirms.
crowd_bin="$(dirname "$RIG_BIN")/bench/peercrowd"
[ -x "$crowd_bin" ] || rig_fail "no peercrowd beside vesk: configure with VESK_BUILD_BENCH=ON"
n=30
rig_lan 2
for a in $(seq 3 $((n + 1))); do
    ip -n "$(netns_name 2)" addr add "$(netns_addr "$a")/24" brd "$(netns_broadcast)" dev eth0
done
rig_instance 1 Office
rig_start 1
me="$(rig_node_id 1)"
rig_wait_sql 1 "select status from vesk_peers where id = '$me'" on

log="$(rig_folder 1)/crowd.log"
netns_exec 2 "$crowd_bin" --target "$(netns_addr 1)" --first "$(netns_addr 2)" --count "$n" \
    --avatar "$(rig_sample_avatar 2)" --duration 26 --chat-ms 250 --broadcast "$(netns_broadcast)" >"$log" 2>&1 &
crowd=$!
rig_wait_sql 1 "select count(*) from vesk_peers where status = 'on' and id != '$me'" "$n" 10
rig_wait_sql 1 "select count(*) from vesk_peers where avatarPath like '%avatar_{c0c0c0c0-%'" "$n" 10
wait "$crowd"
rig_running 1 || rig_fail "the instance ended during the storm"

read -r _ sent answered _ avatars <<<"$(grep '^end ' "$log")"
rig_expect "$(grep -c '^on ' "$log")" "$n" "peers holding the instance on"
[ "${sent:-0}" -ge 40 ] || rig_fail "the crowd sent only ${sent:-0} chats"
# A chat refused in the storm is sent again, as an instance would; the crowd waits for the last answers.
rig_expect "$answered" "$sent" "chats answered"
# Each peer confirms the instance at every announcement of its it hears (11 in 20 s); the picture is asked for
# at most once per 10 s in that time.
[ "${avatars:-999}" -le $((3 * n)) ] || rig_fail "the instance asked $n peers $avatars times for their avatar"
rig_expect_sql 1 "select count(distinct id) from vesk_chats where peerfrom like '{c0c0c0c0-%'" "$sent"
