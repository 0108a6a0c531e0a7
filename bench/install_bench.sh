#!/usr/bin/env bash
# Silent install of a 300 MB setup under Wine: our setup.exe against a makensis installer of the
# same tree (see bench/README.md).
#
#   bench/install_bench.sh BIN_DIR        (make bench)
#
# Makes, when missing, the payload tree build/bench/payload300 (/work/shared/bench/make_payload.py,
# deterministic, about 300 MB), builds once our setup of the whole tree (setupbuild -q, the shipped
# page layout "default") and a makensis installer of it (-V1, zlib, not solid), then installs
# both silently in one 32-bit Wine prefix on one Xvfb display, taking turns: ours with -silent
# (its closing "Compleated" box answered by windriver.exe), the peer with /S /D=. Each install
# gives its wall time and the peak memory of the installer process, and is checked against the
# payload's manifest. Prints medians, throughput and the ratios ours / peer.
#
# INSTALL_BENCH_ROUNDS sets the timed installs of each side (default 5, at least 3 are
# advisable); SETUP_PAYLOAD_SCRIPT overrides where the payload generator is looked for;
# INSTALL_BENCH_KEEP=1 keeps the temporary folder (prefix, logs) for a look afterwards;
# INSTALL_BENCH_WINE_MANAGED=1 keeps Wine's default window handling (see below). The run keeps
# every install until it ends: about 0.6 GB per round in TMPDIR (default /tmp).
set -euo pipefail

# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_init bench "$@"
PAYLOAD=$WORK/payload300
ROUNDS=${INSTALL_BENCH_ROUNDS:-5}

bench_positive INSTALL_BENCH_ROUNDS "$ROUNDS"
bench_need_files setupbuild setup.exe windriver.exe layout/default
bench_need_commands makensis wine wineboot wineserver Xvfb python3 sha256sum
ensure_payload "$PAYLOAD" 300

# ---------------------------------------------------------------- the two installers
OURS_SCRIPT=$WORK/install_bench.script
OURS_EXE=install_bench_ours.exe
PEER_SCRIPT=$WORK/install_bench.nsi
PEER_EXE=install_bench_peer.exe

cat >"$OURS_SCRIPT" <<'EOF'
; The whole payload tree, installed silently (bench/install_bench.sh).
name Bench
outfile install_bench_ours.exe
installdir "C:\Bench Ours"
pages default
file payload300
EOF

bench_peer_script "$PEER_SCRIPT" "$PEER_EXE" "C:\Bench Peer"

echo "bench: building both installers of $PAYLOAD_FILES files, $PAYLOAD_BYTES bytes (about a minute)"
rm -f "$WORK/$OURS_EXE" "$WORK/$PEER_EXE"
bench_setupbuild "$OURS_SCRIPT" "$WORK/install_bench_build_ours.log"
makensis -V1 "$PEER_SCRIPT" </dev/null >"$WORK/install_bench_build_peer.log" 2>&1 || {
  cat "$WORK/install_bench_build_peer.log" >&2
  bench_fail "makensis failed"
}

# ---------------------------------------------------------------- Wine and X
bench_wine_open install-bench "${INSTALL_BENCH_KEEP:-0}"
# Xvfb has no window manager. Wine's default takes one for granted: when a window that it left
# to the window manager is hidden, Wine first waits up to 2 s for the manager to confirm that
# it is shown, so closing our "Compleated" box costs 2 s that no desktop would add (the peer
# shows no window). "Managed"=N lets Wine place the windows itself (wine_place_windows, which
# also gives Wine the system fonts); INSTALL_BENCH_WINE_MANAGED=1 keeps Wine's default for
# comparison.
MANAGED_NOTE="windows placed by Wine (X11 Driver Managed=N: no window manager on the display)"
if [ "${INSTALL_BENCH_WINE_MANAGED:-0}" = 1 ]; then
  MANAGED_NOTE="Wine's default window handling (waits up to 2 s for a window manager when the box closes)"
else
  wine_place_windows "$TMP/reg.log" || {
    cat "$TMP/reg.log" >&2
    bench_fail "cannot set the X11 driver's Managed value"
  }
fi
bench_notepad

# Both installers run from the prefix's C: drive, under the names they were built with (our
# setup checks its own file name).
mkdir -p "$WINEPREFIX/drive_c/bench"
cp "$WORK/$OURS_EXE" "$WORK/$PEER_EXE" "$WINEPREFIX/drive_c/bench/"
OURS_DIR="$WINEPREFIX/drive_c/Bench Ours"
PEER_DIR="$WINEPREFIX/drive_c/Bench Peer"

# ---------------------------------------------------------------- measuring
# bench/measure.py starts `wine EXE ARGS`, waits for it and prints one line:
#   wall_s folder_s answered_s peak_kib children_kib cpu_s exit_code
# (folder_s: for ours the first file written, once every entry has been verified; for the peer
# the start of its section, once it has checked the CRC of the whole installer; answered_s: for
# ours, when windriver.exe had pressed OK in the "Compleated" box).
MEASURE=$ROOT/bench/measure.py

