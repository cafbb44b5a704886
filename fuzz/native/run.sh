#!/usr/bin/env bash
# Runs the libFuzzer targets built by build.sh, one after another, each for a
# bounded time, and prints per target its executions and coverage. Exits 1
# when any target reports a finding (a crash, a sanitizer report, a failed
# check, a timeout or an out-of-memory); the inputs are kept under
# $PW_FUZZ_BUILD/findings.
#
# Usage: fuzz/native/run.sh SECONDS [target...]   (default: every target)
# Environment: PW_FUZZ_BUILD (as for build.sh), FUZZ_FLAGS (extra libFuzzer
# flags). Each target's corpus grows in $PW_FUZZ_BUILD/corpus/<target>,
# starting from the seeds in fuzz/corpus/<target>.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${PW_FUZZ_BUILD:-${TMPDIR:-/tmp}/packweaver-fuzz}
seconds=${1:?usage: run.sh SECONDS [target...]}
shift
if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for f in "$root"/fuzz/native/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
mkdir -p "$out/findings" "$out/logs"

failed=()
total=0
printf '%-20s %12s %8s %8s %8s  %s\n' target executions cov ft corpus result
for t in "${targets[@]}"; do
    corpus="$out/corpus/$t"
    seeds="$root/fuzz/corpus/$t"
    mkdir -p "$corpus" "$seeds"
    log="$out/logs/$t.log"
    if [ ! -x "$out/$t" ]; then
        printf '%-20s %12s %8s %8s %8s  %s\n' "$t" - - - - "NOT BUILT"
        failed+=("$t")
        continue
    fi
    status=0
    # shellcheck disable=SC2086
    "$out/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/findings/$t-" ${FUZZ_FLAGS:-} "$corpus" "$seeds" >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
    result=ok
    if [ "$status" -ne 0 ]; then
        result="FINDING (exit $status, log $log)"
        failed+=("$t")
    fi
    total=$((total + ${execs:-0}))
    printf '%-20s %12s %8s %8s %8s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$result"
done
echo "total executions: $total"
if [ ${#failed[@]} -gt 0 ]; then
    for t in "${failed[@]}"; do
        echo "---- $t"
        grep -E 'FINDING|ERROR|SUMMARY|runtime error|got|want|scalar|Test unit written' "$out/logs/$t.log" | head -20
    done
    exit 1
fi
