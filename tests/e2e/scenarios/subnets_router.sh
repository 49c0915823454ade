# Two subnets joined by a router that forwards no broadcast: Alice on one, Bob on the other. Alone, discovery
# never crosses; with Bob's subnet in Alice's other networks they meet, chat and exchange a file. Each then
# remembers the other beyond its own subnet, so after both restart, with the list emptied, they meet again.
netns_two_subnets 1 1 || rig_fail "could not build two subnets joined by a router"
trap 'rig_cleanup; netns_teardown' EXIT
a="$(rig_node_id 1)" b="$(rig_node_id 2)"
rig_instance 1 Alice
rig_instance 2 Bob
rig_start 1
rig_start 2
others() { rig_sql "$1" "select count(*) from vesk_peers where id != '$(rig_node_id "$1")'"; }
# Their first announcements leave at once; what could cross would have crossed well within this.
sleep 8
rig_expect "$(others 1)|$(others 2)" "0|0" "peers known to Alice|Bob with nothing set"

rig_cmd 1 setOtherNetworks "$NETNS_SUBNET_B.0/24"
rig_until 5 "the list was not stored" grep -q "^otherNetworks=$NETNS_SUBNET_B.0/24$" "$(rig_conf 1)"
# Announcements to Bob's subnet go address by address over the round; Bob answers Alice across the router.
rig_wait_all_on 2 30
rig_expect_sql 1 "select alias || '|' || ipAddress from vesk_peers where id = '$b'" "Bob|$(netns_addr 2)"
rig_expect_sql 2 "select alias || '|' || ipAddress from vesk_peers where id = '$a'" "Alice|$(netns_addr 1)"

rig_cmd 2 sendChat "$a" "hello from the other floor"
rig_wait_sql 2 "select status from vesk_chats where peerfrom = '$b'" sent
rig_wait_sql 1 "select message from vesk_chats where peerfrom = '$b'" "hello from the other floor"
files="$(rig_folder 1)/files"
mkdir -p "$files"
rig_random_file "$files/plans.bin" 3
rig_fetch 1 2 "$files/plans.bin"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 60
[ "$(rig_sha "$(rig_downloads 2)/plans.bin")" = "$(rig_sha "$files/plans.bin")" ] || rig_fail "the file arrived altered"

# Neither keeps a list now: they find each other again only because each remembers the other's address.
rig_cmd 1 setOtherNetworks " " # (an empty argument does not survive the command line)
no_list() { ! grep -q '^otherNetworks' "$(rig_conf 1)"; }
rig_until 5 "an empty list was kept" no_list
rig_stop 1
rig_stop 2
rig_start 2
rig_start 1
# Once each has started (and so marked every stored peer off) they must find each other anew.
rig_cmd 1 listPeers
rig_cmd 2 listPeers
rig_wait_all_on 2 30
rig_cmd 1 listPeers
grep -qxF "$b" "$(rig_folder 1)/results" || rig_fail "Alice's people list does not show Bob"
