# A slow link (2 Mbit/s, where one 1,000,000-byte packet takes four seconds): the download is not given up for
# quiet seconds, each packet crosses once (a request asked again at every quiet tick queued copies behind the
# answer on the way, and the file stopped growing), and the file ends bit-exact.
rig_pair
files="$(rig_folder 1)/files" got="$(rig_downloads 2)/clip.bin"
mkdir -p "$files"
rig_random_file "$files/clip.bin" 4
for i in 1 2; do
    netns_exec "$i" tc qdisc add dev eth0 root tbf rate 2mbit burst 32kb latency 300ms || rig_fail "tc failed"
done
rig_fetch 1 2 "$files/clip.bin"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 120
cmp -s "$files/clip.bin" "$got" || rig_fail "the received file differs"
served="$(rig_log 1 | grep -c '^serving')"
rig_expect "$served" 5 "packets served for a file of five"
