#!/bin/sh
# Runs one fuzz target for $QELVOR_FUZZ_SECONDS seconds (default 30): new
# inputs go to a work corpus next to the seeds, which stay as generated.
# Usage: run_fuzz.sh TARGET SEED_FOLDER WORK_FOLDER
target=$1
seeds=$2
work=$3
seconds=${QELVOR_FUZZ_SECONDS:-30}
mkdir -p "$work"
exec "$target" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
    -print_final_stats=1 "$work" "$seeds"
