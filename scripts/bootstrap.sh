#!/usr/bin/env bash
# Installs, only when missing, every Debian package that the build and the tests need.
# Safe to run again: a machine that has everything returns at once.
set -euo pipefail

# Native build and tests (libzstd-dev: binary differences; xdelta3: the patch benchmark's yardstick;
# libssl-dev: the VFS digest comes from libcrypto; osslsigncode signs
# setups, openssl makes the tests' throw-away certificate); Windows cross build; Wine with a
# display for the Windows tests.
native_pkgs=(g++ cmake make ninja-build clang libclang-rt-14-dev zlib1g-dev libdeflate-dev libzstd-dev libssl-dev
             libgtest-dev googletest python3 nsis dpkg-dev osslsigncode openssl xdelta3)
win_pkgs=(g++-mingw-w64-i686 libz-mingw-w64-dev xvfb xauth imagemagick locales)
# fonts-wine: the system fonts the wizard draws with (Tahoma behind "MS Shell Dlg 2", Marlett for
# the arrows of title bars and menu buttons); without it Wine shows letters in their place.
wine_pkgs=(wine wine32:i386 wine64 fonts-wine)

missing=()
for p in "${native_pkgs[@]}" "${win_pkgs[@]}" "${wine_pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

# Source packages need the archive's deb-src entries, in either form of apt's source lists.
enable_sources() {
  if apt-get source --print-uris "$1" >/dev/null 2>&1; then return; fi
  sources=/etc/apt/sources.list.d/debian.sources
  if [ -f "$sources" ] && ! grep -q '^Types:.*deb-src' "$sources"; then
    $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' "$sources"
  elif [ -f /etc/apt/sources.list ] && ! grep -q '^deb-src' /etc/apt/sources.list; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee -a /etc/apt/sources.list >/dev/null
  fi
  $SUDO apt-get update -qq
}

# Unpacks a source package into "$work/src": the newest version whose files the archive still
# serves (a security suite may list a version whose files it no longer has).
unpack_source() {
  enable_sources "$1"
  for version in $(apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -r -V); do
    rm -rf "$work/dl" && mkdir -p "$work/dl"
    if (cd "$work/dl" && apt-get source -qq --download-only "$1=$version" && dpkg-source -x ./*.dsc "$work/src"); then
      return 0
    fi
  done
  return 1
}

# Libraries for the Windows build that Debian packages no mingw build of: their source packages
# are built with the mingw compiler (each with its own Makefile) and installed beside the mingw
# zlib, where the cross build looks for libraries. The download and unpacking chat on stderr (no
# sandbox for root, no key for the signature); their words are shown only when they fail.
MINGW_ROOT=/usr/i686-w64-mingw32
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ ! -f "$MINGW_ROOT/lib/libdeflate.a" ] || [ ! -f "$MINGW_ROOT/include/libdeflate.h" ]; then
  echo "bootstrap: building libdeflate for i686-w64-mingw32 from Debian's source package"
  rm -rf "$work/src"
  if ! (unpack_source libdeflate &&
        make -s -C "$work/src" CC=i686-w64-mingw32-gcc AR=i686-w64-mingw32-ar libdeflatestatic.lib) >"$work/log" 2>&1; then
    cat "$work/log" >&2
    echo "bootstrap: libdeflate for i686-w64-mingw32 could not be built" >&2
    exit 1
  fi
  $SUDO install -m 644 "$work/src/libdeflatestatic.lib" "$MINGW_ROOT/lib/libdeflate.a"
  $SUDO install -m 644 "$work/src/libdeflate.h" "$MINGW_ROOT/include/libdeflate.h"
fi

# zstd (binary differences), twice: the whole library, single-threaded, for the builder; and the
# decompressor alone, made small (the library's minifying settings, -Os), for setup.exe, which
# every setup and uninstaller carries. Without the legacy formats and the assembly that the mingw
# assembler does not take.
zstd_make() {  # zstd_make OUTPUT SETTINGS...: a clean build of lib/libzstd.a, copied to OUTPUT
  make -s -C "$work/src/lib" clean >/dev/null &&
    make -s -C "$work/src/lib" -j"$(nproc)" CC=i686-w64-mingw32-gcc AR=i686-w64-mingw32-ar \
         ZSTD_LEGACY_SUPPORT=0 ZSTD_NO_ASM=1 "${@:2}" libzstd.a &&
    cp "$work/src/lib/libzstd.a" "$1"
}
if [ ! -f "$MINGW_ROOT/lib/libzstd.a" ] || [ ! -f "$MINGW_ROOT/lib/libzstd-decompress.a" ] ||
   [ ! -f "$MINGW_ROOT/include/zstd.h" ]; then
  echo "bootstrap: building zstd for i686-w64-mingw32 from Debian's source package"
  rm -rf "$work/src"
  if ! (unpack_source libzstd &&
        zstd_make "$work/libzstd.a" &&
        zstd_make "$work/libzstd-decompress.a" ZSTD_LIB_COMPRESSION=0 ZSTD_LIB_DICTBUILDER=0 \
                  ZSTD_LIB_DEPRECATED=0 ZSTD_LIB_MINIFY=1) >"$work/log" 2>&1; then
    cat "$work/log" >&2
    echo "bootstrap: zstd for i686-w64-mingw32 could not be built" >&2
    exit 1
  fi
  $SUDO install -m 644 "$work/libzstd.a" "$work/libzstd-decompress.a" "$MINGW_ROOT/lib/"
  for h in zstd.h zstd_errors.h zdict.h; do
    $SUDO install -m 644 "$work/src/lib/$h" "$MINGW_ROOT/include/$h"
  done
fi

# A Russian locale: Wine takes the system code page from the locale it runs in, and reads the
# command line through it, so the Unicode tests start setups on a Russian system with it.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  echo "bootstrap: generating the ru_RU.UTF-8 locale"
  $SUDO localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
