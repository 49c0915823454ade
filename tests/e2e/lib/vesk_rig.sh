# shellcheck shell=bash
# Real vesk instances on the LAN of netns.sh, each driven through the scripted interface (qml/main.qml) and read
# through its database and folders. Instance I lives in $(rig_folder I): home/ (HOME and the XDG folders; settings
# pre-seeded with an alias and a fixed node id, so no wizard shows; an avatar in the data folder), app/ (a copy of
# the binary beside the scripted interface), commands and done (the interface's orders and progress) and out.log,
# where it logs its transfer and peer debug lines for the scenarios to read.

RIG_DIR="" RIG_BIN="" RIG_SRC=""
RIG_TIMEOUT="${RIG_TIMEOUT:-30}"
# RIG_ENV: extra VAR=value settings for the instances started from now on.
declare -a RIG_PID=() RIG_LOG_FROM=() RIG_ENV=()
# RIG_EXTRA_QML: extra scripted verbs (a QML file with `function run(verb, args)`); benchmarks add theirs.

# rig_init /path/to/vesk /path/to/source-tree: once per run.
rig_init() {
    RIG_BIN="$1" RIG_SRC="$2"
    [ -x "$RIG_BIN" ] || { echo "rig: no vesk binary at '$RIG_BIN'" >&2 && return 1; }
    RIG_DIR="$(mktemp -d "${TMPDIR:-/tmp}/vesk-e2e.XXXXXX")" || return 1
    chmod 755 "$RIG_DIR"
}

