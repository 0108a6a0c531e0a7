#!/usr/bin/env bash
# A patch from version 1 of a game to version 2: how small, how fast, how much memory.
#
#   bench/patch_bench.sh BIN_DIR
#
# The two versions are made from the benchmark payload (make_payload.py, about 300 MB) by
# bench/make_patch_versions.py into build/bench/patch/: a 167 MB archive of assets with 4
# members changed in its middle and 2 added, 300 text files and 30 binary files edited, 20 files
# added, 10 removed (the script's comment has the details).
#
# Sizes, side by side:
#   ours     a setup of `patch v2 v1`, less the runtime it carries;
#   whole    a setup of `file` over the changed and new files of version 2 (the way a patch is
#            shipped without differences), less the runtime;
#   xdelta3  `xdelta3 -9 -e -s OLD NEW` of each changed file, summed; the new files at their
#            size in our setup (xdelta3 ships them as they are, we deflate them).
# The changed files alone are compared as well: a patch setup and a whole setup of only them.
#
# Time and memory under Wine (PATCH_BENCH_ROUNDS rounds, default 3, taking turns): version 1 is
# copied into C:\Game (untimed), then either the patch setup or the whole setup runs with
# -silent; wall time and peak memory of the setup process (bench/measure.py). After the patch,
# C:\Game must equal version 2 file by file; after the whole setup, every changed and new file.
#
# PATCH_BENCH_KEEP=1 keeps the temporary folder (prefix, logs).
set -euo pipefail

# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_init patch "$@"
PAYLOAD=$WORK/payload300
VERSIONS=$WORK/patch
ROUNDS=${PATCH_BENCH_ROUNDS:-3}

bench_positive PATCH_BENCH_ROUNDS "$ROUNDS"
bench_need_files setupbuild paktool setup.exe windriver.exe layout/default
bench_need_commands wine wineboot wineserver Xvfb python3 sha256sum xdelta3
ensure_payload "$PAYLOAD" 300

if ! [ -f "$VERSIONS.stamp" ] || [ "$PAYLOAD.stamp" -nt "$VERSIONS.stamp" ] ||
  [ "$ROOT/bench/make_patch_versions.py" -nt "$VERSIONS.stamp" ]; then
  echo "patch: making versions 1 and 2 in $VERSIONS"
  rm -f "$VERSIONS.stamp"
  python3 "$ROOT/bench/make_patch_versions.py" "$PAYLOAD" "$VERSIONS" </dev/null
fi
V1=$VERSIONS/v1
V2=$VERSIONS/v2

# ---------------------------------------------------------------- what changed
# changed.list: files of both versions whose bytes differ; new.list: files only version 2 has.
(cd "$V1" && find . -type f | sort) >"$WORK/patch_v1.list"
(cd "$V2" && find . -type f | sort) >"$WORK/patch_v2.list"
comm -12 "$WORK/patch_v1.list" "$WORK/patch_v2.list" | while IFS= read -r f; do
  cmp -s "$V1/$f" "$V2/$f" || echo "$f"
done >"$WORK/patch_changed.list"
comm -13 "$WORK/patch_v1.list" "$WORK/patch_v2.list" >"$WORK/patch_new.list"
(cd "$V2" && tr '\n' '\0' <"$WORK/patch_v2.list" | xargs -0 sha256sum) >"$WORK/patch_v2.manifest"
CHANGED=$(wc -l <"$WORK/patch_changed.list")
NEW=$(wc -l <"$WORK/patch_new.list")

# Trees of hard links: the changed and new files of version 2 (whole), the changed files alone
# in both versions (changed1, changed2).
rm -rf "$WORK/patch_trees"
link_tree() {  # link_tree FROM TO LIST
  while IFS= read -r f; do
    mkdir -p "$2/$(dirname "$f")"
    ln "$1/$f" "$2/$f"
  done <"$3"
}
cat "$WORK/patch_changed.list" "$WORK/patch_new.list" >"$WORK/patch_whole.list"
link_tree "$V2" "$WORK/patch_trees/whole" "$WORK/patch_whole.list"
link_tree "$V1" "$WORK/patch_trees/changed1" "$WORK/patch_changed.list"
link_tree "$V2" "$WORK/patch_trees/changed2" "$WORK/patch_changed.list"

