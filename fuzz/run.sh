#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60), one after the other,
# on a corpus kept under fuzz/out/corpus that grows from run to run, started
# from seeds that the system writes itself and from the inputs that once
# found a fault (fuzz/regressions). Prints one line per target and exits
# non-zero when any target crashed, leaked, hung or claimed too much memory.
# Usage: fuzz/run.sh [SECONDS] [targets...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_OUT:-$root/fuzz/out}
seconds=${1:-60}
shift || true

# The build's lines are kept out of the way, but a failed build shows its
# errors: a compiler that refuses the core must say why, not only fail.
mkdir -p "$out"
if ! "$root/fuzz/build.sh" >"$out/build.log" 2>&1; then
    echo "fuzz: the build failed:" >&2
    grep -v '^\[' "$out/build.log" | tail -40 >&2
    exit 1
fi
mapfile -t all < "$out/targets"
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all[@]}"); fi

# Seeds are rewritten whenever the seed writer (and so the core) changed.
if [ ! -d "$out/seeds" ] || [ "$out/make_seeds" -nt "$out/seeds" ]; then
    rm -rf "$out/seeds"
    "$out/make_seeds" "$out/seeds" >/dev/null
fi

# A hostile model file may not claim memory beyond the reader's small
# reservations: any single allocation above 64 MB is reported as a crash.
limits=(-rss_limit_mb=2048 -malloc_limit_mb=64 -timeout=25)
status=0
mkdir -p "$out/crashes" "$out/logs"
for t in "${targets[@]}"; do
    corpus="$out/corpus/$t"
    mkdir -p "$corpus" "$out/seeds/$t"
    extra=()
    [ -d "$root/fuzz/regressions/$t" ] && extra+=("$root/fuzz/regressions/$t")
    log="$out/logs/$t.log"
    rc=0
    (cd "$out" && "$out/fuzz_$t" "${limits[@]}" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$out/crashes/$t-" "$corpus" "$out/seeds/$t" "${extra[@]}") >"$log" 2>&1 || rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if [ "$rc" -ne 0 ]; then
        status=1
        echo "fuzz $t: FAILED after ${runs:-?} executions (exit $rc); see $log and $out/crashes/"
        grep -E 'check failed|^SUMMARY:|ERROR:' "$log" | head -5 | sed 's/^/    /'
    else
        echo "fuzz $t: ${runs:-0} executions in ${seconds} s, no crash (corpus $(ls "$corpus" | wc -l) inputs)"
    fi
done
exit $status
