#!/bin/sh
# Runs one fuzz target for $QELVOR_FUZZ_SECONDS seconds (default 30): new
# inputs go to a work corpus next to the build, the committed seeds stay as
# they are. The RSS limit is the memory goal: a run that grows past it fails;
# the sanitizer keeps 64 MiB of freed blocks (not 256) to stay well below it.
# Usage: run_fuzz.sh TARGET SEED_FOLDER WORK_FOLDER MAX_LEN
target=$1
seeds=$2
work=$3
max_len=$4
seconds=${QELVOR_FUZZ_SECONDS:-30}
mkdir -p "$work"
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=64}"
exec "$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=512 -max_len="$max_len" \
    -print_final_stats=1 -reload=0 "$work" "$seeds"
