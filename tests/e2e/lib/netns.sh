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
# Hosts of a second subnet (netns_two_subnets) have their address recorded here; all others follow NETNS_SUBNET.
declare -gA NETNS_ADDR=()
netns_addr() { echo "${NETNS_ADDR[$1]:-${NETNS_SUBNET}.$1}"; }
netns_router_name() { echo "${NETNS_PREFIX}rt"; }
netns_broadcast() { echo "${NETNS_SUBNET}.255"; }
netns_exec() { ip netns exec "$(netns_name "$1")" "${@:2}"; }

# netns_setup COUNT: the bridge and hosts 1..COUNT (at most 250).
netns_setup() {
    local i
    netns_bridges br0 || return 1
    for i in $(seq 1 "$1"); do netns_host "$i" br0 "$(netns_addr "$i")" || return 1; done
}

# netns_bridges NAME...: the teardown traps, and the namespace of the bridges with one bridge of each name.
netns_bridges() {
    local name
    trap netns_teardown EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    ip netns add "$(netns_bridge_name)" || return 1
    for name in "$@"; do
        ip -n "$(netns_bridge_name)" link add "$name" up type bridge || return 1
    done
}

# netns_host I BRIDGE ADDRESS [GATEWAY]: host I on that bridge at ADDRESS/24, routed by default via GATEWAY or eth0.
netns_host() {
    local host bridge link
    host="$(netns_name "$1")" bridge="$(netns_bridge_name)"
    ip netns add "$host" || return 1
    NETNS_HOSTS="$1"
    # Both ends are made inside their namespaces, so no name is ever taken in the root namespace.
    ip link add eth0 netns "$host" type veth peer name "port$1" netns "$bridge" || return 1
    ip -n "$bridge" link set "port$1" master "$2" up
    ip -n "$host" addr add "$3/24" brd + dev eth0
    for link in lo eth0; do ip -n "$host" link set "$link" up; done
    ip -n "$host" route add default ${4:+via "$4"} dev eth0
}

# netns_add_addresses I FIRST LAST: addresses .FIRST to .LAST of the subnet on host I's eth0 as well, as of a computer
# with many addresses; prints them, separated by commas.
netns_add_addresses() {
    local k list=""
    for k in $(seq "$2" "$3"); do
        ip -n "$(netns_name "$1")" addr add "$(netns_addr "$k")/24" brd "$(netns_broadcast)" dev eth0 || return 1
        list+="${list:+,}$(netns_addr "$k")"
    done
    echo "$list"
}

# netns_two_subnets LEFT RIGHT: two LANs joined by a router, as in an office with a subnet per floor: hosts
# 1..LEFT on bridge br0 in NETNS_SUBNET, hosts LEFT+1..LEFT+RIGHT on bridge br1 in NETNS_SUBNET_B (default
# 10.78.0), host I at .I of its subnet. The router ($(netns_router_name)) is .254 on both and every host's default
# route. It forwards unicast only: like any router it keeps broadcasts, directed ones included, on their subnet.
NETNS_SUBNET_B="${NETNS_SUBNET_B:-10.78.0}"
netns_two_subnets() {
    local router i subnet side
    router="$(netns_router_name)"
    netns_bridges br0 br1 || return 1
    ip netns add "$router" || return 1
    ip -n "$router" link set lo up
    for side in 0 1; do
        subnet="$NETNS_SUBNET" && [ "$side" = 0 ] || subnet="$NETNS_SUBNET_B"
        ip link add "eth$side" netns "$router" type veth peer name "rport$side" netns "$(netns_bridge_name)" || return 1
        ip -n "$(netns_bridge_name)" link set "rport$side" master "br$side" up
        ip -n "$router" addr add "$subnet.254/24" brd + dev "eth$side" && ip -n "$router" link set "eth$side" up
    done
    ip netns exec "$router" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.conf.all.bc_forwarding=0 || return 1
    for i in $(seq 1 $(($1 + $2))); do
        side=0 subnet="$NETNS_SUBNET" && [ "$i" -le "$1" ] || side=1 subnet="$NETNS_SUBNET_B"
        NETNS_ADDR[$i]="$subnet.$i"
        netns_host "$i" "br$side" "$subnet.$i" "$subnet.254" || return 1
    done
}

# netns_teardown: ends what still runs in this run's namespaces and deletes them; safe to call again.
netns_teardown() {
    local name pid
    for name in $(seq -f "${NETNS_PREFIX}h%g" 1 "$NETNS_HOSTS") "$(netns_bridge_name)" "$(netns_router_name)"; do
        [ -e "/var/run/netns/$name" ] || continue
        for pid in $(ip netns pids "$name" 2>/dev/null); do kill "$pid" 2>/dev/null; done
        ip netns del "$name" 2>/dev/null
    done
    NETNS_HOSTS=0
    NETNS_ADDR=()
}
