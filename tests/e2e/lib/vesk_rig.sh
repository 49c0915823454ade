# shellcheck shell=bash
# Real vesk instances on the LAN of netns.sh, each driven through a scripted interface and read through its files.
#
#   . tests/e2e/lib/netns.sh; . tests/e2e/lib/vesk_rig.sh
#   rig_init /path/to/vesk /path/to/source-tree   # once per run
#   netns_setup 2
#   rig_instance 1 Alice; rig_instance 2 Bob      # folders, settings, avatar; instance i lives on host i
#   rig_start 1; rig_start 2
#   rig_wait_sql 1 "select status from vesk_peers where id = '$(rig_node_id 2)'" on
#   rig_cmd 1 sendChat "$(rig_node_id 2)" "hello"  # returns once the interface has run it
#   rig_stop 2
#
# Each instance has its own folder: home/ (HOME and XDG folders; settings pre-seeded with an alias so no wizard
# shows, a fixed node id, and an avatar in the data folder), app/ (a copy of the binary beside the scripted
# qml/Vesk/desktop/main.qml), commands and done (the scripted interface's orders and progress), out.log.

RIG_DIR=""
RIG_BIN=""
RIG_SRC=""
RIG_TIMEOUT="${RIG_TIMEOUT:-30}"
declare -a RIG_PID=()
# Extra VAR=value settings for the instances started from now on (for example QT_LOGGING_RULES=...).
declare -a RIG_ENV=()

rig_init() {
    RIG_BIN="$1"
    RIG_SRC="$2"
    if [ ! -x "$RIG_BIN" ]; then
        echo "rig: no vesk binary at '$RIG_BIN'" >&2
        return 1
    fi
    RIG_DIR="$(mktemp -d "${TMPDIR:-/tmp}/vesk-e2e.XXXXXX")" || return 1
    chmod 755 "$RIG_DIR"
}

# A fixed node id per instance, so that scripts can name peers before they start.
rig_node_id() { printf '{00000000-0000-4000-8000-%012d}' "$1"; }
rig_folder() { echo "$RIG_DIR/inst$1"; }
rig_home() { echo "$RIG_DIR/inst$1/home"; }
rig_data() { echo "$RIG_DIR/inst$1/home/.local/share/Tavimor/Vesk/VeskData"; }
rig_db() { echo "$(rig_data "$1")/vesk.data"; }

# rig_instance I ALIAS [AVATAR_PNG]: lays out instance I (any earlier one of that number is removed).
rig_instance() {
    local i="$1" alias="$2" avatar="${3:-}" folder home data
    folder="$(rig_folder "$i")"
    home="$(rig_home "$i")"
    data="$(rig_data "$i")"
    rm -rf "$folder"
    mkdir -p "$folder/app/qml/Vesk/desktop" "$home/.config/Tavimor" "$data" "$home/runtime"
    chmod 700 "$home/runtime"
    # A copy, not a link: the program finds its interface beside its own resolved path.
    cp -l "$RIG_BIN" "$folder/app/vesk" 2>/dev/null || cp "$RIG_BIN" "$folder/app/vesk"
    cp "$RIG_SRC/tests/e2e/qml/main.qml" "$folder/app/qml/Vesk/desktop/main.qml"
    cat >"$home/.config/Tavimor/Vesk.conf" <<EOF
[General]
userAlias=$alias
runOnStartup=false
machineId=$(rig_node_id "$i")
EOF
    if [ -z "$avatar" ]; then
        avatar="$(rig_sample_avatar "$i")"
    fi
    cp "$avatar" "$data/myavatar.png"
    : >"$folder/commands"
    : >"$folder/done"
    echo 0 >"$folder/seq"
}

