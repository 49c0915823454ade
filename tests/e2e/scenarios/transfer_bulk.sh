# shellcheck shell=bash
# A large file of random bytes (300 MiB) goes from A to B and arrives bit-exact; A's upload row is gone at the end
# and B holds exactly that one file.
# shellcheck source=../lib/transfer_rig.sh
. "$RIG_SRC/tests/e2e/lib/transfer_rig.sh"
rig_lan 2
xfer_instance 1 Alice
xfer_instance 2 Bob
rig_start 1
rig_start 2
rig_wait_all_on 2

files="$(rig_folder 1)/files"
mkdir -p "$files"
xfer_random_file "$files/big.bin" "${XFER_BULK_MB:-300}"
xfer_offer 1 2 "$files/big.bin"
id="$(xfer_upload_id 2 "$files/big.bin")"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" unknown

started=$(xfer_now)
rig_cmd 2 queue "$id"
rig_wait_sql 2 "select status from vesk_downloads where id = '$id'" downloaded 300
elapsed=$(echo "$(xfer_now) - $started" | bc)
echo "transferred $(xfer_size "$files/big.bin") bytes in ${elapsed}s"

rig_expect "$(xfer_sha "$(xfer_downloads 2)/big.bin")" "$(xfer_sha "$files/big.bin")" "sha256 of the received file"
rig_expect "$(ls "$(xfer_downloads 2)")" "big.bin" "files in B's downloads folder"
# "fileTransferComplete" told A, which dropped its upload row.
rig_wait_sql 1 "select count(*) from vesk_uploads" 0
