#!/usr/bin/env bash
# The demo: a sample setup made from a generated game-patch payload, started under Wine on a
# virtual display; the verification window is captured to build/demo/verify.png and the run's
# outcome is printed.
# Usage: scripts/demo.sh BIN_DIR
set -euo pipefail
bin=${1:?usage: demo.sh BIN_DIR}
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build/demo
source "$top/tests/wine_prefix.sh"
mkdir -p "$out"

payload=$out/payload
if [ ! -d "$payload" ]; then
  echo "demo: generating the sample payload (20 MB)"
  python3 "$top/../shared/bench/make_payload.py" --out "$payload" --small >/dev/null 2>&1 ||
    python3 "$top/bench/make_payload.py" --out "$payload" --small >/dev/null
fi

wine_prefix_open demo
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb_pid=$!
trap 'kill $xvfb_pid 2>/dev/null || true; wine_prefix_close' EXIT
export DISPLAY=$display

setup_dir=$WINEPREFIX/drive_c/demo
mkdir -p "$setup_dir"
items=(--setupinfo "name=Demo Game Patch,shortname=Demo,exe=DemoSetup.exe,installdir=C:\\Games\\Demo,prefix=demo"
       --lines)
while IFS= read -r -d '' f; do
  rel=${f#"$payload"/}
  items+=(--file "${rel//\//\\}" 1 "$f")
done < <(find "$payload" -type f -print0 | sort -z)
"$bin/paktool" build "$setup_dir/DemoSetup.exe" --stub "$bin/setup.exe" "${items[@]}"
echo "demo: built DemoSetup.exe ($(du -h "$setup_dir/DemoSetup.exe" | cut -f1), $(( ${#items[@]} / 4 )) entries)"

wine "$setup_dir/DemoSetup.exe" >"$WINE_WORK/setup.log" 2>&1 &
setup_pid=$!
if wine "$bin/windriver.exe" wait "Verifying Contents" 20000 >"$WINE_WORK/wait.log" 2>&1; then
  sleep 0.3
  import -window root "$out/verify.png"
  echo "demo: screenshot of the verification window saved to build/demo/verify.png"
else
  echo "demo: the verification window did not appear"
fi
wait $setup_pid && rc=0 || rc=$?
echo "demo: setup.exe verified every entry and ended with exit code $rc"
exit $rc
