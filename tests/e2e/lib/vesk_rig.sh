# shellcheck shell=bash
# Real vesk instances on the LAN of netns.sh, each driven through a scripted interface and read through its files.
#
#   rig_init /path/to/vesk /path/to/source-tree   # once per run
#   rig_pair [N]                                  # LAN of N hosts (2), Alice, Bob, Carol... started, all "on";
#                                                 # sets a, b, c to their node ids
#   rig_cmd 1 sendChat "$b" "hello"               # returns once the interface has run it
#   rig_wait_sql 2 "select count(*) from vesk_chats" 1
#   rig_kill 2; rig_start 2                       # kill -9 and start again; rig_log 2 shows the new process only
#
# Each instance has its own folder: home/ (HOME and XDG folders; settings pre-seeded with an alias so no wizard
# shows, a fixed node id, and an avatar in the data folder), app/ (a copy of the binary beside the scripted
# qml/Vesk/desktop/main.qml), commands and done (the scripted interface's orders and progress), out.log. Every
# instance logs its transfer and peer debug lines, which the scenarios read.

RIG_DIR=""
RIG_BIN=""
RIG_SRC=""
RIG_TIMEOUT="${RIG_TIMEOUT:-30}"
declare -a RIG_PID=()
declare -a RIG_LOG_FROM=()
# Extra VAR=value settings for the instances started from now on.
declare -a RIG_ENV=()
# Extra scripted verbs (a QML file with `function run(verb, args)`), copied beside main.qml; benchmarks add theirs.
RIG_EXTRA_QML="${RIG_EXTRA_QML:-}"

rig_init() {
    RIG_BIN="$1"
    RIG_SRC="$2"
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
    if [ -n "$RIG_EXTRA_QML" ]; then
        cp "$RIG_EXTRA_QML" "$1/ExtraVerbs.qml"
    else
        printf 'import QtQuick\nItem { function run(verb, args) { return false; } }\n' >"$1/ExtraVerbs.qml"
    fi
}

# rig_real_interface I [scripted]: instance I loads the program's own QML instead of the scripted one (no rig_cmd
# then); with "scripted" the scripted interface runs beside the real pages, so commands work while the real lists
# and bindings do their work too.
rig_real_interface() {
    local qml desktop
    qml="$(rig_folder "$1")/app/qml"
    desktop="$qml/Vesk/desktop"
    rm -rf "$qml"
    cp -r "$RIG_SRC/qml" "$qml"
    [ "${2:-}" = scripted ] || return 0
    mv "$desktop/main.qml" "$desktop/RealMain.qml"
    rig_scripted_qml "$desktop" Scripted.qml
    cat >"$desktop/main.qml" <<'QML'
import QtQuick
Item {
    Loader { anchors.fill: parent; source: "RealMain.qml" }
    Loader { source: "Scripted.qml" }
}
QML
}

