# Offers and withdrawals: B lists A's files under their cleaned names and sizes and A's uploads turn "sent"; a
# withdrawal on either side removes the other side's row; lists marked for clearing are worked off five rows per
# 10-second tick, each withdrawal told to the peer.
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
# What A's "clear all" buttons do once confirmed (the confirmation box itself is the interface's), one table at a
# time. Withdrawals are worked off five per tick; to read the counts between ticks, one row is withdrawn first and
# the rest only once it is gone, right after a tick, so the next one is still most of an interval away.
# clearing TABLE: the counts read twice in a row (steady between ticks) while TABLE empties.
clearing() {
    local counts="$(rig_folder 1)/counts_$1" start=$SECONDS
    rig_sql 1 "update $1 set status = 'tobedeleted' where rowid = (select min(rowid) from $1)"
    rig_wait_sql 1 "select count(*) from $1 where status = 'tobedeleted'" 0
    rig_sql 1 "update $1 set status = 'tobedeleted'"
    until [ "$(tail -n 2 "$counts" 2>/dev/null | sort -u)" = "0" ]; do
        [ $((SECONDS - start)) -lt 60 ] || rig_fail "instance 1 still has $(tail -n 1 "$counts") rows in $1"
        rig_sql 1 "select count(*) from $1" >>"$counts"
        sleep 0.2
    done
    awk '$1 == last && $1 != kept { printf " %s", $1; kept = $1 } { last = $1 }' "$counts"
}
rig_expect "$(clearing vesk_uploads)" " 11 6 1 0" "instance 1's uploads while clearing"
rig_expect "$(clearing vesk_downloads)" " 6 1 0" "instance 1's downloads while clearing"
rig_wait_sql 2 "select (select count(*) from vesk_downloads) + (select count(*) from vesk_uploads)" 0
