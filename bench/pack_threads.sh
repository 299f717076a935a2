#!/bin/sh
# The packer on every core: `qelvor-pack create` of about 60 MB of this
# machine's ELF binaries (from /usr/lib/x86_64-linux-gnu and /usr/bin, taken
# in path order) at the default level, with -j 1 and -j 2 in turn, several
# times. Prints the median wall time of each, the speed-up beside its goal,
# and checks that both give the same bytes. Run by bench/run.sh; needs the
# release build.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${QELVOR_BENCH_BUILD:-$here/build/release}
pack=$build/tools/pack/qelvor-pack
set_bytes=${QELVOR_PACK_SET_BYTES:-60000000}
rounds=${QELVOR_PACK_ROUNDS:-5}
goal=1.6  # -j 1 time / -j 2 time on 2 cores

work=$(mktemp -d /tmp/qelvor-pack-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

counts=$(python3 "$here/bench/make_set.py" "$work/set" --bytes "$set_bytes" --elf \
    /usr/lib/x86_64-linux-gnu /usr/bin)
files=${counts% *}
bytes=${counts#* }
echo "packer set: $files ELF files, $bytes bytes"
head -c 65536 "$pack" >"$work/stub.bin"
mkdir "$work/j1" "$work/j2"

seconds() {  # COMMAND...: runs it, prints its wall time in seconds
    s=$(date +%s.%N)
    "$@"
    e=$(date +%s.%N)
    awk "BEGIN { printf \"%.3f\n\", $e - $s }"
}

median() {  # FILE of one number a line
    sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

i=0
while [ "$i" -lt "$rounds" ]; do
    for j in 1 2; do
        seconds "$pack" create -q -j "$j" --no-setup -o "$work/j$j/launcher.exe" \
            --stub "$work/stub.bin" "$work/set" >>"$work/times$j"
    done
    i=$((i + 1))
done
if ! cmp -s "$work/j1/launcher.exe" "$work/j2/launcher.exe"; then
    echo "-j 1 and -j 2 wrote different launchers" >&2
    exit 1
fi
t1=$(median "$work/times1")
t2=$(median "$work/times2")
echo "pack -j 1: median $t1 s of $rounds ($(tr '\n' ' ' <"$work/times1")), $(awk "BEGIN { printf \"%.1f\", $bytes / $t1 / 1000000 }") MB/s"
echo "pack -j 2: median $t2 s of $rounds ($(tr '\n' ' ' <"$work/times2")), $(awk "BEGIN { printf \"%.1f\", $bytes / $t2 / 1000000 }") MB/s"
echo "pack speed-up (-j 1 time / -j 2 time): $(awk "BEGIN { printf \"%.2f\", $t1 / $t2 }")" \
     "(goal >= $goal on 2 cores; load average now $(cut -d' ' -f1-3 /proc/loadavg))"
