#!/usr/bin/env bash
# Verification throughput of a 200 MB setup package (see bench/README.md).
#
#   bench/run.sh BIN_DIR        (make bench)
#
# Makes, when missing, the payload tree build/bench/payload (/work/shared/bench/make_payload.py,
# deterministic) and the package build/bench/payload.pak (BIN_DIR/make_package), then runs
# BIN_DIR/verify_bench on it. BENCH_ROUNDS sets the number of rounds (default 5);
# SETUP_PAYLOAD_SCRIPT overrides where the payload generator is looked for.
# Then the build-time benchmark, bench/builder_bench.sh BIN_DIR (needs makensis), the silent
# install under Wine, bench/install_bench.sh BIN_DIR (needs makensis, Wine, Xvfb and the Windows
# runtime from make win32 stage), and the install clicked through the wizard against the silent
# one, bench/wizard_bench.sh BIN_DIR (Wine, Xvfb and the Windows runtime).
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 BIN_DIR" >&2
  exit 2
fi
BIN=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK=$ROOT/build/bench
PAYLOAD=$WORK/payload
PACKAGE=$WORK/payload.pak
PAYLOAD_MB=200

for tool in make_package verify_bench; do
  if [ ! -x "$BIN/$tool" ]; then
    echo "bench: $BIN/$tool is missing (run make native)" >&2
    exit 1
  fi
done
mkdir -p "$WORK"

# shellcheck source=bench/payload.sh
. "$ROOT/bench/payload.sh"
ensure_payload "$PAYLOAD" "$PAYLOAD_MB"

if [ ! -f "$PACKAGE" ] || [ "$PAYLOAD.stamp" -nt "$PACKAGE" ]; then
  echo "bench: packing $PAYLOAD (level-9 zlib, one thread; takes a while)"
  rm -f "$PACKAGE.part"
  "$BIN/make_package" "$PAYLOAD" "$PACKAGE.part" </dev/null
  mv "$PACKAGE.part" "$PACKAGE"
fi

echo "bench: verify_bench on $(nproc) cores; figures vary from run to run on a shared machine"
"$BIN/verify_bench" "$PACKAGE" "${BENCH_ROUNDS:-5}" </dev/null

if command -v makensis >/dev/null 2>&1; then
  echo
  "$ROOT/bench/builder_bench.sh" "$BIN" </dev/null
else
  echo "bench: makensis is missing, so the build-time benchmark is skipped (make bootstrap installs it)"
fi

# The silent install under Wine needs the Windows runtime, windriver.exe and the shipped layouts
# (make win32 stage) besides makensis, Wine and Xvfb (make bootstrap).
missing=""
for tool in setup.exe windriver.exe layout/default; do
  [ -e "$BIN/$tool" ] || missing="$missing $BIN/$tool"
done
for tool in makensis wine wineboot wineserver Xvfb; do
  command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
echo
if [ -z "$missing" ]; then
  "$ROOT/bench/install_bench.sh" "$BIN" </dev/null
else
  echo "bench: the install benchmark is skipped, missing:$missing (make bootstrap win32 stage)"
fi

# The wizard benchmark needs no makensis, but the English language file for the wizard's texts.
missing=""
for tool in setup.exe windriver.exe layout/default languages/English.wri; do
  [ -e "$BIN/$tool" ] || missing="$missing $BIN/$tool"
done
for tool in wine wineboot wineserver Xvfb; do
  command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
echo
if [ -z "$missing" ]; then
  "$ROOT/bench/wizard_bench.sh" "$BIN" </dev/null
else
  echo "bench: the wizard benchmark is skipped, missing:$missing (make bootstrap win32 stage)"
fi
