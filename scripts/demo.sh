#!/usr/bin/env bash
# The demo: the example setup (examples/demo) built with setupbuild, shown verifying itself on
# a virtual display (screenshot in build/demo/verify.png), installed with -silent under Wine,
# what it installed printed, then removed by its own uninstaller.
# Usage: scripts/demo.sh BIN_DIR
set -euo pipefail
bin=${1:?usage: demo.sh BIN_DIR}
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/demo
source "$top/tests/wine_prefix.sh"
mkdir -p "$out"

wine_prefix_open demo
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb_pid=$!
trap 'kill $xvfb_pid 2>/dev/null || true; wine_prefix_close' EXIT
export DISPLAY=$display SETUP_NO_SHELL_OPEN=1

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

say "verifying (interactive start, no wizard window yet)"
wine "$setup" >"$WINE_WORK/verify.log" 2>&1 &
verify_pid=$!
if wine "$bin/windriver.exe" wait "Verifying Contents" 20000 >/dev/null 2>&1; then
  import -window root "$out/verify.png"
  say "screenshot of the verification window: build/demo/verify.png"
fi
wait $verify_pid || true

say "installing with -silent"
wine "$setup" -silent >"$WINE_WORK/install.log" 2>&1 &
install_pid=$!
answer "Information"
wait $install_pid && rc=0 || rc=$?
say "setup ended with exit code $rc"

install="$WINEPREFIX/drive_c/Program Files/Demo Game"
say "installed files:"
(cd "$install" && find . -type f | sort | sed 's|^\./|  |')
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
