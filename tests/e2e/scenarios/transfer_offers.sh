# Offers and withdrawals: B lists A's files under their cleaned names and sizes and A's uploads turn "sent"; a
# withdrawal on either side removes the other side's row; lists marked for clearing are worked off by the
# withdrawal ticks, each withdrawal told to the peer.
rig_pair
files="$(rig_folder 1)/files" bfiles="$(rig_folder 2)/files"
mkdir -p "$files" "$bfiles"
printf 'version 2' >"$files/notes:v2.txt"
head -c 123456 /dev/urandom >"$files/report?.pdf"
rig_offer 1 2 "$files/notes:v2.txt" "$files/report?.pdf"
notes="$(rig_upload_id 2 "$files/notes:v2.txt")" report="$(rig_upload_id 2 "$files/report?.pdf")"
rig_wait_sql 1 "select count(*) from vesk_uploads where status = 'sent'" 2
rig_wait_sql 2 "select group_concat(filename || '|' || filesize || '|' || downloadsize || '|' || nodefrom, ' ') from
    (select * from vesk_downloads where status = 'unknown' order by filename)" "notesv2.txt|9|0|$a report.pdf|123456|0|$a"

rig_cmd 1 deleteFileToSend "$notes"
rig_wait_sql 2 "select count(*) from vesk_downloads where id = '$notes'" 0
rig_cmd 2 deleteFileToDownload "$report"
rig_wait_sql 1 "select count(*) from vesk_uploads" 0

for n in $(seq 1 12); do printf 'file %d' "$n" >"$files/many$n.txt"; done
for n in $(seq 1 7); do printf 'back %d' "$n" >"$bfiles/back$n.txt"; done
rig_offer 1 2 "$files"/many*.txt
rig_offer 2 1 "$bfiles"/back*.txt
rig_wait_sql 2 "select count(*) from vesk_downloads" 12
rig_wait_sql 1 "select count(*) from vesk_downloads" 7
# A's "clear all" once confirmed: the 10-second ticks work both tables off, each withdrawal told to the peer.
rig_sql 1 "update vesk_uploads set status = 'tobedeleted'"
rig_sql 1 "update vesk_downloads set status = 'tobedeleted'"
rig_wait_sql 1 "select (select count(*) from vesk_downloads) + (select count(*) from vesk_uploads)" 0 60
rig_wait_sql 2 "select (select count(*) from vesk_downloads) + (select count(*) from vesk_uploads)" 0