# rig_start I: starts instance I inside host I of the LAN.
rig_start() {
    local i="$1" folder home
    folder="$(rig_folder "$i")"
    home="$(rig_home "$i")"
    # Commands from an earlier run of this instance are done; a new process starts counting again.
    : >"$folder/commands"
    : >"$folder/done"
    echo 0 >"$folder/seq"
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

# rig_pair [N]: the usual start of a scenario.
rig_pair() {
    local n="${1:-2}" names=(Alice Bob Carol Dave) i
    rig_lan "$n"
    for i in $(seq 1 "$n"); do
        rig_instance "$i" "${names[$((i - 1))]}"
        rig_start "$i"
    done
    rig_wait_all_on "$n"
    a="$(rig_node_id 1)" b="$(rig_node_id 2)" c="$(rig_node_id 3)"
}

# rig_stop I: asks instance I to quit through its interface, and kills it if it has not ended after a while.
rig_stop() {
    local i="$1" pid="${RIG_PID[$1]:-}" waited=0
    [ -n "$pid" ] || return 0
    rig_cmd_nowait "$i" quit >/dev/null
    while kill -0 "$pid" 2>/dev/null && [ "$waited" -lt 100 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    kill -0 "$pid" 2>/dev/null && echo "rig: instance $i did not quit, killing it" >&2 && kill "$pid"
    wait "$pid" 2>/dev/null
    RIG_PID[$i]=""
}

# rig_kill I: ends instance I at once (kill -9), as a crash or a power cut would.
rig_kill() {
    kill -9 "${RIG_PID[$1]}"
    wait "${RIG_PID[$1]}" 2>/dev/null
    RIG_PID[$1]=""
}

rig_stop_all() {
    local i
    for i in "${!RIG_PID[@]}"; do
        [ -n "${RIG_PID[$i]}" ] && rig_stop "$i"
    done
    return 0
}

rig_running() { [ -n "${RIG_PID[$1]:-}" ] && kill -0 "${RIG_PID[$1]}" 2>/dev/null; }

# rig_cmd_nowait I VERB ARG...: one command line, arguments percent-encoded so that any byte survives.
rig_cmd_nowait() {
    local i="$1" folder seq line arg
    shift
    folder="$(rig_folder "$i")"
    seq=$(($(cat "$folder/seq") + 1))
    echo "$seq" >"$folder/seq"
    line="$seq $1"
    shift
    for arg in "$@"; do
        line+=" $(printf '%s' "$arg" | od -An -tx1 -v | tr -d ' \n' | sed 's/../%&/g')"
    done
    echo "$line" >>"$folder/commands"
    echo "$seq"
}

# rig_cmd I VERB ARG...: hands a command to instance I's interface and waits until it has run.
rig_cmd() {
    local i="$1" folder seq waited=0
    folder="$(rig_folder "$i")"
    seq="$(rig_cmd_nowait "$@")"
    while [ "$(tr -d '[:space:]' <"$folder/done")" != "$seq" ]; do
        if [ "$waited" -ge $((RIG_TIMEOUT * 20)) ] || ! rig_running "$i"; then
            rig_fail "instance $i did not run command $seq ($2)"
        fi
        sleep 0.05
        waited=$((waited + 1))
    done
}

# rig_sql I QUERY: runs a query on instance I's database, waiting for a lock if the program holds one.
# Before the program has created its database there is nothing to read, and sqlite3 must not create the file.
rig_sql() {
    [ -s "$(rig_db "$1")" ] || return 1
    sqlite3 -batch -noheader -cmd ".timeout 5000" "$(rig_db "$1")" "$2"
}

# rig_wait_sql I QUERY EXPECTED [SECONDS]: waits until the query's output is EXPECTED; fails the scenario if not.
rig_wait_sql() {
    local limit="${4:-$RIG_TIMEOUT}" start actual
    start=$(date +%s)
    until actual="$(rig_sql "$1" "$2" 2>/dev/null)" && [ "$actual" = "$3" ]; do
        [ $(($(date +%s) - start)) -lt "$limit" ] ||
            rig_fail "instance $1: '$2' gave '$actual', expected '$3' within ${limit}s"
        sleep 0.1
    done
}

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
        echo "--- instance $i: out.log (last lines)" >&2
        tail -n 20 "$(rig_folder "$i")/out.log" >&2 2>/dev/null
        echo "--- instance $i: peers" >&2
        rig_sql "$i" "select id, alias, ipAddress, status, blocked, avatarPath from vesk_peers" >&2 2>/dev/null
    done
    exit 1
}

rig_cleanup() {
    rig_stop_all
    [ -z "$RIG_DIR" ] || [ -n "${RIG_KEEP:-}" ] || rm -rf "$RIG_DIR"
}

# ---- files

# rig_random_file PATH MB: MB mebibytes of random bytes.
rig_random_file() { head -c "$(($2 * 1024 * 1024))" /dev/urandom >"$1"; }
rig_size() { if [ -e "$1" ]; then stat -c %s "$1"; else echo 0; fi; }
rig_sha() { sha256sum "$1" | cut -d' ' -f1; }

# rig_offer I J PATH...: instance I offers the files to instance J (picks the files and the peer, sends).
rig_offer() {
    local from="$1" to="$2" path
    shift 2
    for path in "$@"; do
        rig_cmd "$from" addFile "$path"
    done
    rig_cmd "$from" togglePeer "$(rig_node_id "$to")"
    rig_cmd "$from" sendFiles
}

# rig_upload_id J PATH: the id of an offer of PATH to instance J (MD5 of J's node id, "_" and the path).
rig_upload_id() { printf '%s_%s' "$(rig_node_id "$1")" "$2" | md5sum | cut -d' ' -f1; }

# rig_wait_size PATH BYTES [SECONDS]: polled often, since the scenarios act in mid-transfer.
rig_wait_size() {
    local start
    start=$(date +%s)
    while [ "$(rig_size "$1")" -lt "$2" ]; do
        [ $(($(date +%s) - start)) -lt "${3:-$RIG_TIMEOUT}" ] ||
            rig_fail "$1 did not reach $2 bytes within ${3:-$RIG_TIMEOUT}s (has $(rig_size "$1"))"
        sleep 0.005
    done
}

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
    return 0
}
