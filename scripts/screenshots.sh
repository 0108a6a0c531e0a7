#!/usr/bin/env bash
# Pictures of the wizard's pages for people to look at (make screenshots).
#
#   scripts/screenshots.sh BIN_DIR [OUT_DIR]
#
# Builds a setup of the shipped example with the default layouts, runs it under Wine on its own
# Xvfb display and takes a picture of every page: the installer's welcome, change log, install
# folder, patch, patching (caught half way) and finish pages and the uninstaller's welcome,
# uninstall (caught half way) and finish pages, in English, in German and in English at 150 % scale. The pictures
# go to OUT_DIR (default build/screenshots) as LANGUAGE-PAGE.png; the few that README.md shows
# are copied to docs/screenshots.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BIN_DIR [OUT_DIR]" >&2
  exit 2
fi
BIN=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${2:-$ROOT/build/screenshots}
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
for tool in setupbuild setup.exe windriver.exe layout/default; do
  [ -e "$BIN/$tool" ] || { echo "screenshots: $BIN/$tool is missing (make all builds it)" >&2; exit 2; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/setup-screenshots.XXXXXX")
XVFB_PID=
cleanup() {
  local status=$?
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  wine_display_close
  rm -rf "$WORK"
  exit "$status"
}
trap cleanup EXIT

# shellcheck source=tests/wine_prefix.sh
. "$ROOT/tests/wine_prefix.sh"
wine_display_open "$WORK" 1280x1024x24
export WINEPREFIX=$WORK/prefix HOME=$WORK/home LC_ALL=C.UTF-8
mkdir -p "$HOME"
echo "screenshots: creating a Wine prefix"
wineboot -i >"$WORK/wineboot.log" 2>&1 </dev/null
wine_place_windows "$WORK/reg.log"

# The example with 40,000 small files more, so that the patching and uninstall pages can be
# caught half way: the uninstaller removes them in a few seconds, and the install (faster)
# waits three seconds half way, between the two groups of them, in a program it runs.
SRC=$WORK/src
cp -r "$ROOT/examples/demo" "$SRC"
mkdir -p "$SRC/files/data/maps" "$SRC/more_maps"
for i in $(seq 1 20000); do echo "map $i" >"$SRC/files/data/maps/map$i.txt"; done
for i in $(seq 20001 40000); do echo "map $i" >"$SRC/more_maps/map$i.txt"; done
# windriver.exe waiting three seconds for a window that never comes is the pause.
# (awk -v would read the backslashes of the path as escapes: the environment does not.)
DRIVER="Z:${BIN//\//\\}\\windriver.exe" awk '{ print }
  $0 == "file files" {
    print "message \"Extracting data\\maps\\map20001.txt\""
    print "execute \"" ENVIRON["DRIVER"] "\" \"wait Pause 3000\""
    print "file more_maps data\\maps"
  }' "$ROOT/examples/demo/demo.script" >"$SRC/demo.script"
grep -q '^file more_maps' "$SRC/demo.script" || { echo "screenshots: cannot add the pause to the demo script" >&2; exit 1; }
"$BIN/setupbuild" -q -o "$WORK/prefix/drive_c/demo_setup.exe" "$SRC/demo.script" >"$WORK/build.log" 2>&1 ||
  { cat "$WORK/build.log" >&2; exit 1; }

driver() { wine "$BIN/windriver.exe" "$@" 2>>"$WORK/driver.err" </dev/null; }
shot() {  # CAPTION NAME
  sleep 0.4
  driver screenshot "$1" "Z:${WORK//\//\\}\\shot.bmp" >/dev/null
  convert "$WORK/shot.bmp" "$OUT/$2.png"
  echo "screenshots: $2.png"
}
press() { driver press "$1" "$2" >/dev/null; }
wait_button() {  # CAPTION TEXT
  local i
  for i in $(seq 1 300); do
    driver controls "$1" 2>/dev/null | awk -F'\t' -v t="$2" '$1 == "Button" && $3 == 1 && $9 == t { f = 1 } END { exit !f }' && return 0
    sleep 0.1
  done
  echo "screenshots: no button \"$2\" in \"$1\"" >&2
  exit 1
}
# Waits until the gauge shows between 20 and 80 percent (the script's pause).
wait_half_way() {
  local i caption
  for i in $(seq 1 300); do
    caption=$(driver controls "$1" 2>/dev/null | awk -F'\t' '$1 == "TGradGauge" { print $9 }')
    caption=${caption%\%}
    if [ -n "$caption" ] && [ "$caption" -ge 20 ] && [ "$caption" -le 80 ]; then return 0; fi
    sleep 0.05
  done
  echo "screenshots: the install did not pause half way" >&2
}

# pages PREFIX LANGUAGE_INDEX: one install and uninstall, a picture of each page.
pages() {
  local name=$1 language=$2 caption=" Demo Game" next back cancel install finish
  wine 'C:\demo_setup.exe' >"$WORK/setup.log" 2>&1 </dev/null &
  local pid=$!
  driver wait "$caption" 30000 >/dev/null
  next="Next >"
  if [ "$language" = 1 ]; then
    press "$caption" "English"
    driver menu "$caption" 1 5000 >/dev/null
    next="Weiter >"
  fi
  wait_button "$caption" "$next"
  shot "$caption" "$name-1-welcome"
  press "$caption" "$next"; wait_button "$caption" "$next"; shot "$caption" "$name-2-changelog"
  press "$caption" "$next"; wait_button "$caption" "$next"; shot "$caption" "$name-3-installdir"
  press "$caption" "$next"
  install=$([ "$language" = 1 ] && echo "Installieren" || echo "Install")
  finish=$([ "$language" = 1 ] && echo "Fertig" || echo "Finish")
  wait_button "$caption" "$install"; shot "$caption" "$name-4-patch"
  press "$caption" "$install"
  wait_half_way "$caption"
  shot "$caption" "$name-5-patching"
  wait_button "$caption" "$finish"; shot "$caption" "$name-6-finish"
  press "$caption" "$finish"
  wait "$pid"
  caption=" Demo Game Uninstall"
  wine 'C:\Program Files\Demo Game\demo_Uninstall.exe' >"$WORK/uninstall.log" 2>&1 </dev/null &
  pid=$!
  driver wait "$caption" 30000 >/dev/null
  wait_button "$caption" "Next >"
  shot "$caption" "$name-7-uninstall-welcome"
  press "$caption" "Next >"
  wait_half_way "$caption"
  shot "$caption" "$name-8-uninstall-progress"
  wait_button "$caption" "Finish"; shot "$caption" "$name-9-uninstall-finish"
  press "$caption" "Finish"
  wait "$pid"
  sleep 1
}

pages english 0
pages german 1
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >"$WORK/reg.log" 2>&1 </dev/null
wineserver -k >/dev/null 2>&1
pages english-150 0

mkdir -p "$ROOT/docs/screenshots"
for page in english-1-welcome english-3-installdir english-5-patching german-3-installdir; do
  cp "$OUT/$page.png" "$ROOT/docs/screenshots/$page.png"
done
echo "screenshots: $(ls "$OUT" | wc -l) pictures in $OUT; README's in docs/screenshots"
