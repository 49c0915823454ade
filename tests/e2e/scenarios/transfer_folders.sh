# Alice offers a nested folder (an empty folder, names beyond ASCII, a link out) to Bob, who takes folders: one
# offer; queued, it arrives whole beside his folder of that name, which stays as it was, and Alice's uploads go.
# Carol's program predates folders: she is offered and receives the same files flat.
rig_pair 3 plain
rig_wait_sql 1 "select length(identityKey) from vesk_peers where id = '$b'" 64

tree="$(rig_folder 1)/files/Été 2026"
mkdir -p "$tree/photos/raw" "$tree/empty/deeper"
printf 'one' >"$tree/photos/a.jpg"
head -c 300000 /dev/urandom >"$tree/photos/raw/Ünïcode b.raw"
printf 'notes' >"$tree/notes.txt"
ln -s /etc "$tree/elsewhere"
mkdir -p "$(rig_downloads 2)/Été 2026"
printf 'mine' >"$(rig_downloads 2)/Été 2026/notes.txt"

# offer_folder J: Alice picks the folder, waits until it is walked, and offers it to instance J.
offer_folder() {
    local walked
    walked=$(rig_log 1 | grep -c "walked the folder")
    rig_cmd 1 addFile "$tree"
    rig_until "$RIG_TIMEOUT" "Alice did not walk the folder" eval \
        "[ \$(rig_log 1 | grep -c 'walked the folder') -gt $walked ]"
    rig_cmd 1 togglePeerSelection "$(rig_node_id "$1")"
    rig_cmd 1 sendHighlightedFiles
}

offer_folder 2
rig_wait_sql 2 "select name || '|' || localname || '|' || files || '|' || filesize || '|' || status from vesk_folders" \
    "Été 2026|Été 2026 (2)|3|300008|unknown"
rig_expect_sql 2 "select group_concat(path, ' ') from (select path from vesk_downloads order by path)" \
    "notes.txt photos/a.jpg photos/raw/Ünïcode b.raw"
rig_wait_sql 1 "select status from vesk_folders" sent
rig_cmd 2 queueFileToDownload "$(rig_sql 2 "select id from vesk_folders")"
rig_wait_sql 2 "select status from vesk_folders" downloaded
got="$(rig_downloads 2)/Été 2026 (2)"
rm -r "$tree/elsewhere"
diff -r "$tree" "$got" >&2 || rig_fail "Bob's copy of the folder differs from Alice's"
rig_expect "$(cat "$(rig_downloads 2)/Été 2026/notes.txt")" mine "the folder Bob had"
rig_wait_sql 1 "select (select count(*) from vesk_uploads) + (select count(*) from vesk_folders)" 0
ln -s /etc "$tree/elsewhere"

offer_folder 3
rig_wait_sql 3 "select group_concat(filename || '|' || coalesce(folderId, '-'), ' ') from
    (select * from vesk_downloads order by filename)" "a.jpg|- notes.txt|- Ünïcode b.raw|-"
rig_cmd 3 downloadAllPending
rig_wait_sql 3 "select count(*) from vesk_downloads where status = 'downloaded'" 3
rig_expect "$(rig_sha "$(rig_downloads 3)/Ünïcode b.raw")" "$(rig_sha "$tree/photos/raw/Ünïcode b.raw")" \
    "Carol's copy of the raw file"
rig_expect "$(cd "$(rig_downloads 3)" && find . -mindepth 1 | LC_ALL=C sort | tr '\n' ' ')" \
    "./a.jpg ./notes.txt ./Ünïcode b.raw " "what Carol received"
rig_expect_sql 3 "select count(*) from vesk_folders" 0
