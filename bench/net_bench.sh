#!/usr/bin/env bash
# Runs net_bench between two network namespaces on a bridge (or over loopback when namespaces cannot be made).
#   bench/net_bench.sh [path/to/net_bench] [small] [large] [paced] [window]
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bench="${1:-$here/../build/bench/net_bench}"
small="${2:-10000}"
large="${3:-1000}"
paced="${4:-5000}"
window="${5:-16}"

if [ ! -x "$bench" ]; then
    echo "net_bench not found at $bench (build the net_bench target, or pass its path)" >&2
    exit 1
fi

# shellcheck source=../tests/e2e/lib/netns.sh
. "$here/../tests/e2e/lib/netns.sh"

out="$(mktemp -d)"
receiver_pid=""
cleanup() {
    [ -n "$receiver_pid" ] && kill "$receiver_pid" 2>/dev/null
    netns_teardown
    rm -rf "$out"
}

if netns_available && netns_setup 2; then
    trap cleanup EXIT
    echo "net_bench: two namespaces on a bridge; $small small, $large large, $paced paced messages; window $window"
    run_receiver() { netns_exec 1 "$bench" receive "$small" "$large" "$paced"; }
    run_sender() { netns_exec 2 "$bench" send "$(netns_addr 1)" "$small" "$large" "$paced" "$window"; }
else
    trap cleanup EXIT
    echo "net_bench: no namespaces here, measuring over loopback"
    run_receiver() { "$bench" receive "$small" "$large" "$paced"; }
    run_sender() { "$bench" send 127.0.0.1 "$small" "$large" "$paced" "$window"; }
fi

run_receiver >"$out/receiver.log" 2>&1 &
receiver_pid=$!
for _ in $(seq 1 100); do
    grep -q "ready" "$out/receiver.log" 2>/dev/null && break
    sleep 0.05
done
if ! grep -q "ready" "$out/receiver.log"; then
    cat "$out/receiver.log"
    echo "net_bench: the receiver did not start" >&2
    exit 1
fi

run_sender
wait "$receiver_pid"
status=$?
receiver_pid=""
grep -v "ready" "$out/receiver.log"
exit "$status"