# ---------------------------------------------------------------- the setups
script() {  # script NAME LINE
  cat >"$WORK/patch_$1.script" <<EOF
; bench/patch_bench.sh
name Game
outfile patch_$1.exe
installdir "C:\\Game"
language English
pages default
$2
EOF
}
script ours 'patch patch\v2 patch\v1'
script whole 'file patch_trees\whole'
script ours_changed 'patch patch_trees\changed2 patch_trees\changed1'
script whole_changed 'file patch_trees\changed2'

STUB=$(stat -c %s "$BIN/setup.exe")
declare -A SIZE BUILD
for name in ours whole ours_changed whole_changed; do
  start=$(date +%s.%N)
  bench_setupbuild "$WORK/patch_$name.script" "$WORK/patch_build_$name.log"
  BUILD[$name]=$(echo "$(date +%s.%N) - $start" | bc)
  SIZE[$name]=$(($(stat -c %s "$WORK/patch_$name.exe") - STUB))
done
"$BIN/setupbuild" "$WORK/patch_ours.script" -o "$WORK/patch_ours_again.exe" </dev/null >"$WORK/patch_build_report.log" 2>&1 ||
  bench_fail "setupbuild failed: $(tail -5 "$WORK/patch_build_report.log")"
cmp -s "$WORK/patch_ours.exe" "$WORK/patch_ours_again.exe" || bench_fail "two builds of the patch differ"

XDELTA=0
start=$(date +%s.%N)
while IFS= read -r f; do
  xdelta3 -9 -f -e -s "$V1/$f" "$V2/$f" "$WORK/patch.xd" </dev/null
  XDELTA=$((XDELTA + $(stat -c %s "$WORK/patch.xd")))
done <"$WORK/patch_changed.list"
XDELTA_TIME=$(echo "$(date +%s.%N) - $start" | bc)
rm -f "$WORK/patch.xd"
NEW_PACKED=$((SIZE[whole] - SIZE[whole_changed]))
ARCHIVE_XD=$(xdelta3 -9 -f -e -s "$V1/data/assets.zip" "$V2/data/assets.zip" "$WORK/patch.xd" </dev/null && stat -c %s "$WORK/patch.xd")
rm -f "$WORK/patch.xd"

echo
echo "patch: $CHANGED changed files, $NEW new, $(comm -23 "$WORK/patch_v1.list" "$WORK/patch_v2.list" | wc -l) removed"
echo "patch: what setupbuild said of it:"
grep -i "patch" "$WORK/patch_build_report.log" | sed 's/^/  /'
python3 - "${SIZE[ours]}" "${SIZE[whole]}" "${SIZE[ours_changed]}" "${SIZE[whole_changed]}" "$XDELTA" "$NEW_PACKED" \
  "${BUILD[ours]}" "$XDELTA_TIME" "$ARCHIVE_XD" <<'EOF'
import sys
ours, whole, ours_c, whole_c, xd, new_packed, build, xd_time, archive_xd = map(float, sys.argv[1:])
mb = lambda b: b / 1e6
print()
print("%-36s %12s %12s %12s" % ("bytes shipped (MB)", "ours", "whole", "xdelta3 -9"))
print("%-36s %12.2f %12.2f %12.2f" % ("changed files only", mb(ours_c), mb(whole_c), mb(xd)))
print("%-36s %12.2f %12.2f %12.2f" % ("the whole update (with new files)", mb(ours), mb(whole), mb(xd + new_packed)))
print()
print("changed files: ours / whole %.3f, ours / xdelta3 %.2f" % (ours_c / whole_c, ours_c / xd))
print("the archive alone: xdelta3 -9 %.2f MB" % mb(archive_xd))
print("build time of the patch setup %.1f s (xdelta3 -9 over the changed files: %.1f s)" % (build, xd_time))
EOF

