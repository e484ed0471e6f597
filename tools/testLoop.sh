#!/bin/bash
# Runs the whole test command (tools/test.sh) N times in a row while every core
# is kept busy by background processes, then prints "runs=<n> failed=<k>" with
# the names of the tests that failed. Finds the tests that fail only now and
# then; not part of CI.
#   bash tools/testLoop.sh [N]      (N defaults to 10; logs in test-loop-logs/)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10}
logs=$PWD/test-loop-logs
mkdir -p "$logs"
if ! command -v stress >/dev/null; then
    apt-get install -y --no-install-recommends stress >/dev/null
fi

# One busy process per core, in its own process group so that all of it stops.
setsid stress --cpu "$(nproc)" >/dev/null 2>&1 &
load=$!
trap 'kill -- -"$load" 2>/dev/null || true' EXIT

failed=0
declare -A failures=()
for ((run = 1; run <= runs; run++)); do
    log="$logs/run-$run.log"
    start=$SECONDS
    if bash tools/test.sh >"$log" 2>&1; then
        echo "run $run: passed ($((SECONDS - start)) s)"
    else
        failed=$((failed + 1))
        names=$(sed -nE 's/^\s*[0-9]+ - (\S+) \((Failed|Timeout|SEGFAULT|Subprocess aborted|Child aborted|Exception)\)$/\1/p' "$log" | sort -u)
        # A failure before any test ran (install, build) names no test.
        [[ -z $names ]] && names="setup-or-build"
        echo "run $run: FAILED ($((SECONDS - start)) s, $log): $(echo $names)"
        for name in $names; do
            failures[$name]=$((${failures[$name]:-0} + 1))
        done
    fi
done
summary=""
for name in "${!failures[@]}"; do
    summary+=" $name(${failures[$name]})"
done
echo "runs=$runs failed=$failed${summary:+ failing:$summary}"
