#!/usr/bin/env bash
# Installs, only when missing, every Debian package that the build and the tests need.
# Safe to run again: a machine that has everything returns at once.
set -euo pipefail

# Native build and tests (libssl-dev: the VFS digest comes from libcrypto; osslsigncode signs
# setups, openssl makes the tests' throw-away certificate); Windows cross build; Wine with a
# display for the Windows tests.
native_pkgs=(g++ cmake make ninja-build clang libclang-rt-14-dev zlib1g-dev libdeflate-dev libssl-dev libgtest-dev
             googletest python3 nsis dpkg-dev osslsigncode openssl)
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

# libdeflate for the Windows build: Debian packages no mingw build of it, so its source package
# is built with the mingw compiler (its own Makefile makes the static library) and installed
# beside the mingw zlib, where the cross build looks for libraries.
MINGW_ROOT=/usr/i686-w64-mingw32
if [ ! -f "$MINGW_ROOT/lib/libdeflate.a" ] || [ ! -f "$MINGW_ROOT/include/libdeflate.h" ]; then
  echo "bootstrap: building libdeflate for i686-w64-mingw32 from Debian's source package"
  # Source packages need the archive's deb-src entries, in either form of apt's source lists.
  if ! apt-get source --print-uris libdeflate >/dev/null 2>&1; then
    sources=/etc/apt/sources.list.d/debian.sources
    if [ -f "$sources" ] && ! grep -q '^Types:.*deb-src' "$sources"; then
      $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' "$sources"
    elif [ -f /etc/apt/sources.list ] && ! grep -q '^deb-src' /etc/apt/sources.list; then
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee -a /etc/apt/sources.list >/dev/null
    fi
    $SUDO apt-get update -qq
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # The download and unpacking chat on stderr (no sandbox for root, no key for the signature);
  # their words are shown only when they fail.
  if ! (cd "$work" && apt-get source -qq --download-only libdeflate && dpkg-source -x libdeflate_*.dsc src &&
        make -s -C src CC=i686-w64-mingw32-gcc AR=i686-w64-mingw32-ar libdeflatestatic.lib) >"$work/log" 2>&1; then
    cat "$work/log" >&2
    echo "bootstrap: libdeflate for i686-w64-mingw32 could not be built" >&2
    exit 1
  fi
  $SUDO install -m 644 "$work/src/libdeflatestatic.lib" "$MINGW_ROOT/lib/libdeflate.a"
  $SUDO install -m 644 "$work/src/libdeflate.h" "$MINGW_ROOT/include/libdeflate.h"
fi

# A Russian locale: Wine takes the system code page from the locale it runs in, and reads the
# command line through it, so the Unicode tests start setups on a Russian system with it.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  echo "bootstrap: generating the ru_RU.UTF-8 locale"
  $SUDO localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
