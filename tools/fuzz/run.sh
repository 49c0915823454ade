#!/bin/sh
# Fuzzes one harness: tools/fuzz/run.sh <build folder> <harness> [seconds] [extra libFuzzer options...]
# The harness first writes its seeds; the corpus grows in /tmp/vesk-fuzz/<harness>, crashes land beside it.
# Each run has a network namespace of its own (root, or unshare's user namespaces), so nothing reaches the LAN.
set -e
build=$(cd "$1" && pwd) name=$2 seconds=${3:-300}
shift 2; [ $# -gt 0 ] && shift
work=/tmp/vesk-fuzz/$name
mkdir -p "$work/corpus" "$work/seeds" "$work/crashes"
case $name in
    fuzz_wire | fuzz_envelope) max_len=80000 ;;
    fuzz_frame) max_len=65536 ;;
    fuzz_avatar | fuzz_folderlisting) max_len=32768 ;;
    *) max_len=4096 ;;
esac
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export HOME=$work/home XDG_DATA_HOME=$work/home/data XDG_CONFIG_HOME=$work/home/config
VESK_FUZZ_SEEDS=$work/seeds "$build/tools/fuzz/$name"
cd "$work"
exec unshare --net sh -c 'ip link set lo up 2>/dev/null; exec "$@"' sh "$build/tools/fuzz/$name" \
    -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=10 \
    -artifact_prefix="$work/crashes/" -print_final_stats=1 "$@" "$work/corpus" "$work/seeds"
