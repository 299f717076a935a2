#!/bin/sh
# The packer on every core: `qelvor-pack create` of about 60 MB of this
# machine's ELF binaries (from /usr/lib/x86_64-linux-gnu and /usr/bin, taken
# in path order) at the default level, with -j 1 and -j 2 in turn, several
# times. Prints the median wall time of each and the speed-up beside its
# goal, then the best times and the cores that -j 2 got (CPU time over wall
# time), which tell whether other work on the machine held it back; checks
# that both give the same bytes. Run by bench/run.sh; needs the release
# build.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${QELVOR_BENCH_BUILD:-$here/build/release}
pack=$build/tools/pack/qelvor-pack
set_bytes=${QELVOR_PACK_SET_BYTES:-60000000}
rounds=${QELVOR_PACK_ROUNDS:-7}
goal=1.6  # -j 1 time / -j 2 time on 2 cores

work=$(mktemp -d /tmp/qelvor-pack-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

counts=$(python3 "$here/bench/make_set.py" "$work/set" --bytes "$set_bytes" --elf \
    /usr/lib/x86_64-linux-gnu /usr/bin)
files=${counts% *}
bytes=${counts#* }
echo "packer set: $files ELF files, $bytes bytes; load average $(cut -d' ' -f1-3 /proc/loadavg)"
head -c 65536 "$pack" >"$work/stub.bin"
mkdir "$work/j1" "$work/j2"

median() {  # FILE of one number a line
    sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

i=0
while [ "$i" -lt "$rounds" ]; do
    for j in 1 2; do
        # wall seconds, then user plus system seconds
        /usr/bin/time -f "%e %U %S" -o "$work/run" "$pack" create -q -j "$j" --no-setup \
            -o "$work/j$j/launcher.exe" --stub "$work/stub.bin" "$work/set"
        awk '{ print $1 }' "$work/run" >>"$work/wall$j"
        awk '{ print $2 + $3 }' "$work/run" >>"$work/cpu$j"
    done
    i=$((i + 1))
done
if ! cmp -s "$work/j1/launcher.exe" "$work/j2/launcher.exe"; then
    echo "-j 1 and -j 2 wrote different launchers" >&2
    exit 1
fi
for j in 1 2; do
    t=$(median "$work/wall$j")
    echo "pack -j $j: median $t s of $rounds ($(tr '\n' ' ' <"$work/wall$j")s)," \
         "$(awk "BEGIN { printf \"%.1f\", $bytes / $t / 1000000 }") MB/s"
done
t1=$(median "$work/wall1")
t2=$(median "$work/wall2")
b1=$(sort -n "$work/wall1" | head -1)
b2=$(sort -n "$work/wall2" | head -1)
echo "pack speed-up (-j 1 time / -j 2 time): $(awk "BEGIN { printf \"%.2f\", $t1 / $t2 }")" \
     "(goal >= $goal on 2 cores)"
echo "  best of $rounds: $b1 s and $b2 s, speed-up $(awk "BEGIN { printf \"%.2f\", $b1 / $b2 }");" \
     "-j 2 got $(paste "$work/cpu2" "$work/wall2" | awk '{ c += $1; w += $2 } END { printf "%.2f", c / w }')" \
     "cores on average; load average now $(cut -d' ' -f1-3 /proc/loadavg)"
