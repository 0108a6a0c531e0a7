#!/usr/bin/env bash
# Runs the Windows unit tests (win32_tests.exe) under Wine in a prefix of their own.
# Usage: tests/win32/run.sh BIN_DIR
set -euo pipefail
bin=${1:?usage: run.sh BIN_DIR}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../wine_prefix.sh"

wine_prefix_open win32
trap wine_prefix_close EXIT
log=$WINE_WORK/win32_tests.log
# The view tests create windows: they need a display.
if xvfb-run -a -s "-screen 0 1024x768x24" wine "$bin/win32_tests.exe" >"$log" 2>&1; then
  grep -E '^\[  PASSED  \]|^\[==========\]' "$log" | sed 's/^/win32: /'
else
  cat "$log"
  echo "win32: FAILED"
  exit 1
fi
