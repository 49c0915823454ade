# Bob's downloads folder is a 5 MiB tmpfs. 20 MiB is paused before a byte is asked, the space lacking on its row
# and in the log; 4 MiB fits, the disk fills while it arrives: paused with its reason, and removing it removes what
# it wrote. A file paused for the full disk goes on by itself once space is freed. Read-only, the folder gives its
# own reason. Bob's program runs on throughout.
# Mounted before Bob starts: his program runs in a mount namespace of its own, copied from this one at its start.
rig_lan 2
rig_instance 1 Alice
rig_instance 2 Bob
files="$(rig_folder 1)/files" dl="$(rig_downloads 2)"
mkdir -p "$files" "$dl"
mount -t tmpfs -o size=5m vesk-e2e-disk "$dl" || rig_fail "could not mount a tmpfs on $dl"
trap 'umount -l "$dl" 2>/dev/null; rig_cleanup; netns_teardown' EXIT
rig_start 1
rig_start 2
rig_wait_all_on 2

# paused_for N PATTERN: Bob's log has logged N pauses for the disk, the last one matching PATTERN.
paused_for() { RIG_GOT="$(rig_log 2 | grep 'Download paused: ' | tail -n 1)" &&
    [ "$(rig_log 2 | grep -c 'Download paused: ')" = "$1" ] && grep -qE "$2" <<<"$RIG_GOT"; }
# The reason Bob's row shows for the download $id.
row_says() {
    rm -f "$(rig_folder 2)/results"
    rig_cmd 2 ask downloadProblem "$id"
    rig_until 5 "Bob's row gave no reason" grep -qE "$1" "$(rig_folder 2)/results"
}
still_running() { rig_running 2 || rig_fail "Bob's program ended"; }

rig_random_file "$files/big.bin" 20
rig_fetch 1 2 "$files/big.bin"
rig_until 20 "no pause for the space" paused_for 1 "Not enough space in VeskDownloads: 1[56]\.[0-9] MB more needed"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown
row_says "^Not enough space in VeskDownloads: 1[56]\.[0-9] MB more needed"
[ -z "$(ls -A "$dl")" ] || rig_fail "files were made though nothing fits: $(ls -A "$dl")"
rig_log 2 | grep -q "requesting \"$id\"" && rig_fail "bytes were asked for"
still_running

# The owner's link is shaped so that the file is still arriving when the disk fills.
netns_exec 1 tc qdisc add dev eth0 root tbf rate 8mbit burst 64kb latency 200ms || rig_fail "tc failed"
rig_random_file "$files/mid.bin" 4
rig_fetch 1 2 "$files/mid.bin"
rig_wait_size "$dl/mid.bin.part" $((1024 * 1024)) 30
head -c $((5 * 1024 * 1024)) /dev/zero >"$dl/filler" 2>/dev/null
rig_until 30 "no pause when the disk filled" paused_for 2 "Not enough space in VeskDownloads"
rig_log 2 | grep -q "error writing.*mid.bin.part.*No space left on device" || rig_fail "the log does not say why the write failed"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown
row_says "^Not enough space in VeskDownloads"
part="$(rig_size "$dl/mid.bin.part")"
[ "$part" -gt 0 ] && [ "$part" -lt $((4 * 1024 * 1024)) ] || rig_fail "the partial file holds $part bytes"
still_running
rig_cmd 2 deleteFileToDownload "$id"
rig_until 10 "the partial file stayed" test ! -e "$dl/mid.bin.part"
rig_wait_sql 1 "select count(*) from vesk_uploads where id = '$id'" 0
still_running

# The disk full again: a file that does not fit waits, and goes on by itself once space is freed, with no click.
cat /dev/zero >>"$dl/filler" 2>/dev/null
rig_random_file "$files/late.bin" 2
rig_fetch 1 2 "$files/late.bin"
rig_until 20 "no pause for the full disk" paused_for 3 "Not enough space in VeskDownloads"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown
rm -f "$dl/filler"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 40
cmp -s "$files/late.bin" "$dl/late.bin" || rig_fail "the download that went on by itself differs from its file"
rm -f "$dl/late.bin"

mount -o remount,ro "$dl" || rig_fail "could not make the tmpfs read-only"
rig_random_file "$files/small.bin" 1
rig_fetch 1 2 "$files/small.bin"
rig_until 20 "no pause for the read-only folder" paused_for 4 "VeskDownloads is on a read-only disk"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown
row_says "read-only disk"
still_running
