#!/bin/sh
# Large files: `qelvor-pack verify` and `extract` (the launcher's own
# extractor and decoder) of a launcher holding one 1 GiB file, beside one
# holding a 50 MiB file of the same kind of content (the 1 GiB file is the
# 50 MiB one repeated, so every chunk costs the same). Peak memory must not
# grow with the file (goal: at most 1024 KiB more for 1 GiB), and the time
# per byte must stay the same (goal: at most 1.25 times the 50 MiB one's),
# as both read one member and write one chunk at a time through the same
# buffers, records after records. Best of three runs each. What it trades
# away: the launcher itself is not run here (it shares the extractor, not
# the files' code), and the set takes about 3 GiB in /tmp while it runs.
# Needs the release build (build/release).
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${QELVOR_BENCH_BUILD:-$here/build/release}
pack=$build/tools/pack/qelvor-pack
runs=3
small_mib=50
large_mib=1024
work=$(mktemp -d /tmp/qelvor-bigfile.XXXXXX)
trap 'rm -rf "$work"' EXIT

calc() {  # EXPRESSION: evaluated by awk, printed with two decimals
    awk "BEGIN { printf \"%.2f\", $1 }"
}

# 50 MiB of mixed content: text-like runs and noise, about 1:2 compressible.
python3 - "$work/block" "$small_mib" <<'PY'
import random, sys
rng = random.Random(27)
words = [b"alpha ", b"beta ", b"setup ", b"qelvor ", b"install ", b"\x00\x00\x01\x02"]
out = bytearray()
size = int(sys.argv[2]) << 20
while len(out) < size:
    out += b"".join(rng.choice(words) for _ in range(2000)) if rng.random() < 0.6 \
        else rng.randbytes(8192)
open(sys.argv[1], "wb").write(out[:size])
PY
mkdir "$work/small" "$work/large"
cp "$work/block" "$work/small/data.bin"
i=0
while [ $i -lt $((large_mib / small_mib + 1)) ]; do cat "$work/block"; i=$((i + 1)); done |
    head -c $((large_mib << 20)) >"$work/large/data.bin"
rm "$work/block"

# A stub of payload level 2: the stub the tree builds, or QELVOR_BENCH_STUB.
stub=${QELVOR_BENCH_STUB:-$here/build/mingw/res/qelvor-stub.exe}
[ -f "$stub" ] || stub=$here/dist/qelvor-stub.exe
for size in small large; do
    "$pack" create -q --level 1 --no-setup -o "$work/$size.exe" --stub "$stub" \
        "$work/$size/data.bin"
done
rm -rf "$work/large"

best() {  # COMMAND... : best of $runs runs as "seconds KiB" (wall time, lowest peak RSS)
    b=""
    m=""
    i=0
    while [ $i -lt $runs ]; do
        rm -rf "$work/out"
        /usr/bin/time -v -o "$work/time" "$@" >/dev/null
        t=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0;
            for (k = 1; k <= n; k++) s = s * 60 + p[k]; print s }' "$work/time")
        r=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time")
        if [ -z "$b" ] || [ "$(awk "BEGIN { print ($t < $b) }")" = 1 ]; then b=$t; fi
        if [ -z "$m" ] || [ "$r" -lt "$m" ]; then m=$r; fi
        i=$((i + 1))
    done
    echo "$b $m"
}

small_bytes=$((small_mib << 20))
large_bytes=$((large_mib << 20))
echo "big files: one file of $small_mib MiB against one of $large_mib MiB (the same content" \
     "repeated), packed at level 1: $(stat -c %s "$work/small.exe") and" \
     "$(stat -c %s "$work/large.exe") bytes"
for command in verify extract; do
    if [ "$command" = verify ]; then
        out=""
    else
        out=$work/out
    fi
    # shellcheck disable=SC2086 # $out is empty for verify on purpose
    read -r t_small rss_small <<TIMES
$(best "$pack" "$command" -q "$work/small.exe" $out)
TIMES
    # shellcheck disable=SC2086
    read -r t_large rss_large <<TIMES
$(best "$pack" "$command" -q "$work/large.exe" $out)
TIMES
    ratio=$(calc "($t_large / $large_bytes) / ($t_small / $small_bytes)")
    growth=$((rss_large - rss_small))
    echo "$command: $small_mib MiB $t_small s, peak $rss_small KiB; $large_mib MiB $t_large s" \
         "($(calc "$large_bytes / $t_large / 1048576") MiB/s), peak $rss_large KiB"
    echo "$command: time per byte, $large_mib MiB / $small_mib MiB: $ratio (goal <= 1.25," \
         "$(awk "BEGIN { print ($ratio <= 1.25) ? \"met\" : \"missed\" }"));" \
         "peak memory growth: $growth KiB (goal <= 1024 KiB," \
         "$([ "$growth" -le 1024 ] && echo met || echo missed))"
done
