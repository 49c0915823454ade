# Alice and Bob, pinned to each other, move files on their stream. A third computer knows Bob's node id (it is
# announced) and the path of Alice's file, so it can compute the offer's id, and sends the transfer's messages in
# plain, naming no node: packets of its own bytes while Bob's download runs, a withdrawal of Bob's next download, a
# "received" for Alice's upload. None of them acts: Bob's file is Alice's, byte for byte, and both rows stay.
rig_lan 3
rig_instance 1 Alice
rig_start 1
rig_instance 2 Bob
rig_start 2
rig_wait_all_on 2
a="$(rig_node_id 1)" b="$(rig_node_id 2)"
rig_wait_sql 1 "select length(identityKey) from vesk_peers where id = '$b'" 64
rig_wait_sql 2 "select length(identityKey) from vesk_peers where id = '$a'" 64
forge="import socket, struct, sys, time
def varint(n):
    out = b''
    while n > 0x7f:
        out, n = out + bytes([n & 0x7f | 0x80]), n >> 7
    return out + bytes([n])
def field(number, value):  # the message's fields, numbered as on the wire
    if isinstance(value, int):
        return bytes([number << 3]) + varint(value)
    data = value.encode() if isinstance(value, str) else value
    return bytes([number << 3 | 2]) + varint(len(data)) + data
def send(message):
    s = socket.create_connection((sys.argv[1], 25001), timeout=5)
    s.sendall(struct.pack('<I', len(message)) + message)
    s.close()
if sys.argv[2] == 'packets':  # for a while, each packet of the file, full of other bytes
    end, size = time.time() + float(sys.argv[5]), int(sys.argv[4])
    while time.time() < end:
        for at in range(0, size, 1000000):
            n = min(1000000, size - at)
            send(field(1, 'receiveDataPacket') + field(4, b'EVIL' * (n // 4)) + field(7, 1) + field(9, sys.argv[3]) +
                 field(11, at))
        time.sleep(0.3)
else:
    send(field(1, sys.argv[2]) + field(9, sys.argv[3]))"
f="$(rig_folder 1)/report.bin"
rig_random_file "$f" 2
# Alice's link is slow, so the download is still running while the third computer sends its packets.
netns_exec 1 tc qdisc add dev eth0 root tbf rate 2mbit burst 16kb latency 400ms || rig_fail "tc failed"
rig_fetch 1 2 "$f"
netns_exec 3 python3 -c "$forge" "$(netns_addr 2)" packets "$id" "$(rig_size "$f")" 6
netns_exec 1 tc qdisc del dev eth0 root
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 60
[ "$(rig_sha "$(rig_downloads 2)/report.bin")" = "$(rig_sha "$f")" ] ||
    rig_fail "Bob's file holds bytes of the third computer"

g="$(rig_folder 1)/notes.txt"
rig_random_file "$g" 1
rig_offer 1 2 "$g"
id="$(rig_upload_id 2 "$g")"
rig_wait_sql 2 "select count(*) from vesk_downloads where id = '$id'" 1
netns_exec 3 python3 -c "$forge" "$(netns_addr 2)" removeFileToGet "$id"
netns_exec 3 python3 -c "$forge" "$(netns_addr 1)" fileTransferComplete "$id"
sleep 3
[ "$(rig_sql 2 "select count(*) from vesk_downloads where id = '$id'")" = 1 ] ||
    rig_fail "a third computer withdrew Alice's offer from Bob"
[ "$(rig_sql 1 "select count(*) from vesk_uploads where id = '$id'")" = 1 ] ||
    rig_fail "a third computer ended Alice's upload as received"
