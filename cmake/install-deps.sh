#!/bin/sh
# Installs, with apt-get, whatever the build and the tests need and this
# machine lacks. Safe to run again: it installs nothing that is present.
# Debian has no mingw build of libdeflate, so its source package is fetched
# (deb-src enabled for the one suite) into LIBDEFLATE_SOURCE, from which the
# cross build compiles the Windows packer's compressor: the same release as
# the Linux packer's, so both write the same bytes.
set -e
LIBDEFLATE_SOURCE=/usr/local/src/qelvor/libdeflate
need=""
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for pkg in cmake ninja-build g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev \
           g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
           mingw-w64-x86-64-dev wine64 xvfb xauth xdotool imagemagick x11-utils \
           zlib1g-dev libz-mingw-w64-dev libdeflate-dev clang libclang-rt-14-dev \
           fonts-wqy-zenhei python3 zip unzip clang-format \
           osslsigncode openssl nsis fonts-wine help2man lintian dpkg-dev file time strace; do
  have_pkg "$pkg" || need="$need $pkg"
done
export DEBIAN_FRONTEND=noninteractive
if [ -n "$need" ]; then
  echo "installing:$need"
  apt-get update -q
  apt-get install -y -q --no-install-recommends $need
fi
if [ ! -f "$LIBDEFLATE_SOURCE/lib/deflate_compress.c" ]; then
  sources=/etc/apt/sources.list.d/qelvor-deb-src.sources
  if [ ! -f "$sources" ]; then
    echo "enabling deb-src for bookworm main (libdeflate's source package)"
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' >"$sources"
  fi
  apt-get update -q
  version=$(dpkg-query -W -f='${Version}' libdeflate-dev)
  scratch=$(mktemp -d)
  (cd "$scratch" && apt-get source -q "libdeflate=$version")
  mkdir -p "$(dirname "$LIBDEFLATE_SOURCE")"
  rm -rf "$LIBDEFLATE_SOURCE"
  mv "$scratch"/libdeflate-*/ "$LIBDEFLATE_SOURCE"
  rm -rf "$scratch"
fi
