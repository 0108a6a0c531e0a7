#!/usr/bin/env bash
# Build time of a 300 MB setup: setupbuild against makensis (see bench/README.md).
#
#   bench/builder_bench.sh BIN_DIR        (make bench)
#
# Makes, when missing, the payload tree build/bench/payload300 (/work/shared/bench/make_payload.py,
# deterministic, about 300 MB), writes a setup script and an .nsi script that both pack the whole
# tree, then builds both setups in turn (setupbuild -j 2 -q, makensis -V1), interleaved, and
# prints the median wall time, throughput, peak memory and output size of each side, and their
# ratios. One more build with setupbuild -j 1 shows what the second thread brings, and one with
# --level 12 the smallest output. The sizes are also compared without the runtimes the packages
# ride on: our stub's size, and the size of a makensis installer with no file.
#
# BUILDER_BENCH_ROUNDS sets the rounds of each side (default 3, at least 1);
# SETUP_PAYLOAD_SCRIPT overrides where the payload generator is looked for.
set -euo pipefail

# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_init bench "$@"
PAYLOAD=$WORK/payload300
ROUNDS=${BUILDER_BENCH_ROUNDS:-3}
THREADS=2

bench_positive BUILDER_BENCH_ROUNDS "$ROUNDS"
bench_need_files setupbuild
bench_need_commands makensis
MAKENSIS=$(command -v makensis)
ensure_payload "$PAYLOAD" 300

# ---------------------------------------------------------------- the two scripts
# The stub of our setup is the Windows runtime beside the builder (make win32). Without it the
# benchmark still runs, on a stub of the two bytes a Windows program starts with, and says so:
# the sizes then leave the runtime out.
STUB=$BIN/setup.exe
STUB_NOTE=""
if [ ! -f "$STUB" ]; then
  STUB=$WORK/builder_bench_empty_stub
  printf 'MZ' >"$STUB"
  STUB_NOTE=" (no setup.exe in $BIN: a 2-byte stub, our size leaves the runtime out)"
fi

OURS_SCRIPT=$WORK/builder_bench.script
OURS_OUT=$WORK/builder_bench_ours.exe
PEER_SCRIPT=$WORK/builder_bench.nsi
PEER_OUT=$WORK/builder_bench_peer.exe

cat >"$OURS_SCRIPT" <<'EOF'
; The whole payload tree in one setup (bench/builder_bench.sh).
name Bench
outfile builder_bench_ours.exe
installdir "C:\Bench"
file payload300
EOF

bench_peer_script "$PEER_SCRIPT" builder_bench_peer.exe "C:\Bench"

# ---------------------------------------------------------------- measuring
# run_measured LOG COMMAND...: runs the command with no input, its output into LOG, and prints
# "wall_seconds,peak_kib". GNU time when there is one, else a small Python wrapper that reads
# the same figures from the kernel's accounting of the finished child.
if command time -f %e true >/dev/null 2>&1; then
  run_measured() {
    local log=$1 figures=$WORK/builder_bench.time
    shift
    command time -f %e,%M -o "$figures" "$@" </dev/null >"$log" 2>&1 || return 1
    tail -n 1 "$figures"
  }
  MEASURE="GNU time"
else
  run_measured() {
    local log=$1
    shift
    python3 -c '
import resource, subprocess, sys, time
with open(sys.argv[1], "wb") as log:
    start = time.monotonic()
    code = subprocess.call(sys.argv[2:], stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    wall = time.monotonic() - start
if code != 0:
    sys.exit(1)
print("%.2f,%d" % (wall, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss))
' "$log" "$@"
  }
  MEASURE="the kernel's child accounting (Python)"
fi

RESULTS=$WORK/builder_bench.results
: >"$RESULTS"

# build SIDE ROUND: one whole build of one side, appended to RESULTS as
# "side round seconds peak_kib output_bytes".
build() {
  local side=$1 round=$2 figures log=$WORK/builder_bench_$1.log out
  case $side in
    ours) out=$OURS_OUT ;;
    ours-j1) out=$OURS_OUT ;;
    ours-l12) out=$OURS_OUT ;;
    peer) out=$PEER_OUT ;;
  esac
  rm -f "$out"
  case $side in
    ours) figures=$(run_measured "$log" "$BIN/setupbuild" --stub "$STUB" -j "$THREADS" -q "$OURS_SCRIPT") || failed "$side" "$log" ;;
    ours-j1) figures=$(run_measured "$log" "$BIN/setupbuild" --stub "$STUB" -j 1 -q "$OURS_SCRIPT") || failed "$side" "$log" ;;
    ours-l12) figures=$(run_measured "$log" "$BIN/setupbuild" --stub "$STUB" -j "$THREADS" --level 12 -q "$OURS_SCRIPT") ||
      failed "$side" "$log" ;;
    peer) figures=$(run_measured "$log" "$MAKENSIS" -V1 "$PEER_SCRIPT") || failed "$side" "$log" ;;
  esac
  [ -s "$out" ] || failed "$side" "$log"
  local size
  size=$(stat -c %s "$out")
  echo "$side $round ${figures%,*} ${figures#*,} $size" >>"$RESULTS"
  printf 'bench:   round %d %-8s %7.2f s %8d KiB peak %11d bytes\n' "$round" "$side" "${figures%,*}" "${figures#*,}" "$size"
}

