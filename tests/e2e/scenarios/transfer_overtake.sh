# A small file queued while a large one is transferring goes first (the smallest queued file is chosen after
# every packet); the large one then resumes from its size on disk. Both arrive bit-exact.
rig_pair
files="$(rig_folder 1)/files"
mkdir -p "$files"
rig_random_file "$files/large.bin" 300
rig_random_file "$files/small.bin" 3
rig_offer 1 2 "$files/large.bin" "$files/small.bin"
large="$(rig_upload_id 2 "$files/large.bin")" small="$(rig_upload_id 2 "$files/small.bin")"
rig_wait_sql 2 "select count(*) from vesk_downloads where status = 'unknown'" 2
rig_cmd 2 queueFileToDownload "$large"
rig_wait_size "$(rig_downloads 2)/large.bin.part" $((10 * 1024 * 1024)) 120
rig_cmd 2 queueFileToDownload "$small"
rig_wait_sql 2 "select status from vesk_downloads where id = '$small'" downloaded 60
[ "$(rig_size "$(rig_downloads 2)/large.bin.part")" -lt $((300 * 1024 * 1024)) ] || rig_fail "the large file finished first"
rig_wait_sql 2 "select status from vesk_downloads where id = '$large'" downloaded 300
for f in small large; do cmp -s "$files/$f.bin" "$(rig_downloads 2)/$f.bin" || rig_fail "the $f file differs"; done
order="$(rig_log 2 | grep -o "requesting \"[0-9a-f]*\"" | uniq | sed "s/.*\"$large\"/L/; s/.*\"$small\"/S/" | tr '\n' ' ')"
rig_expect "$order" "L S L " "order of the requests"
