#!/bin/sh
# Installs, with apt-get, whatever the build and the tests need and this
# machine lacks. Safe to run again: it installs nothing that is present.
set -e
need=""
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for pkg in cmake ninja-build g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev \
           g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
           mingw-w64-x86-64-dev wine64 xvfb xauth xdotool imagemagick x11-utils \
           zlib1g-dev libz-mingw-w64-dev libdeflate-dev clang libclang-rt-14-dev \
           fonts-wqy-zenhei python3 zip unzip clang-format \
           osslsigncode openssl nsis fonts-wine; do
  have_pkg "$pkg" || need="$need $pkg"
done
if [ -n "$need" ]; then
  echo "installing:$need"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends $need
fi
