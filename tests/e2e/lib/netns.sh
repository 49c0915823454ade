# shellcheck shell=bash
# A LAN of network namespaces on one bridge, for tests and benchmarks that must cross hosts for real.
#
#   . tests/e2e/lib/netns.sh
#   netns_skip_unless_available      # exits 77 (CTest's skip code) with a message when it cannot work
#   netns_setup 3                    # hosts 1..3 at 10.77.0.1..3/24, broadcast 10.77.0.255
#   netns_exec 1 some-command args   # runs a command inside host 1
#   netns_addr 2                     # prints 10.77.0.2
#   netns_name 2                     # prints the namespace name of host 2
#
# The bridge sits in a namespace of its own and each host is joined to it by one veth pair whose host end is
# eth0. Every host has a default route on eth0, so that sending to 255.255.255.255 works as on a real LAN
# (without one it fails with ENETUNREACH). Names carry the prefix NETNS_PREFIX (default "vk" and the shell's
# pid), so parallel runs never collide. netns_setup installs an EXIT trap that calls netns_teardown; a caller
# with its own EXIT trap calls netns_teardown from it.

NETNS_PREFIX="${NETNS_PREFIX:-vk$$}"
NETNS_SUBNET="${NETNS_SUBNET:-10.77.0}"
NETNS_HOSTS=0

netns_available() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "netns: not root, cannot create network namespaces" >&2
        return 1
    fi
    if ! command -v ip >/dev/null 2>&1 || ! ip netns list >/dev/null 2>&1; then
        echo "netns: 'ip netns' is not available" >&2
        return 1
    fi
    return 0
}

netns_skip_unless_available() {
    if ! netns_available; then
        echo "SKIP: this test needs root and 'ip netns'"
        exit 77
    fi
}

netns_name() { echo "${NETNS_PREFIX}h$1"; }
netns_bridge_name() { echo "${NETNS_PREFIX}br"; }
netns_addr() { echo "${NETNS_SUBNET}.$1"; }
netns_broadcast() { echo "${NETNS_SUBNET}.255"; }

netns_exec() {
    local host="$1"
    shift
    ip netns exec "$(netns_name "$host")" "$@"
}

# netns_setup COUNT: creates the bridge and COUNT hosts (1 <= COUNT <= 250).
netns_setup() {
    local count="$1" bridge i host temp_host temp_port
    if [ -z "$count" ] || [ "$count" -lt 1 ] || [ "$count" -gt 250 ]; then
        echo "netns_setup: a host count between 1 and 250 is needed" >&2
        return 1
    fi
    trap netns_teardown EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM

    bridge="$(netns_bridge_name)"
    ip netns add "$bridge" || return 1
    ip -n "$bridge" link set lo up
    ip -n "$bridge" link add br0 type bridge || return 1
    ip -n "$bridge" link set br0 up

    for i in $(seq 1 "$count"); do
        host="$(netns_name "$i")"
        ip netns add "$host" || return 1
        NETNS_HOSTS="$i"
        # Interface names are at most 15 characters and live in the root namespace for a moment: keep them
        # short and unique to this run.
        temp_host="v$$h$i"
        temp_port="v$$p$i"
        ip link add "$temp_host" type veth peer name "$temp_port" || return 1
        ip link set "$temp_host" netns "$host" || return 1
        ip link set "$temp_port" netns "$bridge" || return 1
        ip -n "$bridge" link set "$temp_port" name "port$i"
        ip -n "$bridge" link set "port$i" master br0 up
        ip -n "$host" link set "$temp_host" name eth0
        ip -n "$host" link set lo up
        ip -n "$host" addr add "$(netns_addr "$i")/24" brd "$(netns_broadcast)" dev eth0
        ip -n "$host" link set eth0 up
        ip -n "$host" route add default dev eth0
    done
    return 0
}

# netns_teardown: ends the processes still running inside this run's namespaces and deletes the namespaces
# (which takes their interfaces along). Safe to call more than once.
netns_teardown() {
    local i name pids
    for i in $(seq 1 "$NETNS_HOSTS") bridge; do
        if [ "$i" = bridge ]; then
            name="$(netns_bridge_name)"
        else
            name="$(netns_name "$i")"
        fi
        [ -e "/var/run/netns/$name" ] || continue
        pids="$(ip netns pids "$name" 2>/dev/null)"
        for pid in $pids; do
            kill "$pid" 2>/dev/null
        done
        ip netns del "$name" 2>/dev/null
    done
    NETNS_HOSTS=0
}
