# The owner's switch port goes down for 30 s mid-download (its link shaped, so the file is still on its way) while
# both write a chat. Each shows the other offline within seconds, online again within 10 s of the port's return
# (TCP would sit out its retransmission backoff, up to half a minute, before the stream spoke again); the chats are
# delivered and the download goes on by itself to a bit-exact end.
rig_pair
files="$(rig_folder 1)/files" got="$(rig_downloads 2)/clip.bin" port=port1 mib=$((1024 * 1024))
mkdir -p "$files"
rig_random_file "$files/clip.bin" 24
netns_exec 1 tc qdisc add dev eth0 root tbf rate 16mbit burst 64kb latency 200ms || rig_fail "tc failed"
rig_fetch 1 2 "$files/clip.bin"
rig_wait_size "$got.part" $((2 * mib)) 60

ip -n "$(netns_bridge_name)" link set "$port" down
down=$SECONDS
rig_cmd 2 sendChat "$a" "written to Alice while her cable was out"
rig_cmd 1 sendChat "$b" "written to Bob while the cable was out"
rig_wait_sql 2 "select status from vesk_peers where id = '$a'" off 20
rig_wait_sql 1 "select status from vesk_peers where id = '$b'" off 20
echo "both offline $((SECONDS - down))s after the port went down"
[ "$(rig_size "$got.part")" -lt $((24 * mib)) ] || rig_fail "the file arrived before the port went down"
sleep $((30 - (SECONDS - down)))

ip -n "$(netns_bridge_name)" link set "$port" up
up=$SECONDS
rig_wait_all_on 2 10
echo "both online again $((SECONDS - up))s after the port came back"
for me in 1 2; do
    rig_wait_sql "$me" "select group_concat(status) from vesk_chats where peerfrom = '$(rig_node_id "$me")'" sent 30
done
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 120
cmp -s "$files/clip.bin" "$got" || rig_fail "the received file differs"
rig_wait_sql 1 "select count(*) from vesk_uploads" 0
