#!/usr/bin/env bash
# Installs, only when missing, every Debian package that the build and the tests need.
# Safe to run again: a machine that has everything returns at once.
set -euo pipefail

# Native build and tests (libssl-dev: the VFS digest comes from libcrypto); Windows cross build;
# Wine with a display for the Windows tests.
native_pkgs=(g++ cmake make ninja-build clang libclang-rt-14-dev zlib1g-dev libssl-dev libgtest-dev googletest
             python3 nsis)
win_pkgs=(g++-mingw-w64-i686 libz-mingw-w64-dev xvfb xauth imagemagick)
# fonts-wine: the system fonts the wizard draws with (Tahoma behind "MS Shell Dlg 2", Marlett for
# the arrows of title bars and menu buttons); without it Wine shows letters in their place.
wine_pkgs=(wine wine32:i386 wine64 fonts-wine)

missing=()
for p in "${native_pkgs[@]}" "${win_pkgs[@]}" "${wine_pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

echo "bootstrap: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
