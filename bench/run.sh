#!/bin/sh
# `make bench`: the decoder benchmark, then the extraction of a payload of
# about 100 MB of this machine's files by `qelvor-pack extract` against
# `unzip` of a `zip -9` of the same files, then the packer with one thread
# against two (bench/pack_threads.sh), then 10,000 small files against
# 1,000 (bench/scaling.sh), then the launcher against NSIS end to
# end under Wine (bench/e2e_nsis.py) with the stub's size, in one run. Prints the machine, every
# figure and the ratios. Needs the release build (build/release); the end-to-
# end part builds the stub and the test setup.exe with the mingw preset
# first, and is left out with QELVOR_BENCH_E2E=0.
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

"$bench"

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

sh "$here/bench/pack_threads.sh"

sh "$here/bench/scaling.sh"

if [ "${QELVOR_BENCH_E2E:-1}" != 0 ]; then
    mingw=$here/build/mingw
    (cd "$here" && cmake --preset mingw >/dev/null &&
        cmake --build --preset mingw --target qelvor-stub qelvor-test-setup >/dev/null)
    stub_bytes=$(stat -c %s "$mingw/res/qelvor-stub.exe")
    echo "stub: $stub_bytes bytes (goal < 92672, NSIS's smallest zlib stub; aim <= 65536):" \
         "$([ "$stub_bytes" -lt 92672 ] && echo met || echo missed)," \
         "aim $([ "$stub_bytes" -le 65536 ] && echo met || echo missed)"
    python3 "$here/bench/e2e_nsis.py" --pack "$pack" --stub "$mingw/res/qelvor-stub.exe" \
        --setup "$mingw/tests/e2e/setup/setup.exe" --work "$here/build/bench-e2e"
fi
