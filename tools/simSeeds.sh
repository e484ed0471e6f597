#!/bin/bash
# Runs seeded simulation suites over many seeds, outside CI, and prints the seeds
# that failed; each replays with QV_SIM_SEED=<seed>.
#   bash tools/simSeeds.sh <test program> <gtest filter> [seeds, e.g. 1000 or 1-5000] [jobs]
set -uo pipefail
program=$1 filter=$2 seeds=${3:-1000} jobs=${4:-$(nproc)}
if [[ $seeds == *-* ]]; then first=${seeds%-*} last=${seeds#*-}; else first=1 last=$seeds; fi
failed=$(seq "$first" "$last" | xargs -P "$jobs" -I{} sh -c \
    'QV_SIM_SEED={} "$0" --gtest_filter="$1" --gtest_brief=1 >/dev/null 2>&1 || echo {}' "$program" "$filter" | sort -n)
count=$((last - first + 1))
echo "seeds=$count failed=$(echo -n "$failed" | grep -c .)${failed:+ failing: $(echo $failed)}"
[[ -z $failed ]]
