#!/usr/bin/env bash
# The demo: the example setup (examples/demo) built with setupbuild, on a virtual display under
# Wine: shown verifying itself, then installed by clicking through its wizard (pictures of the
# pages in build/demo/), what it installed printed, removed by clicking through its uninstaller,
# and installed and removed once more with -silent.
# Usage: scripts/demo.sh BIN_DIR
set -euo pipefail
bin=${1:?usage: demo.sh BIN_DIR}
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/demo
source "$top/tests/wine_prefix.sh"
mkdir -p "$out"

wine_prefix_open demo
trap 'wine_display_close; wine_prefix_close' EXIT
wine_display_open "$WINE_WORK"
export SETUP_NO_SHELL_OPEN=1

setup=$WINEPREFIX/drive_c/demo/demo_setup.exe
mkdir -p "$(dirname "$setup")"
"$bin/setupbuild" -q -o "$setup" "$top/examples/demo/demo.script"
say() { printf 'demo: %s\n' "$*"; }
say "built examples/demo with setupbuild: $(stat -c %s "$setup") bytes"
cp "$setup" "$out/demo_setup.exe"

# answer CAPTION: presses OK in the box of that caption and prints its message.
answer() {
  wine "$bin/windriver.exe" answer "$1" OK 30000 >"$WINE_WORK/answer.txt" 2>&1 || { say "no \"$1\" box"; return 1; }
  say "box \"$1\": $(sed -n 's/^Static\t65535\t//p' "$WINE_WORK/answer.txt")"
}

driver() { wine "$bin/windriver.exe" "$@" 2>>"$WINE_WORK/driver.err" </dev/null; }
# shot CAPTION NAME: a picture of the window's client area in build/demo/NAME.png.
shot() {
  sleep 0.3
  driver screenshot "$1" "Z:${WINE_WORK//\//\\}\\shot.bmp" >/dev/null && convert "$WINE_WORK/shot.bmp" "$out/$2.png" &&
    say "picture of the $2 page: build/demo/$2.png"
}
# press CAPTION BUTTON, then wait until a visible button reads NEXT (the page that follows).
press_until() {
  driver press "$1" "$2" >/dev/null || { say "no button \"$2\" in \"$1\""; return 1; }
  local i
  for i in $(seq 1 300); do
    driver controls "$1" 2>/dev/null | awk -F'\t' -v t="$3" '$1 == "Button" && $3 == 1 && $9 == t { f = 1 } END { exit !f }' && return 0
    sleep 0.1
  done
  say "no button \"$3\" after \"$2\""
  return 1
}

say "starting the setup: it verifies itself, then shows its wizard"
wine "$setup" >"$WINE_WORK/setup.log" 2>&1 &
setup_pid=$!
if driver wait "Verifying Contents" 20000 >/dev/null; then
  import -window root "$out/verify.png"
  say "screenshot of the verification window: build/demo/verify.png"
fi
caption=" Demo Game"
driver wait "$caption" 30000 >/dev/null
shot "$caption" welcome
press_until "$caption" "Next >" "Next >"
shot "$caption" changelog
press_until "$caption" "Next >" "Next >"
say "install folder: $(driver text "$caption" Edit)"
shot "$caption" installdir
press_until "$caption" "Next >" "Install"
shot "$caption" ready
press_until "$caption" "Install" "Finish"
shot "$caption" finish
driver press "$caption" "Finish" >/dev/null
wait $setup_pid && rc=0 || rc=$?
say "the clicked install ended with exit code $rc"

install="$WINEPREFIX/drive_c/Program Files/Demo Game"
say "installed files:"
(cd "$install" && find . -type f | sort | sed 's|^\./|  |')

say "uninstalling by clicking through the uninstaller"
wine "$install/demo_Uninstall.exe" >"$WINE_WORK/uninstall.log" 2>&1 &
uninstall_pid=$!
caption=" Demo Game Uninstall"
driver wait "$caption" 30000 >/dev/null
shot "$caption" uninstall
press_until "$caption" "Next >" "Finish"
driver press "$caption" "Finish" >/dev/null
wait $uninstall_pid || true
for _ in $(seq 1 50); do [ -e "$install/demo_Uninstall.exe" ] || break; sleep 0.2; done
left=$( (cd "$install" 2>/dev/null && find . -type f | sort) || true)
say "left in the install folder after uninstalling: ${left:-nothing}"

say "installing with -silent"
wine "$setup" -silent >"$WINE_WORK/install.log" 2>&1 &
install_pid=$!
answer "Information"
wait $install_pid && silent_rc=0 || silent_rc=$?
say "the silent install ended with exit code $silent_rc"
[ "$rc" -ne 0 ] || rc=$silent_rc
say "registry values:"
for key in 'HKLM\SOFTWARE\Demo Company\Demo Game' 'HKCU\Software\Demo Company\Demo Game' \
  'HKCR\demogame\shell\open\command' 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Demo Game'; do
  wine reg query "$key" 2>/dev/null </dev/null | tr -d '\r' | awk -v key="$key" '/^    / { sub(/^ +/, ""); print "  [" key "] " $0 }' || true
done
say "shortcuts:"
for place in "$WINEPREFIX/drive_c/users/root/Desktop/" "$WINEPREFIX/drive_c/users/root/AppData/Roaming/Microsoft/Windows/Start Menu/"; do
  find "$place" -name '*.lnk' 2>/dev/null | sed "s|$WINEPREFIX/drive_c/|  C:/|"
done
say "install log: $(stat -c %s "$install/demo_install.log") bytes, enciphered"

say "uninstalling with -silent"
wine "$install/demo_Uninstall.exe" -silent >"$WINE_WORK/uninstall.log" 2>&1 &
uninstall_pid=$!
answer "Information"
wait $uninstall_pid || true
for _ in $(seq 1 50); do [ -e "$install/demo_Uninstall.exe" ] || break; sleep 0.2; done
left=$( (cd "$install" 2>/dev/null && find . -type f | sort) || true)
say "left in the install folder after uninstalling: ${left:-nothing}"
exit $rc