# ---------------------------------------------------------------- applying under Wine
bench_wine_open patch-bench "${PATCH_BENCH_KEEP:-0}"
wine_place_windows "$TMP/reg.log" || bench_fail "cannot set the X11 driver's Managed value"
bench_notepad
mkdir -p "$WINEPREFIX/drive_c/bench"
cp "$WORK/patch_ours.exe" "$WORK/patch_whole.exe" "$WINEPREFIX/drive_c/bench/"
GAME="$WINEPREFIX/drive_c/Game"
MEASURE=$ROOT/bench/measure.py
RESULTS=$WORK/patch_bench.results
: >"$RESULTS"

run() {  # run SIDE ROUND: version 1 into C:\Game, then the side's setup -silent
  local side=$1 round=$2 log=$TMP/logs/$1.$2 figures
  bench_move_away "$GAME" "$side.$round"
  cp -r "$V1" "$GAME"
  sync
  figures=$(python3 "$MEASURE" "patch_$side.exe" "$GAME" "$log" \
    wine "$BIN/windriver.exe" answer Information OK 600000 -- \
    wine "C:\\bench\\patch_$side.exe" -silent)
  local wall folder answered peak children cpu code
  read -r wall folder answered peak children cpu code <<<"$figures"
  [ "$code" = 0 ] || bench_fail "the $side setup ended with exit code $code: $(tail -5 "$log.program")"
  if [ "$side" = ours ]; then
    (cd "$GAME" && sha256sum --quiet -c "$WORK/patch_v2.manifest") >"$log.check" 2>&1 ||
      bench_fail "the patched folder differs from version 2: $(head -5 "$log.check")"
    [ "$(find "$GAME" -type f | wc -l)" -eq "$(wc -l <"$WORK/patch_v2.list")" ] ||
      bench_fail "the patched folder holds other files than version 2"
  else
    (cd "$GAME" && grep -F -f <(sed 's|^\./||' "$WORK/patch_whole.list") "$WORK/patch_v2.manifest" |
      sha256sum --quiet -c -) >"$log.check" 2>&1 || bench_fail "the whole setup left other files: $(head -5 "$log.check")"
  fi
  if [ "$round" -eq 0 ]; then
    printf 'patch:   warm-up %-5s %6.2f s  %7d KiB peak (not counted)\n' "$side" "$wall" "$peak"
    return
  fi
  echo "$side $round $wall $peak $cpu" >>"$RESULTS"
  printf 'patch:   round %d %-5s %6.2f s  %7d KiB peak  cpu %5.2f s\n' "$round" "$side" "$wall" "$peak" "$cpu"
}

echo
echo "patch: applying under Wine, $(nproc) cores, $ROUNDS rounds of each; $(wine --version)"
run ours 0
run whole 0
bench_take_turns run ours whole

python3 - "$RESULTS" <<'EOF'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    side, _, wall, peak, cpu = line.split()
    rows.setdefault(side, []).append((float(wall), int(peak), float(cpu)))
med = lambda side, c: statistics.median(r[c] for r in rows[side])
print()
print("%-6s %6s %9s %7s %10s" % ("side", "rounds", "median s", "cpu s", "peak MiB"))
for side in ("ours", "whole"):
    print("%-6s %6d %9.2f %7.2f %10.1f" % (side, len(rows[side]), med(side, 0), med(side, 2), med(side, 1) / 1024))
print()
print("patch time / whole install time: %.2f (medians)" % (med("ours", 0) / med("whole", 0)))
print("peak memory of the patch (the archive's difference applied among the rest): %.1f MiB" % (med("ours", 1) / 1024))
EOF
