#!/usr/bin/env bash
# End-to-end scenarios: real vesk instances in network namespaces on one bridge.
#
#   run_e2e.sh VESK_BINARY [PATTERN]
#
# Runs every scenarios/PATTERN.sh (default: all), each in a subshell with a LAN of its own that is torn down when
# it ends. A scenario calls rig_lan N, lays out and starts instances with the rig_* functions of lib/vesk_rig.sh,
# and fails by calling rig_fail (or any rig_wait_* / rig_expect_* that does not hold). Exits 77 (skipped) where
# namespaces cannot be made: not root, or no 'ip netns'.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"
vesk="${1:-}"
pattern="${2:-*}"

# shellcheck source=lib/netns.sh
. "$here/lib/netns.sh"
# shellcheck source=lib/vesk_rig.sh
. "$here/lib/vesk_rig.sh"

netns_skip_unless_available
# A missing tool is a broken set-up, not a reason to pass: tools/setup.sh installs it.
command -v sqlite3 >/dev/null || { echo "the scenarios read the databases with sqlite3, which is missing" >&2 && exit 1; }
if [ -z "$vesk" ] || [ ! -x "$vesk" ]; then
    echo "usage: $0 VESK_BINARY [PATTERN]" >&2
    exit 2
fi

# rig_lan N: the scenario's LAN of N hosts; on the scenario's end the instances stop and the LAN goes.
rig_lan() {
    netns_setup "$1" || rig_fail "could not build a LAN of $1 hosts"
    trap 'rig_cleanup; netns_teardown' EXIT
}

passed=0
failed=0
for scenario in "$here"/scenarios/$pattern.sh; do
    [ -e "$scenario" ] || continue
    name="$(basename "$scenario" .sh)"
    started=$(date +%s)
    echo "=== $name"
    (
        rig_init "$vesk" "$source_dir" || exit 1
        trap rig_cleanup EXIT
        # shellcheck source=/dev/null
        . "$scenario"
    )
    result=$?
    elapsed=$(($(date +%s) - started))
    if [ "$result" -eq 0 ]; then
        echo "PASS: $name (${elapsed}s)"
        passed=$((passed + 1))
    else
        echo "FAIL: $name (${elapsed}s)"
        failed=$((failed + 1))
    fi
done

echo "e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