failed() {
  echo "bench: the $1 build failed; its output:" >&2
  cat "$2" >&2
  exit 1
}

# Both sides read the same files: read them all once so that the first build does not pay for
# the disk.
find "$PAYLOAD" -type f -print0 | xargs -0 cat >/dev/null

echo "bench: $PAYLOAD_FILES files, $PAYLOAD_BYTES bytes; $(nproc) cores; $ROUNDS rounds of each side, measured with $MEASURE"
echo "bench: ours  = $BIN/setupbuild -j $THREADS -q$STUB_NOTE"
echo "bench: peer  = $MAKENSIS -V1 ($("$MAKENSIS" -VERSION 2>/dev/null || echo version unknown))"
echo "bench: figures vary from run to run on a shared machine; compare medians and ratios"

bench_take_turns build ours peer
build ours-j1 1
build ours-l12 1

# What each side's runtime weighs before any payload: our stub, and the peer's installer of
# nothing (the same script without its File line).
EMPTY_NSI=$WORK/builder_bench_empty.nsi
bench_peer_script "$EMPTY_NSI" builder_bench_peer_empty.exe "C:\Bench"
sed -i '/File \/r/d' "$EMPTY_NSI"
"$MAKENSIS" -V1 "$EMPTY_NSI" >"$WORK/builder_bench_peer_empty.log" 2>&1 || failed "empty peer" "$WORK/builder_bench_peer_empty.log"
OURS_STUB_BYTES=$(stat -c %s "$STUB")
PEER_STUB_BYTES=$(stat -c %s "$WORK/builder_bench_peer_empty.exe")

if [ -x "$BIN/paktool" ]; then
  # The last build left our setup of the whole tree: prove that it reads back.
  "$BIN/paktool" verify "$OURS_OUT" >"$WORK/builder_bench_verify.log" 2>&1 ||
    failed "paktool verify of our" "$WORK/builder_bench_verify.log"
fi

python3 - "$RESULTS" "$PAYLOAD_BYTES" "$THREADS" "$OURS_STUB_BYTES" "$PEER_STUB_BYTES" <<'EOF'
import statistics, sys

results, payload, threads = sys.argv[1], int(sys.argv[2]), sys.argv[3]
ours_stub, peer_stub = int(sys.argv[4]), int(sys.argv[5])
rows = {}
for line in open(results):
    side, _, seconds, peak, size = line.split()
    rows.setdefault(side, []).append((float(seconds), int(peak), int(size)))

def median(side, column):
    return statistics.median(r[column] for r in rows[side])

print()
print("%-16s %6s %10s %10s %14s %14s" % ("side", "rounds", "median s", "MB/s", "max peak MiB", "output bytes"))
for side, label in (("ours", "setupbuild -j" + threads), ("peer", "makensis"), ("ours-j1", "setupbuild -j1"),
                    ("ours-l12", "--level 12 -j" + threads)):
    seconds = median(side, 0)
    print("%-16s %6d %10.2f %10.1f %14.1f %14d" % (label, len(rows[side]), seconds, payload / 1e6 / seconds,
                                                     max(r[1] for r in rows[side]) / 1024, median(side, 2)))
speed = median("peer", 0) / median("ours", 0)
size = median("ours", 2) / median("peer", 2)
pairs = [p[0] / o[0] for o, p in zip(rows["ours"], rows["peer"])]
print()
print("throughput ours/peer: %.2f (medians); round by round %s" % (speed, ", ".join("%.2f" % p for p in pairs)))
print("output size ours/peer: %.4f (%+.2f %%); --level 12: %.4f" % (size, (size - 1) * 100,
                                                                 median("ours-l12", 2) / median("peer", 2)))
print("without the runtimes (ours %d B, the peer's empty installer %d B): %.4f; --level 12: %.4f"
      % (ours_stub, peer_stub, (median("ours", 2) - ours_stub) / (median("peer", 2) - peer_stub),
         (median("ours-l12", 2) - ours_stub) / (median("peer", 2) - peer_stub)))
print("setupbuild -j%s over -j1: %.2f (one -j1 build)" % (threads, median("ours-j1", 0) / median("ours", 0)))
print("--level 12 -j%s: %.2f s, throughput over the peer's %.2f (one build)"
      % (threads, median("ours-l12", 0), median("peer", 0) / median("ours-l12", 0)))
print("goal: throughput ratio >= 2.50 at a size ratio <= 1.00; --level 12 size ratio <= 0.99")
EOF
