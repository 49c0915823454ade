# The receiver's computer gets a new address mid-download (a DHCP lease renewed with another address, a laptop
# moved to another socket), while both write a chat. Without a click: the chats are delivered, the download goes on
# to a bit-exact end, and Alice knows Bob at his new address.
rig_pair
files="$(rig_folder 1)/files" got="$(rig_downloads 2)/clip.bin" mib=$((1024 * 1024))
mkdir -p "$files"
rig_random_file "$files/clip.bin" 24
netns_exec 1 tc qdisc add dev eth0 root tbf rate 16mbit burst 64kb latency 200ms || rig_fail "tc failed"
rig_fetch 1 2 "$files/clip.bin"
rig_wait_size "$got.part" $((2 * mib)) 60

moved=$SECONDS
netns_exec 2 ip addr del "$(netns_addr 2)/24" dev eth0
netns_exec 2 ip addr add "$(netns_addr 12)/24" brd + dev eth0
netns_exec 2 ip route replace default dev eth0
rig_cmd 2 sendChat "$a" "written to Alice from the new address"
rig_cmd 1 sendChat "$b" "written to Bob after he moved"
for me in 1 2; do
    rig_wait_sql "$me" "select group_concat(status) from vesk_chats where peerfrom = '$(rig_node_id "$me")'" sent 60
done
echo "chats delivered $((SECONDS - moved))s after the move"
rig_wait_sql 1 "select ipAddress from vesk_peers where id = '$b'" "$(netns_addr 12)" 30
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 120
echo "download ended $((SECONDS - moved))s after the move"
cmp -s "$files/clip.bin" "$got" || rig_fail "the received file differs"
