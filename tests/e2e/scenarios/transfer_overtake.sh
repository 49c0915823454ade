# shellcheck shell=bash
# A small file queued while a large one is transferring goes first (the smallest queued file is chosen after
# every packet); the large one then resumes where it stopped. Both arrive bit-exact.
# shellcheck source=../lib/transfer_rig.sh
. "$RIG_SRC/tests/e2e/lib/transfer_rig.sh"
rig_lan 2
xfer_instance 1 Alice
xfer_instance 2 Bob
rig_start 1
RIG_ENV=(QT_LOGGING_RULES="vesk.transfer.debug=true")
rig_start 2
RIG_ENV=()
rig_wait_all_on 2

files="$(rig_folder 1)/files"
mkdir -p "$files"
xfer_random_file "$files/large.bin" 300
xfer_random_file "$files/small.bin" 3
xfer_offer 1 2 "$files/large.bin" "$files/small.bin"
large="$(xfer_upload_id 2 "$files/large.bin")"
small="$(xfer_upload_id 2 "$files/small.bin")"
rig_wait_sql 2 "select count(*) from vesk_downloads where status = 'unknown'" 2
rig_cmd 2 queue "$large"
xfer_wait_size_at_least "$(xfer_downloads 2)/large.bin" $((10 * 1024 * 1024)) 120
rig_cmd 2 queue "$small"
rig_wait_sql 2 "select status from vesk_downloads where id = '$small'" downloaded 60
large_then="$(xfer_size "$(xfer_downloads 2)/large.bin")"
[ "$large_then" -lt $((300 * 1024 * 1024)) ] || rig_fail "the large file finished before the small one"
rig_wait_sql 2 "select status from vesk_downloads where id = '$large'" downloaded 300

rig_expect "$(xfer_sha "$(xfer_downloads 2)/small.bin")" "$(xfer_sha "$files/small.bin")" "sha256 of the small file"
rig_expect "$(xfer_sha "$(xfer_downloads 2)/large.bin")" "$(xfer_sha "$files/large.bin")" "sha256 of the large file"
# The requests show the switch: the large file's requests stop, the small file's run to its end, and the large
# file's go on from where they stopped, never asking for an offset twice after the switch.
log="$(rig_folder 2)/out.log"
order="$(grep -o "requesting \"[0-9a-f]*\"" "$log" | uniq | sed "s/requesting \"$large\"/L/; s/requesting \"$small\"/S/" | tr '\n' ' ')"
rig_expect "$order" "L S L " "order of the requests"