# Pictures of our own artwork, a different one per instance.
rig_sample_avatar() {
    local pictures=("$RIG_SRC"/resources/qml/Vesk/pics/fileicons/*.png)
    echo "${pictures[$(( ($1 - 1) % ${#pictures[@]} ))]}"
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
    ip netns exec "$(netns_name "$i")" env HOME="$home" USER="vesk$i" XDG_CONFIG_HOME="$home/.config" \
        XDG_DATA_HOME="$home/.local/share" XDG_CACHE_HOME="$home/.cache" XDG_RUNTIME_DIR="$home/runtime" \
        QT_QPA_PLATFORM=offscreen QML_XHR_ALLOW_FILE_READ=1 QML_XHR_ALLOW_FILE_WRITE=1 VESK_LOG_TO_STDERR=1 \
        ${RIG_ENV[@]+"${RIG_ENV[@]}"} \
        "$folder/app/vesk" >>"$folder/out.log" 2>&1 &
    RIG_PID[$i]=$!
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
    if kill -0 "$pid" 2>/dev/null; then
        echo "rig: instance $i did not quit, killing it" >&2
        kill "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
    RIG_PID[$i]=""
}

rig_stop_all() {
    local i
    for i in "${!RIG_PID[@]}"; do
        [ -n "${RIG_PID[$i]}" ] && rig_stop "$i"
    done
    return 0
}

rig_running() { [ -n "${RIG_PID[$1]:-}" ] && kill -0 "${RIG_PID[$1]}" 2>/dev/null; }

# Percent-encodes one argument so that spaces, line breaks and any other byte survive the command line.
rig_encode() {
    local LC_ALL=C text="$1" out="" c i
    for ((i = 0; i < ${#text}; i++)); do
        c="${text:i:1}"
        case "$c" in
        [a-zA-Z0-9._~{}-]) out+="$c" ;;
        *) out+="$(printf '%%%02X' "'$c")" ;;
        esac
    done
    printf '%s' "$out"
}

rig_cmd_nowait() {
    local i="$1" folder seq line arg
    shift
    folder="$(rig_folder "$i")"
    seq=$(($(cat "$folder/seq") + 1))
    echo "$seq" >"$folder/seq"
    line="$seq $1"
    shift
    for arg in "$@"; do
        line+=" $(rig_encode "$arg")"
    done
    echo "$line" >>"$folder/commands"
    echo "$seq"
}

# rig_cmd I VERB ARG...: hands a command to instance I's interface and waits until it has run.
rig_cmd() {
    local i="$1" folder seq waited=0
    folder="$(rig_folder "$i")"
    seq="$(rig_cmd_nowait "$@")"
    while [ "$(cat "$folder/done" 2>/dev/null | tr -d '[:space:]')" != "$seq" ]; do
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
    local db
    db="$(rig_db "$1")"
    [ -s "$db" ] || return 1
    sqlite3 -batch -noheader -cmd ".timeout 5000" "$db" "$2"
}

# rig_wait_sql I QUERY EXPECTED [SECONDS]: waits until the query's output is EXPECTED; fails the scenario if not.
rig_wait_sql() {
    local i="$1" query="$2" expected="$3" limit="${4:-$RIG_TIMEOUT}" start now actual
    start=$(date +%s%N)
    while true; do
        actual="$(rig_sql "$i" "$query" 2>/dev/null)"
        [ "$actual" = "$expected" ] && return 0
        now=$(date +%s%N)
        if [ $(((now - start) / 1000000000)) -ge "$limit" ]; then
            rig_fail "instance $i: '$query' gave '$actual', expected '$expected' within ${limit}s"
        fi
        sleep 0.1
    done
}

# rig_expect_sql I QUERY EXPECTED: the query's output must be EXPECTED now.
rig_expect_sql() {
    local actual
    actual="$(rig_sql "$1" "$2")"
    [ "$actual" = "$3" ] || rig_fail "instance $1: '$2' gave '$actual', expected '$3'"
}

rig_expect() {
    [ "$1" = "$2" ] || rig_fail "$3: got '$1', expected '$2'"
}

# Status of peer J as instance I holds it.
rig_status_of() { rig_sql "$1" "select status from vesk_peers where id = '$(rig_node_id "$2")'"; }

# rig_wait_all_on N [SECONDS]: waits until each of instances 1..N holds every other one "on".
rig_wait_all_on() {
    local n="$1" limit="${2:-$RIG_TIMEOUT}" i
    for i in $(seq 1 "$n"); do
        rig_wait_sql "$i" "select count(*) from vesk_peers where status = 'on' and id != '$(rig_node_id "$i")'" \
            "$((n - 1))" "$limit"
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
    if [ -n "$RIG_DIR" ] && [ -z "${RIG_KEEP:-}" ]; then
        rm -rf "$RIG_DIR"
    fi
}