# A fixed node id per instance, so that scripts can name peers before they start.
rig_node_id() { printf '{00000000-0000-4000-8000-%012d}' "$1"; }
rig_folder() { echo "$RIG_DIR/inst$1"; }
rig_home() { echo "$RIG_DIR/inst$1/home"; }
rig_data() { echo "$RIG_DIR/inst$1/home/.local/share/Tavimor/Vesk/VeskData"; }
rig_db() { echo "$(rig_data "$1")/vesk.data"; }
rig_conf() { echo "$RIG_DIR/inst$1/home/.config/Tavimor/Vesk.conf"; }
rig_downloads() { echo "$(rig_home "$1")/Documents/VeskDownloads"; }
# Pictures of our own artwork, a different one per instance.
rig_sample_avatar() {
    local pictures=("$RIG_SRC"/resources/qml/Vesk/pics/fileicons/*.png)
    echo "${pictures[$((($1 - 1) % ${#pictures[@]}))]}"
}

# rig_instance I ALIAS: lays out instance I (any earlier one of that number is removed).
rig_instance() {
    local i="$1" folder qml
    folder="$(rig_folder "$i")"
    qml="$folder/app/qml/Vesk/desktop"
    rm -rf "$folder"
    mkdir -p "$qml" "$(rig_home "$i")/.config/Tavimor" "$(rig_data "$i")" "$(rig_home "$i")/runtime"
    chmod 700 "$(rig_home "$i")/runtime"
    # A copy, not a link: the program finds its interface beside its own resolved path.
    cp -l "$RIG_BIN" "$folder/app/vesk" 2>/dev/null || cp "$RIG_BIN" "$folder/app/vesk"
    rig_scripted_qml "$qml" main.qml
    printf '[General]\nuserAlias=%s\nrunOnStartup=false\nmachineId=%s\n' "$2" "$(rig_node_id "$i")" >"$(rig_conf "$i")"
    cp "$(rig_sample_avatar "$i")" "$(rig_data "$i")/myavatar.png"
}

# rig_scripted_qml DIR NAME: the scripted interface as DIR/NAME, with its extra verbs beside it.
rig_scripted_qml() {
    cp "$RIG_SRC/tests/e2e/qml/main.qml" "$1/$2"
    cp "${RIG_EXTRA_QML:-$RIG_SRC/tests/e2e/qml/ExtraVerbs.qml}" "$1/ExtraVerbs.qml"
}

# rig_real_interface I [scripted]: instance I loads the program's own QML (no rig_cmd then); with "scripted" the
# scripted interface runs beside the real pages, so commands work while the real lists and bindings run too.
rig_real_interface() {
    local qml desktop
    qml="$(rig_folder "$1")/app/qml"
    desktop="$qml/Vesk/desktop"
    rm -rf "$qml"
    cp -r "$RIG_SRC/qml" "$qml"
    [ "${2:-}" = scripted ] || return 0
    mv "$desktop/main.qml" "$desktop/RealMain.qml"
    rig_scripted_qml "$desktop" Scripted.qml
    printf 'import QtQuick\nItem {\n    Loader { anchors.fill: parent; source: "RealMain.qml" }\n%s\n}\n' \
        '    Loader { source: "Scripted.qml" }' >"$desktop/main.qml"
}

# rig_start I: starts instance I inside host I of the LAN.
rig_start() {
    local i="$1" folder home
    folder="$(rig_folder "$i")"
    home="$(rig_home "$i")"
    # Commands from an earlier run of this instance are done; a new process starts counting again.
    truncate -s 0 "$folder/commands" "$folder/done"
    touch "$folder/out.log"
    RIG_LOG_FROM[$i]=$(($(wc -l <"$folder/out.log") + 1))
    ip netns exec "$(netns_name "$i")" env HOME="$home" USER="vesk$i" XDG_CONFIG_HOME="$home/.config" \
        XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$home/runtime" \
        QT_QPA_PLATFORM=offscreen QML_XHR_ALLOW_FILE_READ=1 QML_XHR_ALLOW_FILE_WRITE=1 VESK_LOG_TO_STDERR=1 \
        QT_LOGGING_RULES="vesk.transfer.debug=true;vesk.peers.debug=true" ${RIG_ENV[@]+"${RIG_ENV[@]}"} \
        "$folder/app/vesk" >>"$folder/out.log" 2>&1 &
    RIG_PID[$i]=$!
}

# rig_log I: what the current process of instance I has logged (out.log keeps the lines of earlier ones).
rig_log() { tail -n +"${RIG_LOG_FROM[$1]:-1}" "$(rig_folder "$1")/out.log"; }

# rig_pair [N] [plain]: the usual start of a scenario: a LAN of N hosts (2), Alice, Bob, Carol, Dave started and all
# "on" to each other; a, b, c are set to the first three node ids. With "plain" the last one runs as a program from
# before any extension (VESK_PLAIN_PEER=1).
rig_pair() {
    local n="${1:-2}" names=(Alice Bob Carol Dave) i
    rig_lan "$n"
    for i in $(seq 1 "$n"); do
        rig_instance "$i" "${names[$((i - 1))]}"
        [ "$i:${2:-}" != "$n:plain" ] || RIG_ENV+=(VESK_PLAIN_PEER=1)
        rig_start "$i"
    done
    [ "${2:-}" != plain ] || unset 'RIG_ENV[-1]'
    rig_wait_all_on "$n"
    a="$(rig_node_id 1)" b="$(rig_node_id 2)" c="$(rig_node_id 3)"
}

# rig_stop I: asks instance I to quit through its interface, and kills it if it has not ended after a while.
rig_stop() {
    local pid="${RIG_PID[$1]:-}"
    [ -n "$pid" ] || return 0
    rig_cmd_nowait "$1" shutDown >/dev/null
    timeout 10 tail --pid="$pid" -s 0.1 -f /dev/null || kill "$pid"
    wait "$pid" 2>/dev/null
    RIG_PID[$1]=""
}

# rig_kill I: ends instance I at once (kill -9), as a crash or a power cut would.
rig_kill() {
    kill -9 "${RIG_PID[$1]}"
    wait "${RIG_PID[$1]}" 2>/dev/null
    RIG_PID[$1]=""
}

rig_stop_all() { local i; for i in "${!RIG_PID[@]}"; do rig_stop "$i"; done; }

rig_running() { [ -n "${RIG_PID[$1]:-}" ] && kill -0 "${RIG_PID[$1]}" 2>/dev/null; }

# rig_cmd_nowait I VERB ARG...: one command line, arguments percent-encoded so that any byte survives.
rig_cmd_nowait() {
    local commands seq line arg
    commands="$(rig_folder "$1")/commands"
    seq=$(($(wc -l <"$commands") + 1))
    line="$seq $2"
    for arg in "${@:3}"; do line+=" $(printf '%s' "$arg" | od -An -tx1 -v | tr -d ' \n' | sed 's/../%&/g')"; done
    echo "$line" >>"$commands"
    echo "$seq"
}

# rig_cmd I VERB ARG...: hands a command to instance I's interface and waits until it has run.
rig_cmd() {
    local seq
    seq="$(rig_cmd_nowait "$@")"
    rig_until "$RIG_TIMEOUT" "instance $1 did not run command $seq ($2)" rig_ran "$1" "$seq"
}
rig_ran() {
    rig_running "$1" || rig_fail "instance $1 ended before running command $2"
    [ "$(tr -d '[:space:]' <"$(rig_folder "$1")/done")" = "$2" ]
}

# rig_until SECONDS WHAT TEST...: polls TEST until it holds, else fails the scenario saying WHAT and the last value
# the test kept in RIG_GOT.
rig_until() {
    local limit="$1" what="$2" start=$SECONDS
    shift 2
    RIG_GOT=""
    until "$@"; do
        [ $((SECONDS - start)) -lt "$limit" ] || rig_fail "$what within ${limit}s (got '$RIG_GOT')"
        sleep 0.1
    done
}

# rig_sql I QUERY: runs a query on instance I's database, waiting for a lock if the program holds one.
# Before the program has created its database there is nothing to read, and sqlite3 must not create the file.
rig_sql() {
    [ -s "$(rig_db "$1")" ] || return 1
    sqlite3 -batch -noheader -cmd ".timeout 5000" "$(rig_db "$1")" "$2"
}
rig_sql_is() { RIG_GOT="$(rig_sql "$1" "$2" 2>/dev/null)" && [ "$RIG_GOT" = "$3" ]; }
# rig_file_is PATH TEXT: whether the file holds the line TEXT alone (what it holds goes to RIG_GOT).
rig_file_is() { RIG_GOT="$(cat "$1" 2>/dev/null)"; [ "$RIG_GOT" = "$2" ]; }

# rig_wait_sql I QUERY EXPECTED [SECONDS]: waits until the query's output is EXPECTED.
rig_wait_sql() { rig_until "${4:-$RIG_TIMEOUT}" "instance $1: '$2' did not give '$3'" rig_sql_is "$@"; }

# rig_expect_sql I QUERY EXPECTED: the query's output must be EXPECTED now.
rig_expect_sql() { rig_expect "$(rig_sql "$1" "$2")" "$3" "instance $1: '$2'"; }
rig_expect() { [ "$1" = "$2" ] || rig_fail "$3: got '$1', expected '$2'"; }

# Status of peer J as instance I holds it.
rig_status_of() { rig_sql "$1" "select status from vesk_peers where id = '$(rig_node_id "$2")'"; }

# rig_wait_all_on N [SECONDS]: waits until each of instances 1..N holds every other one "on".
rig_wait_all_on() {
    local i
    for i in $(seq 1 "$1"); do
        rig_wait_sql "$i" "select count(*) from vesk_peers where status = 'on' and id != '$(rig_node_id "$i")'" \
            "$(($1 - 1))" "${2:-$RIG_TIMEOUT}"
    done
}

rig_fail() {
    local i
    echo "FAIL: $*" >&2
    for i in "${!RIG_PID[@]}"; do
        echo "--- instance $i: the end of out.log, and the peers" >&2
        tail -n 20 "$(rig_folder "$i")/out.log" >&2 2>/dev/null
        rig_sql "$i" "select id, alias, ipAddress, status, blocked, avatarPath from vesk_peers" >&2 2>/dev/null
    done
    exit 1
}

rig_cleanup() {
    rig_stop_all
    [ -z "$RIG_DIR" ] || [ -n "${RIG_KEEP:-}" ] || rm -rf "$RIG_DIR"
}

# rig_random_file PATH MB: MB mebibytes of random bytes.
rig_random_file() { head -c "$(($2 * 1024 * 1024))" /dev/urandom >"$1"; }
rig_size() { if [ -e "$1" ]; then stat -c %s "$1"; else echo 0; fi; }
rig_sha() { sha256sum "$1" | cut -d' ' -f1; }

# rig_offer I J PATH...: instance I offers the files to instance J (picks the files and the peer, sends).
rig_offer() {
    local path
    for path in "${@:3}"; do rig_cmd "$1" addFile "$path"; done
    rig_cmd "$1" togglePeerSelection "$(rig_node_id "$2")"
    rig_cmd "$1" sendHighlightedFiles
}

# rig_upload_id J PATH: the id of an offer of PATH to instance J (MD5 of J's node id, "_" and the path).
rig_upload_id() { printf '%s_%s' "$(rig_node_id "$1")" "$2" | md5sum | cut -d' ' -f1; }

# rig_fetch I J PATH: instance I offers PATH to instance J, which queues it once listed; sets id to the offer's.
rig_fetch() {
    rig_offer "$@"
    id="$(rig_upload_id "$2" "$3")"
    rig_wait_sql "$2" "select status from vesk_downloads where id = '$id'" unknown
    rig_cmd "$2" queueFileToDownload "$id"
}

# rig_wait_size PATH BYTES [SECONDS]: waits until the file holds at least BYTES.
rig_wait_size() { rig_until "${3:-$RIG_TIMEOUT}" "$1 did not reach $2 bytes" rig_has_bytes "$1" "$2"; }
rig_has_bytes() { RIG_GOT="$(rig_size "$1")" && [ "$RIG_GOT" -ge "$2" ]; }

# rig_furthest_request I ID: the end of the furthest range instance I's current process asked for.
rig_furthest_request() {
    rig_log "$1" | grep -o "requesting \"$2\" at [0-9]* for [0-9]*" | awk '{ e = $4 + $6; if (e > m) m = e } END { print m + 0 }'
}

# rig_qml_clean I: instance I loaded its interface and logged no QML warning.
rig_qml_clean() {
    rig_log "$1" | grep -q "Vesk interface loaded" || rig_fail "instance $1's interface did not finish loading"
    # shellcheck source=../../support/qml_warnings.sh
    . "$RIG_SRC/tests/support/qml_warnings.sh"
    rig_log "$1" >"$(rig_folder "$1")/current.log"
    qml_warnings "$(rig_folder "$1")/current.log" >&2 || rig_fail "QML warnings or errors in instance $1's interface"
}
