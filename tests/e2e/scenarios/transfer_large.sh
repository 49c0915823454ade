# A sparse file of 4.25 GiB (random blocks around 2 GiB, 4 GiB and the end), its size and offsets in the 64-bit
# fields, sealed. The receiver, killed past 4 GiB, goes on by itself at the size on disk and ends with exactly the
# owner's blocks, zeros between and the owner's size. It writes every byte (4.25 GiB): both files go at the end.
rig_pair
files="$(rig_folder 1)/files" got="$(rig_downloads 2)/huge.bin.part" mib=$((1024 * 1024))
size=$((4352 * mib)) four_gib=$((4096 * mib))
mkdir -p "$files"
trap 'rm -f "$files/huge.bin" "$(rig_downloads 2)"/huge.bin*; rig_cleanup; netns_teardown' EXIT
truncate -s "$size" "$files/huge.bin"
blocks=(0 2046 2048 4094 4096 4350) # MiB: 2 MiB of random bytes at each
for at in "${blocks[@]}"; do
    head -c $((2 * mib)) /dev/urandom | dd of="$files/huge.bin" bs=1M seek="$at" conv=notrunc status=none
done
# block_sums FILE: the checksum of each block, and of 2 MiB of the hole before the 4 GiB block.
block_sums() {
    local at
    for at in "${blocks[@]}" 3000; do dd if="$1" bs=1M skip="$at" count=2 status=none | sha256sum; done
}

# Only once the peers agreed their session does the owner know that Bob's program takes large files.
rig_wait_sql 1 "select capabilities & 4 from vesk_peers where id = '$b'" 4 60
rig_fetch 1 2 "$files/huge.bin"
rig_expect_sql 2 "select filesize from vesk_downloads where id = '$id'" "$size"
rig_wait_size "$got" $((four_gib + 32 * mib)) 420

rig_kill 2
at_kill="$(rig_size "$got")"
[ "$at_kill" -lt "$size" ] || rig_fail "the transfer finished before the receiver died"
rig_start 2
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 300
rig_expect "$(rig_log 2 | grep -m1 -o "requesting \"$id\" at [0-9]*")" "requesting \"$id\" at $at_kill" \
    "first request after the restart, past 4 GiB"
got="$(rig_downloads 2)/huge.bin"
rig_expect "$(rig_size "$got")" "$size" "size of the received file"
rig_expect "$(block_sums "$got")" "$(block_sums "$files/huge.bin")" "the blocks around 2 GiB, 4 GiB and the end"
rig_wait_sql 1 "select count(*) from vesk_uploads" 0