RESULTS=$WORK/install_bench.results
: >"$RESULTS"

# install SIDE ROUND: moves the side's previous install away, flushes the disk, installs
# silently and measures; ROUND 0 is the untimed warm-up. Timed rounds go to RESULTS as
# "side round wall_s folder_s answered_s peak_kib children_kib cpu_s".
install() {
  local side=$1 round=$2 dir figures log=$TMP/logs/$1.$2
  if [ "$side" = ours ]; then dir=$OURS_DIR; else dir=$PEER_DIR; fi
  bench_move_away "$dir" "$side.$round"
  if [ "$side" = ours ]; then
    figures=$(python3 "$MEASURE" "$OURS_EXE" "$dir" "$log" \
      wine "$BIN/windriver.exe" answer Information OK 600000 -- \
      wine "C:\\bench\\$OURS_EXE" -silent)
  else
    # /D= must come last and without quotes, even with a space in the folder.
    figures=$(python3 "$MEASURE" "$PEER_EXE" "$dir" "$log" \
      -- wine "C:\\bench\\$PEER_EXE" /S "/D=C:\\Bench Peer")
  fi
  local wall folder answered peak children cpu code
  read -r wall folder answered peak children cpu code <<<"$figures"
  [ "$code" = 0 ] || bench_fail "the $side installer ended with exit code $code: $(tail -5 "$log.program")"
  if [ "$side" = ours ]; then
    grep -q "Compleated" "$log.answer" || bench_fail "windriver did not answer the Compleated box: $(cat "$log.answer")"
  fi
  bench_check_tree "$side" "$dir"
  if [ "$round" -eq 0 ]; then
    printf 'bench:   warm-up %-5s %6.2f s  %7d KiB peak (not counted)\n' "$side" "$wall" "$peak"
    return
  fi
  echo "$side $round $wall $folder $answered $peak $children $cpu" >>"$RESULTS"
  printf 'bench:   round %d %-5s %6.2f s  %7d KiB peak  cpu %5.2f s  folder at %5.2f s' \
    "$round" "$side" "$wall" "$peak" "$cpu" "$folder"
  if [ "$side" = ours ]; then
    printf ', box answered at %5.2f s' "$answered"
  fi
  printf '\n'
}

echo "bench: $PAYLOAD_FILES files, $PAYLOAD_BYTES bytes; $(nproc) cores; $ROUNDS rounds of each side"
echo "bench: ours  = $OURS_EXE -silent ($(stat -c %s "$WORK/$OURS_EXE") bytes, setupbuild -q)"
echo "bench: peer  = $PEER_EXE /S /D=... ($(stat -c %s "$WORK/$PEER_EXE") bytes, makensis -V1 $(makensis -VERSION 2>/dev/null || true))"
echo "bench: $(wine --version) prefix $WINEARCH, $MANAGED_NOTE"
echo "bench: every install checked against $PAYLOAD.manifest"
echo "bench: figures vary from run to run on a shared machine; compare medians and ratios"

# One untimed install of each side: the first start of a program in a new prefix pays for Wine
# setting itself up.
install ours 0
install peer 0
bench_take_turns install ours peer

python3 - "$RESULTS" "$PAYLOAD_BYTES" <<'EOF'
import statistics, sys

results, payload = sys.argv[1], int(sys.argv[2])
rows = {}
for line in open(results):
    side, _, wall, folder, answered, peak, children, cpu = line.split()
    rows.setdefault(side, []).append((float(wall), float(folder), float(answered), int(peak), int(children), float(cpu)))

def median(side, column):
    return statistics.median(r[column] for r in rows[side])

print()
print("%-5s %6s %9s %7s %11s %7s %15s %17s" % ("side", "rounds", "median s", "MB/s", "folder at s", "cpu s",
                                              "peak MiB (proc)", "peak MiB (rusage)"))
for side in ("ours", "peer"):
    wall = median(side, 0)
    print("%-5s %6d %9.2f %7.1f %11.2f %7.2f %15.1f %17.1f" % (
        side, len(rows[side]), wall, payload / 1e6 / wall, median(side, 1), median(side, 5),
        median(side, 3) / 1024, median(side, 4) / 1024))
ratio = median("ours", 0) / median("peer", 0)
pairs = [o[0] / p[0] for o, p in zip(rows["ours"], rows["peer"])]
print()
print("wall time ours/peer: %.2f (medians); round by round %s" % (ratio, ", ".join("%.2f" % p for p in pairs)))
print("cpu time ours/peer: %.2f (medians)" % (median("ours", 5) / median("peer", 5)))
print("ours: Compleated box answered at %.2f s (median), the process ended %.2f s later" % (
    median("ours", 2), statistics.median(r[0] - r[2] for r in rows["ours"])))
print("peak memory ours/peer: %.2f" % (median("ours", 3) / median("peer", 3)))
print("goal: wall time ratio <= 0.75 (every entry verified first all the same)")
EOF
