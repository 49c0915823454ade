# shellcheck shell=bash
# A LAN of network namespaces on one bridge, for tests and benchmarks that must cross hosts for real: host I is
# $(netns_name I) at $(netns_addr I)/24 on its eth0, with a default route there so that 255.255.255.255 can be
# reached as on a real LAN. Names carry NETNS_PREFIX (default "vk" and the shell's pid), so parallel runs never
# collide. netns_setup sets an EXIT trap to netns_teardown; a caller with its own EXIT trap calls it from there.

NETNS_PREFIX="${NETNS_PREFIX:-vk$$}"
NETNS_SUBNET="${NETNS_SUBNET:-10.77.0}"
NETNS_HOSTS=0

netns_available() {
    [ "$(id -u)" -eq 0 ] || { echo "netns: not root, cannot create network namespaces" >&2 && return 1; }
    ip netns list >/dev/null 2>&1 || { echo "netns: 'ip netns' is not available" >&2 && return 1; }
}

# Exits 77, CTest's skip code, where namespaces cannot be made.
netns_skip_unless_available() {
    netns_available || { echo "SKIP: this test needs root and 'ip netns'" && exit 77; }
}

netns_name() { echo "${NETNS_PREFIX}h$1"; }
netns_bridge_name() { echo "${NETNS_PREFIX}br"; }
netns_addr() { echo "${NETNS_SUBNET}.$1"; }
netns_broadcast() { echo "${NETNS_SUBNET}.255"; }
netns_exec() { ip netns exec "$(netns_name "$1")" "${@:2}"; }

# netns_setup COUNT: the bridge and hosts 1..COUNT (at most 250).
netns_setup() {
    local bridge i host
    trap netns_teardown EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    bridge="$(netns_bridge_name)"
    ip netns add "$bridge" || return 1
    ip -n "$bridge" link add br0 type bridge || return 1
    ip -n "$bridge" link set br0 up
    for i in $(seq 1 "$1"); do
        host="$(netns_name "$i")"
        ip netns add "$host" || return 1
        NETNS_HOSTS="$i"
        # Both ends are made inside their namespaces, so no name is ever taken in the root namespace.
        ip link add eth0 netns "$host" type veth peer name "port$i" netns "$bridge" || return 1
        ip -n "$bridge" link set "port$i" master br0 up
        ip -n "$host" link set lo up
        ip -n "$host" addr add "$(netns_addr "$i")/24" brd "$(netns_broadcast)" dev eth0
        ip -n "$host" link set eth0 up
        ip -n "$host" route add default dev eth0
    done
}

# netns_teardown: ends what still runs in this run's namespaces and deletes them; safe to call again.
netns_teardown() {
    local name pid
    for name in $(seq -f "${NETNS_PREFIX}h%g" 1 "$NETNS_HOSTS") "$(netns_bridge_name)"; do
        [ -e "/var/run/netns/$name" ] || continue
        for pid in $(ip netns pids "$name" 2>/dev/null); do kill "$pid" 2>/dev/null; done
        ip netns del "$name" 2>/dev/null
    done
    NETNS_HOSTS=0
}
