#!/usr/bin/env bash
# run_e2e.sh VESK_BINARY [PATTERN]: runs every scenarios/PATTERN.sh (default: all), each in a subshell with a LAN
# of its own (rig_lan N) that goes when it ends. A scenario fails through rig_fail or any rig_wait_* / rig_expect*
# that does not hold. Exits 77 (skipped) where namespaces cannot be made.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=lib/netns.sh
. "$here/lib/netns.sh"
# shellcheck source=lib/vesk_rig.sh
. "$here/lib/vesk_rig.sh"

netns_skip_unless_available
# A missing tool is a broken set-up, not a reason to pass: tools/setup.sh installs it.
command -v sqlite3 >/dev/null || { echo "the scenarios read the databases with sqlite3, which is missing" >&2 && exit 1; }
for tool in python3 openssl; do # the hostile TLS peer of the sealed_* scenarios and its certificates
    command -v "$tool" >/dev/null || { echo "the scenarios need $tool, which is missing" >&2 && exit 1; }
done

rig_lan() {
    netns_setup "$1" || rig_fail "could not build a LAN of $1 hosts"
    trap 'rig_cleanup; netns_teardown' EXIT
}

passed=0 failed=0
for scenario in "$here"/scenarios/${2:-*}.sh; do
    name="$(basename "$scenario" .sh)" started=$SECONDS
    echo "=== $name"
    if (rig_init "${1:-}" "$here/../.." && trap rig_cleanup EXIT && . "$scenario"); then
        echo "PASS: $name ($((SECONDS - started))s)"
        passed=$((passed + 1))
    else
        echo "FAIL: $name ($((SECONDS - started))s)"
        failed=$((failed + 1))
    fi
done
echo "e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
