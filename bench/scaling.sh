#!/bin/sh
# The cost of many small files: `qelvor-pack create`, `list`, `verify` and
# `extract` on sets of 1,000 and 10,000 files of 100 to 2,000 bytes each,
# timed one after the other in one run (medians of three, CPU time). Every figure for
# 10,000 entries must stay within 12 times the one for 1,000: the work per
# entry is the same, so only a cost that grows faster than the entries
# (a scan of the folder per file, a search of the directory per entry) can
# break it. Needs the release build (build/release).
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${QELVOR_BENCH_BUILD:-$here/build/release}
pack=$build/tools/pack/qelvor-pack
limit=12
work=$(mktemp -d /tmp/qelvor-scaling.XXXXXX)
trap 'rm -rf "$work"' EXIT

# N files with a little varied, compressible content each.
make_set() {  # N DIR
    python3 - "$1" "$2" <<'PY'
import os, random, sys
n, folder = int(sys.argv[1]), sys.argv[2]
os.makedirs(folder)
rng = random.Random(n)
words = [b"alpha", b"beta", b"gamma", b"delta", b"qelvor", b"setup", b"\x00\x01"]
for i in range(n):
    size = rng.randint(100, 2000)
    body = b" ".join(rng.choice(words) for _ in range(size // 5))[:size]
    with open(os.path.join(folder, "file%05d.dat" % i), "wb") as f:
        f.write(body)
with open(os.path.join(folder, "setup.exe"), "wb") as f:
    f.write(b"MZ" + bytes(100))
PY
}

# CPU seconds (perf's task-clock) rather than wall time: the machine is shared,
# and a process that waits for a core would count the waiting. Each run
# extracts into a folder of its own, removed only at the end: ext4 passes
# over recently deleted inodes when it allocates, so removing 10,000 files
# right before a run would be timed with it.
run=0
median3() {  # COMMAND... : median of three runs, CPU seconds; an argument OUT
             # becomes a fresh folder for each run
    for i in 1 2 3; do
        run=$((run + 1))
        args=""
        for a in "$@"; do
            [ "$a" = OUT ] && a="$work/out$run"
            args="$args '$a'"
        done
        eval perf stat -x, -e task-clock -o "'$work/time'" "$args" >/dev/null
        awk -F, '/task-clock/ { print $1 / 1000 }' "$work/time"
    done | sort -n | sed -n 2p
}

head -c 65536 "$pack" >"$work/stub.bin"
for n in 1000 10000; do
    make_set "$n" "$work/set$n"
    eval "create_$n=\$(median3 \"\$pack\" create -o \"\$work/l\$n.exe\" --stub \"\$work/stub.bin\" -q -j 1 \"\$work/set\$n\")"
    eval "list_$n=\$(median3 \"\$pack\" list \"\$work/l\$n.exe\")"
    eval "verify_$n=\$(median3 \"\$pack\" verify -q \"\$work/l\$n.exe\")"
    eval "extract_$n=\$(median3 \"\$pack\" extract -q \"\$work/l\$n.exe\" OUT)"
done
"$pack" extract -q "$work/l10000.exe" "$work/check"
diff -r -x Style -x lang "$work/set10000" "$work/check" >/dev/null || {
    echo "extracted files differ" >&2
    exit 1
}
echo "many small files (CPU seconds, medians of 3), 10,000 entries against 1,000:"
for step in create list verify extract; do
    eval "small=\$${step}_1000 large=\$${step}_10000"
    ratio=$(awk "BEGIN { printf \"%.2f\", $large / $small }")
    met=$(awk "BEGIN { print ($ratio <= $limit) ? \"met\" : \"MISSED\" }")
    printf '  %-8s %8.3f s  %8.3f s  ratio %6.2f   goal <= %d  %s\n' \
        "$step" "$small" "$large" "$ratio" "$limit" "$met"
done
