#!/bin/sh
# Fuzzes one target for a bounded time from its committed seed corpus, in a scratch corpus of its
# own; any finding (a sanitizer report or a broken promise) fails the run.
# Usage: run_fuzzer.sh FUZZER SEED_DIR WORK_DIR SECONDS
set -e
fuzzer=$1
seeds=$2
work=$3
seconds=$4
rm -rf "$work"
mkdir -p "$work/corpus" "$work/findings"
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/findings/" "$work/corpus" "$seeds"
