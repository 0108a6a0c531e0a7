#!/usr/bin/env bash
# End-to-end tests: runs the real setup.exe under Wine on its own X display and drives its
# windows with windriver.exe.
#
#   tests/e2e/run.sh BIN_DIR [CASE...]
#
# BIN_DIR holds setup.exe, windriver.exe and paktool. One 32-bit Wine prefix is made per run
# in a temporary folder and reused by every case; the prefix's wineserver and the X server
# are ended on exit, whatever the outcome. The cases are the test_* functions of the
# tests/e2e/test_*.sh files, each run in its own subshell; naming cases runs only those.
# E2E_KEEP=1 keeps the temporary folder (prefix and logs) for a look afterwards.
set -uo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BIN_DIR [CASE...]" >&2
  exit 2
fi
E2E_BIN=$(cd "$1" && pwd) || exit 2
shift
E2E_DIR=$(cd "$(dirname "$0")" && pwd)
export E2E_BIN

for tool in setup.exe setup-user.exe windriver.exe paktool setupbuild setupbuild.exe kzptool vfstool; do
  if [ ! -f "$E2E_BIN/$tool" ]; then
    echo "e2e: $E2E_BIN/$tool is missing (make native win32 builds it)" >&2
    exit 2
  fi
done
for tool in wine wineboot wineserver Xvfb python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "e2e: $tool is not installed (make bootstrap installs it)" >&2
    exit 2
  fi
done

E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/setup-e2e.XXXXXX")
START_SECONDS=$SECONDS

# ---- X display and Wine prefix -------------------------------------------------------
# The quiet 32-bit settings every Wine runner shares, wine_place_windows and the display; the
# prefix's server and the display end with the run, whatever the outcome.
# shellcheck source=tests/wine_prefix.sh
. "$E2E_DIR/../wine_prefix.sh"
wine_session_open "$E2E_WORK" "${E2E_KEEP:-0}" e2e || exit 1

echo "e2e: creating the Wine prefix (display $DISPLAY)"
if ! wineboot -i >"$E2E_WORK/wineboot.log" 2>&1 </dev/null; then
  echo "e2e: wineboot failed:" >&2
  cat "$E2E_WORK/wineboot.log" >&2
  exit 1
fi
if ! wine_place_windows "$E2E_WORK/reg.log"; then
  echo "e2e: cannot set Wine's X11 driver to place windows itself:" >&2
  cat "$E2E_WORK/reg.log" >&2
  exit 1
fi
mkdir -p "$WINEPREFIX/drive_c/e2e"
echo "e2e: prefix ready after $((SECONDS - START_SECONDS)) s"

# ---- cases ----------------------------------------------------------------------------
# shellcheck source=tests/e2e/lib.sh
. "$E2E_DIR/lib.sh"

cases=()
for file in "$E2E_DIR"/test_*.sh; do
  # shellcheck disable=SC1090
  . "$file"
  while IFS= read -r name; do
    cases+=("$name")
  done < <(sed -n 's/^\(test_[A-Za-z0-9_]*\)() *{.*/\1/p' "$file")
done
if [ $# -gt 0 ]; then
  cases=("$@")
fi

run_case() {
  CASE_NAME=$1
  CASE_DIR=$WINEPREFIX/drive_c/e2e/$CASE_NAME
  CASE_DIR_WIN="C:\\e2e\\$CASE_NAME"
  CASE_LOG=$E2E_WORK/logs/$CASE_NAME
  mkdir -p "$CASE_DIR" "$CASE_LOG"
  trap stop_setup EXIT
  "$CASE_NAME"
}

passed=0
failed=0
failed_names=()
for name in "${cases[@]}"; do
  if ! declare -F "$name" >/dev/null; then
    echo "FAIL $name (no such case)"
    failed=$((failed + 1))
    failed_names+=("$name")
    continue
  fi
  mkdir -p "$E2E_WORK/logs/$name"
  output=$E2E_WORK/logs/$name/output.log
  case_start=$SECONDS
  (run_case "$name") >"$output" 2>&1 </dev/null
  status=$?
  if [ "$status" -eq 0 ]; then
    echo "PASS $name ($((SECONDS - case_start)) s)"
    passed=$((passed + 1))
  else
    reason=$(sed -n 's/^FAIL: //p' "$output" | tail -n 1)
    echo "FAIL $name: ${reason:-exit status $status}"
    sed 's/^/    | /' "$output"
    failed=$((failed + 1))
    failed_names+=("$name")
  fi
done

x64_prefix_close  # the 64-bit prefix, when a case made one
echo "e2e: $((SECONDS - START_SECONDS)) s"
if [ "$failed" -gt 0 ]; then
  echo "e2e: failed: ${failed_names[*]}"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
