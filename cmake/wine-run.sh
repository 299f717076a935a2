#!/bin/sh
# Runs a Windows program under Wine with the project's private prefix
# (build/wineprefix unless QELVOR_WINEPREFIX names another).
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${QELVOR_WINEPREFIX:-$here/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
fi
exec /usr/lib/wine/wine64 "$@"
