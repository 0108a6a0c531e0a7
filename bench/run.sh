#!/usr/bin/env bash
# Verification throughput of a 200 MB setup package (see bench/README.md).
#
#   bench/run.sh BIN_DIR        (make bench)
#
# Makes, when missing, the payload tree build/bench/payload (/work/shared/bench/make_payload.py,
# deterministic) and the package build/bench/payload.pak (BIN_DIR/make_package), then runs
# BIN_DIR/verify_bench on it. BENCH_ROUNDS sets the number of rounds (default 5);
# SETUP_PAYLOAD_SCRIPT overrides where the payload generator is looked for; BENCH_SMALL=1 runs
# every benchmark on 20 MB payloads in build/bench/small (see bench/lib.sh).
# Then the build-time benchmark, bench/builder_bench.sh BIN_DIR (needs makensis), the silent
# install under Wine, bench/install_bench.sh BIN_DIR (needs makensis, Wine, Xvfb and the Windows
# runtime from make win32 stage), and the install clicked through the wizard against the silent
# one, bench/wizard_bench.sh BIN_DIR (Wine, Xvfb and the Windows runtime).
set -euo pipefail

# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_init bench "$@"
PAYLOAD=$WORK/payload
PACKAGE=$WORK/payload.pak
bench_need_files make_package verify_bench
ensure_payload "$PAYLOAD" 200

if [ ! -f "$PACKAGE" ] || [ "$PAYLOAD.stamp" -nt "$PACKAGE" ]; then
  echo "bench: packing $PAYLOAD (deflate level 9, one thread; takes a while)"
  rm -f "$PACKAGE.part"
  "$BIN/make_package" "$PAYLOAD" "$PACKAGE.part" </dev/null
  mv "$PACKAGE.part" "$PACKAGE"
fi

echo "bench: verify_bench on $(nproc) cores; figures vary from run to run on a shared machine"
"$BIN/verify_bench" "$PACKAGE" "${BENCH_ROUNDS:-5}" </dev/null

# run_or_skip SCRIPT WHAT FILES COMMANDS: runs bench/SCRIPT when BIN holds the FILES and the
# system has the COMMANDS (both space-separated lists), or says what the WHAT benchmark misses.
run_or_skip() {
  local script=$1 what=$2 files=$3 commands=$4 missing="" tool
  for tool in $files; do
    [ -e "$BIN/$tool" ] || missing="$missing $BIN/$tool"
  done
  for tool in $commands; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
  done
  echo
  if [ -z "$missing" ]; then
    "$ROOT/bench/$script" "$BIN" </dev/null
  else
    echo "bench: the $what benchmark is skipped, missing:$missing (make bootstrap win32 stage)"
  fi
}

# The build-time benchmark needs makensis (make bootstrap). The silent install under Wine needs
# the Windows runtime, windriver.exe and the shipped layouts (make win32 stage) besides makensis,
# Wine and Xvfb; the wizard benchmark no makensis, but the English language file for the
# wizard's texts.
run_or_skip builder_bench.sh build-time "" makensis
run_or_skip install_bench.sh install "setup.exe windriver.exe layout/default" "makensis wine wineboot wineserver Xvfb"
run_or_skip wizard_bench.sh wizard "setup.exe windriver.exe layout/default languages/English.wri" \
  "wine wineboot wineserver Xvfb"
