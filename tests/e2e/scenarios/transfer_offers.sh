# shellcheck shell=bash
# Offers and withdrawals between two instances: B's pending list shows A's files under their cleaned names and
# sizes and A's uploads turn "sent"; a withdrawal on either side removes the other side's row; lists marked for
# clearing are worked off five rows per 10-second tick, telling the peer about each.
# shellcheck source=../lib/transfer_rig.sh
. "$RIG_SRC/tests/e2e/lib/transfer_rig.sh"
rig_lan 2
xfer_instance 1 Alice
xfer_instance 2 Bob
rig_start 1
rig_start 2
rig_wait_all_on 2
a="$(rig_node_id 1)"
b="$(rig_node_id 2)"

files="$(rig_folder 1)/files"
mkdir -p "$files"
printf 'version 2' >"$files/notes:v2.txt"
head -c 123456 /dev/urandom >"$files/report?.pdf"
xfer_offer 1 2 "$files/notes:v2.txt" "$files/report?.pdf"
notes="$(xfer_upload_id 2 "$files/notes:v2.txt")"
report="$(xfer_upload_id 2 "$files/report?.pdf")"

rig_wait_sql 1 "select count(*) from vesk_uploads where status = 'sent'" 2
rig_expect_sql 1 "select filename || '|' || filesize || '|' || nodeto from vesk_uploads where id = '$notes'" \
    "notes:v2.txt|9|$b"
rig_wait_sql 2 "select count(*) from vesk_downloads where status = 'unknown'" 2
rig_expect_sql 2 "select filename || '|' || filesize || '|' || nodefrom from vesk_downloads where id = '$notes'" \
    "notesv2.txt|9|$a"
rig_expect_sql 2 "select filename || '|' || filesize || '|' || downloadsize from vesk_downloads where id = '$report'" \
    "report.pdf|123456|0"

# Withdrawn by the owner: gone on both sides. Withdrawn by the receiver: likewise.
rig_cmd 1 deleteUpload "$notes"
rig_expect_sql 1 "select count(*) from vesk_uploads where id = '$notes'" 0
rig_wait_sql 2 "select count(*) from vesk_downloads where id = '$notes'" 0
rig_cmd 2 deleteDownload "$report"
rig_expect_sql 2 "select count(*) from vesk_downloads where id = '$report'" 0
rig_wait_sql 1 "select count(*) from vesk_uploads where id = '$report'" 0

# Clearing whole lists. Twelve files from A to B and seven from B to A; then A marks its uploads and its downloads
# the way its "clear all" buttons do once confirmed (the confirmation box itself is the interface's).
bfiles="$(rig_folder 2)/files"
mkdir -p "$bfiles"
many=()
for n in $(seq 1 12); do
    printf 'file %d' "$n" >"$files/many$n.txt"
    many+=("$files/many$n.txt")
done
back=()
for n in $(seq 1 7); do
    printf 'back %d' "$n" >"$bfiles/back$n.txt"
    back+=("$bfiles/back$n.txt")
done
xfer_offer 1 2 "${many[@]}"
xfer_offer 2 1 "${back[@]}"
rig_wait_sql 1 "select count(*) from vesk_uploads where status = 'sent'" 12
rig_wait_sql 2 "select count(*) from vesk_uploads where status = 'sent'" 7
rig_wait_sql 2 "select count(*) from vesk_downloads" 12
rig_wait_sql 1 "select count(*) from vesk_downloads" 7

rig_sql 1 "update vesk_uploads set status = 'tobedeleted'; update vesk_downloads set status = 'tobedeleted'" ||
    rig_fail "could not mark instance 1's lists"

# A's rows go in steps of at most five per tick; every count A passes through is one of these.
seen_up=""
seen_down=""
start=$(date +%s)
while true; do
    up="$(rig_sql 1 "select count(*) from vesk_uploads")"
    down="$(rig_sql 1 "select count(*) from vesk_downloads")"
    case " $seen_up " in *" $up "*) ;; *) seen_up="$seen_up $up" ;; esac
    case " $seen_down " in *" $down "*) ;; *) seen_down="$seen_down $down" ;; esac
    [ "$up" = 0 ] && [ "$down" = 0 ] && break
    [ $(($(date +%s) - start)) -lt 60 ] || rig_fail "instance 1 still has $up uploads and $down downloads"
    sleep 0.2
done
rig_expect "$seen_up" " 12 7 2 0" "instance 1's upload counts while clearing"
rig_expect "$seen_down" " 7 2 0" "instance 1's download counts while clearing"
# Each withdrawal reached B, which removed its side.
rig_wait_sql 2 "select count(*) from vesk_downloads" 0
rig_wait_sql 2 "select count(*) from vesk_uploads" 0
