#!/bin/sh
# `make bench`: the decoder benchmark, then the extraction of a payload of
# about 100 MB of this machine's files by `qelvor-pack extract` against
# `unzip` of a `zip -9` of the same files and against a reference with the
# same reading rule that decodes with libdeflate
# (bench/extract_libdeflate.cpp), with the extraction's peak memory, then
# the packer with one thread against two (bench/pack_threads.sh), then
# 10,000 small files against 1,000 (bench/scaling.sh), then a 1 GiB file
# against a 50 MiB one (bench/bigfile.sh), then the launcher
# against NSIS end to end under Wine (bench/e2e_nsis.py) with the stub's
# size (and where each one's time goes), in one run. Prints the machine,
# every figure and the ratios. Needs the release build (build/release); the
# end-to-end part builds the stub and the test setup.exe with the mingw
# preset first, and is left out with QELVOR_BENCH_E2E=0.
# QELVOR_BENCH_EXTRACT_ONLY=1 runs the extraction parts alone.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${QELVOR_BENCH_BUILD:-$here/build/release}
bench=$build/bench/qelvor_bench
pack=$build/tools/pack/qelvor-pack
set_mb=${QELVOR_BENCH_SET_MB:-100}
runs=3

calc() {  # EXPRESSION: evaluated by awk, printed with two decimals
    awk "BEGIN { printf \"%.2f\", $1 }"
}


echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')"

if [ "${QELVOR_BENCH_EXTRACT_ONLY:-0}" != 1 ]; then
    "$bench"
fi

