#!/bin/sh
# The main job, whole: pack the sample installation set of examples/ into a
# launcher, list and verify it, run it under Wine in silent mode, and show
# the workspace it unpacked and what the sample setup recorded.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work="$top/build/demo"
pack="$top/dist/qelvor-pack"
export WINEPREFIX="${QELVOR_WINEPREFIX:-$top/build/wineprefix}"
export WINEDEBUG=-all
temp="$WINEPREFIX/drive_c/users/$(id -un)/Temp"

rm -rf "$work"
mkdir -p "$work/set"
cp "$top"/examples/sample/* "$work/set/"
cp "$top/build/mingw/examples/setup/setup.exe" "$work/set/setup.exe"

echo "== packing examples/sample and the sample setup.exe"
"$pack" create -q -o "$work/QelvorDemoSetup.exe" --stub "$top/dist/qelvor-stub.exe" "$work/set"
"$pack" list "$work/QelvorDemoSetup.exe"
"$pack" verify "$work/QelvorDemoSetup.exe"

echo "== running QelvorDemoSetup.exe /silent under Wine"
# Wine's desktop process keeps the display it was first started with, so
# the launcher and everything Wine starts for it share one virtual display.
/usr/lib/wine/wineserver -k 2>/dev/null || true
rm -f "$temp/qelvor-demo.txt"
status=0
xvfb-run -a sh -c '"$1" "$2" /silent; code=$?; /usr/lib/wine/wineserver -w; exit $code' \
    run "$top/cmake/wine-run.sh" "$work/QelvorDemoSetup.exe" || status=$?
echo "launcher exit code: $status"

echo "== the workspace $temp/qelvor"
(cd "$temp/qelvor" && find . -type f | sort | while read -r f; do
    printf '%10s  %s\n' "$(wc -c < "$f")" "$f"
done)
echo "== what the sample setup recorded ($temp/qelvor-demo.txt)"
cat "$temp/qelvor-demo.txt"