work=$(mktemp -d /tmp/qelvor-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/set"

# Half binaries, half text, files of 4 KiB to 8 MiB, already compressed
# formats left out; names made unique with a counter so the folder is flat.
copy_files() {  # ROOT... -- fills up to $1 MB
    limit=$(( $1 * 1048576 )); shift
    find "$@" -xdev -type f -size +4k -size -8M \
        ! -name '*.gz' ! -name '*.xz' ! -name '*.bz2' ! -name '*.zst' ! -name '*.png' \
        ! -name '*.jpg' ! -name '*.zip' ! -name '*.jar' 2>/dev/null | LC_ALL=C sort |
    while read -r f; do
        [ -r "$f" ] || continue
        size=$(stat -c %s "$f")
        total=$(cat "$work/total")
        [ "$total" -lt "$limit" ] || break
        n=$(cat "$work/count")
        cp "$f" "$work/set/$(printf '%05d' "$n")_$(basename "$f")"
        echo $((n + 1)) >"$work/count"
        echo $((total + size)) >"$work/total"
    done
}
echo 0 >"$work/count"
echo 0 >"$work/total"
copy_files $((set_mb / 2)) /usr/lib /usr/bin
copy_files "$set_mb" /usr/share
files=$(cat "$work/count")
bytes=$(cat "$work/total")
echo "extraction set: $files files, $bytes bytes"

stub=$work/stub.bin
head -c 65536 "$pack" >"$stub"
t0=$(date +%s.%N)
"$pack" create -o "$work/launcher.exe" --stub "$stub" --level 12 -q --no-setup "$work"/set/*
t1=$(date +%s.%N)
(cd "$work/set" && zip -9 -q ../set.zip ./*)
t2=$(date +%s.%N)
echo "packed: qelvor-pack --level 12 $(stat -c %s "$work/launcher.exe") bytes in $(calc "$t1 - $t0") s," \
     "zip -9 $(stat -c %s "$work/set.zip") bytes in $(calc "$t2 - $t1") s"

best() {  # COMMAND... : the shortest of $runs runs, in seconds
    b=""
    i=0
    while [ $i -lt $runs ]; do
        rm -rf "$work/out"
        mkdir "$work/out"
        sync
        s=$(date +%s.%N)
        "$@" >/dev/null
        e=$(date +%s.%N)
        t=$(awk "BEGIN { print $e - $s }")
        if [ -z "$b" ] || [ "$(awk "BEGIN { print ($t < $b) }")" = 1 ]; then b=$t; fi
        i=$((i + 1))
    done
    echo "$b"
}
t_pack=$(best "$pack" extract "$work/launcher.exe" "$work/out")
rm -rf "$work/check" && cp -r "$work/out" "$work/check"
t_unzip=$(best unzip -q -o "$work/set.zip" -d "$work/out")
# The launcher's extractor also copies style and language files into Style/
# and lang/; the files themselves must equal the set and unzip's output.
if ! diff -r -x Style -x lang "$work/set" "$work/check" >/dev/null ||
   ! diff -r "$work/set" "$work/out" >/dev/null; then
    echo "extracted files differ" >&2
    exit 1
fi
echo "extract (best of $runs): qelvor-pack extract $t_pack s ($(calc "$bytes / $t_pack / 1000000") MB/s)," \
     "unzip $t_unzip s ($(calc "$bytes / $t_unzip / 1000000") MB/s)," \
     "unzip time / qelvor time = $(calc "$t_unzip / $t_pack")"

# Native extraction against the same reading rule with libdeflate
# (bench/extract_libdeflate.cpp): the same launcher into a fresh folder,
# the two alternating, medians of $ref_runs each. The reference must write
# the same tree, Style/ and lang/ included: here, and on a small set whose
# names ask for those copies (the set above has none).
ref=$build/bench/qelvor_extract_libdeflate
ref_runs=5
timed() {  # COMMAND... : one run into an empty $work/out: wall and CPU seconds
    rm -rf "$work/out"
    mkdir "$work/out"
    sync
    s=$(date +%s.%N)
    if ! /usr/bin/time -f "%U %S" -o "$work/cpu" "$@" >/dev/null; then
        echo "failed: $*" >&2
        echo failed
        return
    fi
    e=$(date +%s.%N)
    awk -v wall="$(awk "BEGIN { print $e - $s }")" '{ print wall, $1 + $2 }' "$work/cpu"
}
median() {  # NUMBER...
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
mkdir "$work/names"
for name in a.jvs b.lng c.jvs.lng d.JVS e.txt; do
    head -c 70000 "$pack" >"$work/names/$name"
done
"$pack" create -o "$work/names.exe" --stub "$stub" -q --no-setup "$work"/names/*
"$pack" extract "$work/names.exe" "$work/names-ours" >/dev/null
"$ref" "$work/names.exe" "$work/names-ref"
ours_wall=""
ours_cpu=""
ref_wall=""
ref_cpu=""
i=0
while [ $i -lt $ref_runs ]; do
    read -r wall cpu <<EOF
$(timed "$pack" extract "$work/launcher.exe" "$work/out")
EOF
    [ "$wall" != failed ] || exit 1
    ours_wall="$ours_wall $wall"
    ours_cpu="$ours_cpu $cpu"
    read -r wall cpu <<EOF
$(timed "$ref" "$work/launcher.exe" "$work/out")
EOF
    [ "$wall" != failed ] || exit 1
    ref_wall="$ref_wall $wall"
    ref_cpu="$ref_cpu $cpu"
    i=$((i + 1))
done
if ! diff -r "$work/check" "$work/out" >/dev/null ||
   ! diff -r "$work/names-ours" "$work/names-ref" >/dev/null ||
   [ ! -f "$work/names-ref/Style/c.jvs.lng" ] || [ ! -f "$work/names-ref/lang/c.jvs.lng" ]; then
    echo "the reference extractor's tree differs from qelvor-pack extract's" >&2
    exit 1
fi
# shellcheck disable=SC2086 # the lists are numbers split on purpose
t_ours=$(median $ours_wall)
# shellcheck disable=SC2086
t_ref=$(median $ref_wall)
# shellcheck disable=SC2086
ratio_cpu=$(calc "$(median $ours_cpu) / $(median $ref_cpu)")
ratio=$(calc "$t_ours / $t_ref")
echo "native extraction (medians of $ref_runs, alternating): qelvor-pack extract $t_ours s" \
     "(runs$ours_wall; CPU$ours_cpu), libdeflate reference $t_ref s (runs$ref_wall;" \
     "CPU$ref_cpu); in CPU seconds $ratio_cpu"
echo "native extraction, qelvor-pack extract / same reading rule with libdeflate: $ratio" \
     "(goal <= 1.30, $(awk "BEGIN { print ($ratio <= 1.30) ? \"met\" : \"missed\" }"))"

# Peak memory of an extraction: the peak RSS of `qelvor-pack extract` of the
# set against a baseline, the same command on a launcher of the set's first
# file alone (same program, libraries, stand-in, code page and checks, with
# a payload too small to count), medians of three each, alternating. The
# difference is what the extraction of the set costs: the two 1 MiB buffers,
# the directory (N records of 1044 bytes) and whatever else grows with it.
# The buffers are resident only where the extraction touched them (the
# input up to the longest member, the output up to the longest content),
# so the second line counts them at that.
peak_kib() {  # COMMAND... : peak RSS in KiB, into an empty $work/out
    rm -rf "$work/out"
    mkdir "$work/out"
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null
    cat "$work/rss"
}
first=$(find "$work/set" -type f | LC_ALL=C sort | head -n 1)
"$pack" create -o "$work/one.exe" --stub "$stub" -q --no-setup "$first"
set_peaks=""
base_peaks=""
i=0
while [ $i -lt 3 ]; do
    set_peaks="$set_peaks $(peak_kib "$pack" extract "$work/launcher.exe" "$work/out")"
    base_peaks="$base_peaks $(peak_kib "$pack" extract "$work/one.exe" "$work/out")"
    i=$((i + 1))
done
# shellcheck disable=SC2086
above=$(($(median $set_peaks) - $(median $base_peaks)))
# The entry count, and the KiB of pages that the longest member and the
# longest content of a chunk fill in the input and output buffers.
layout=$(python3 - "$work/launcher.exe" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
n = struct.unpack_from("<I", data, len(data) - 4)[0]
start = len(data) - 4 - n * 1044
longest_in = longest_out = 0
for j in range(1, n):
    record = start + j * 1044
    for k in range(struct.unpack_from("<i", data, record + 272)[0]):
        packed, unpacked = struct.unpack_from("<II", data, record + 276 + 8 * k)
        longest_in, longest_out = max(longest_in, packed), max(longest_out, unpacked)
print(n, sum(-(-size // 4096) * 4 for size in (longest_in, longest_out)))
PY
)
entries=${layout% *}
touched_kib=${layout#* }
directory_kib=$((entries * 1044 / 1024))
extra=$((above - 2048 - directory_kib))
echo "peak memory of an extraction: $above KiB above the baseline, of which buffers 2048 KiB +" \
     "directory $directory_kib KiB; extra $extra KiB (goal <= 2048 KiB," \
     "$([ "$extra" -le 2048 ] && echo met || echo missed))"
echo "peak memory of an extraction, the buffers counted as far as touched ($touched_kib KiB):" \
     "extra $((above - touched_kib - directory_kib)) KiB (peaks$set_peaks KiB," \
     "baseline$base_peaks KiB)"

[ "${QELVOR_BENCH_EXTRACT_ONLY:-0}" != 1 ] || exit 0

sh "$here/bench/pack_threads.sh"

sh "$here/bench/scaling.sh"

sh "$here/bench/bigfile.sh"

if [ "${QELVOR_BENCH_E2E:-1}" != 0 ]; then
    mingw=$here/build/mingw
    (cd "$here" && cmake --preset mingw >/dev/null &&
        cmake --build --preset mingw --target qelvor-stub qelvor-test-setup >/dev/null)
    stub_bytes=$(stat -c %s "$mingw/res/qelvor-stub.exe")
    echo "stub: $stub_bytes bytes (goal < 92672, NSIS's smallest zlib stub; aim <= 65536):" \
         "$([ "$stub_bytes" -lt 92672 ] && echo met || echo missed)," \
         "aim $([ "$stub_bytes" -le 65536 ] && echo met || echo missed)"
    python3 "$here/bench/e2e_nsis.py" --pack "$pack" --stub "$mingw/res/qelvor-stub.exe" \
        --setup "$mingw/tests/e2e/setup/setup.exe" --work "$here/build/bench-e2e" --phases
fi
