#!/usr/bin/env bash
# Output size of a setup against makensis, on the benchmark payload and on a real game's data.
#
#   bench/size_bench.sh BIN_DIR
#
# Two trees:
#   payload300  the deterministic 300 MB game-patch payload of the builder benchmark
#               (/work/shared/bench/make_payload.py, made when missing);
#   game        Debian's supertuxkart-data package (about 5,250 files, 719 MB of game data:
#               PNG and JPEG textures, Ogg music, meshes, XML), fetched with `apt-get download`
#               into build/bench/ when missing and unpacked with dpkg-deb. Its seven symbolic
#               links point at system fonts outside the package; both builders skip such links
#               without a word, so they are removed after unpacking and the counts printed are
#               those of the files both pack.
# Each tree is built once by setupbuild (default level, -j 2, the Windows runtime beside it as
# the stub) and once by makensis (zlib, not solid, one `File /r` of the tree), and the script
# prints both sizes and their ratio, with the runtimes and without them (our stub; the peer's
# installer of no file). Wall times are printed for the record; bench/builder_bench.sh is the
# one that measures build time properly (page cache, rounds, medians). Our setups are checked
# with `paktool verify`.
#
# SIZE_BENCH_GAME_VERSION picks the package version (apt-get download NAME=VERSION); the
# default is whatever the package lists offer, and the version used is printed. The .deb is kept
# in build/bench/ and only fetched again when deleted. BENCH_SMALL=1 (see bench/lib.sh) takes
# the 20 MB payload and only the game's karts folder (about 31 MB).
# SETUP_PAYLOAD_SCRIPT overrides where the payload generator is looked for.
set -euo pipefail

# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_init size "$@"
THREADS=2

bench_need_files setupbuild
bench_need_commands makensis apt-get dpkg-deb
MAKENSIS=$(command -v makensis)
ensure_payload "$WORK/payload300" 300

# ---------------------------------------------------------------- the game's data
# The package and its unpacked tree live in build/bench/ in both modes (the small mode takes a
# sub-folder of the same tree), so the 630 MB download happens once.
GAME_CACHE=$ROOT/build/bench
GAME_NAME=supertuxkart-data
GAME_TREE=$GAME_CACHE/game
GAME_SPEC=$GAME_NAME${SIZE_BENCH_GAME_VERSION:+=$SIZE_BENCH_GAME_VERSION}

ensure_game() {
  local deb
  deb=$(find "$GAME_CACHE" -maxdepth 1 -name "${GAME_NAME}_${SIZE_BENCH_GAME_VERSION:-*}_all.deb" | sort | tail -n 1)
  if [ -z "$deb" ]; then
    echo "size: fetching $GAME_SPEC (about 630 MB) into $GAME_CACHE"
    (cd "$GAME_CACHE" && apt-get download "$GAME_SPEC" </dev/null) ||
      bench_fail "apt-get download $GAME_SPEC failed (run apt-get update first, as root)"
    deb=$(find "$GAME_CACHE" -maxdepth 1 -name "${GAME_NAME}_*_all.deb" | sort | tail -n 1)
  fi
  GAME_DEB=$deb
  # The stamp names the .deb the tree came from: another version unpacks afresh.
  if ! [ -d "$GAME_TREE" ] || [ "$(cat "$GAME_TREE.stamp" 2>/dev/null)" != "$(basename "$deb")" ]; then
    echo "size: unpacking $(basename "$deb") into $GAME_TREE"
    rm -rf "$GAME_TREE" "$GAME_TREE.stamp" "$GAME_TREE.part"
    dpkg-deb -x "$deb" "$GAME_TREE.part"
    # Links to system fonts that the package does not carry.
    find "$GAME_TREE.part" -type l -delete
    mv "$GAME_TREE.part" "$GAME_TREE"
    basename "$deb" >"$GAME_TREE.stamp"
  fi
}
ensure_game

GAME=$GAME_TREE
if [ "${BENCH_SMALL:-0}" = 1 ]; then
  GAME=$GAME_TREE/usr/share/games/supertuxkart/data/karts
fi

# ---------------------------------------------------------------- the builds
STUB=$BIN/setup.exe
STUB_NOTE=""
if [ ! -f "$STUB" ]; then
  STUB=$WORK/size_bench_empty_stub
  : >"$STUB"
  STUB_NOTE=" (no setup.exe in $BIN: empty stub, our size leaves the runtime out)"
fi

# Both scripts name their tree by its path: setupbuild takes it relative to the script's folder,
# makensis to its working folder, and both are WORK.
RESULTS=$WORK/size_bench.results
: >"$RESULTS"

failed() {
  echo "size: the $1 build failed; its output:" >&2
  cat "$2" >&2
  exit 1
}

# timed LOG COMMAND...: runs the command with no input, its output into LOG; prints the wall
# seconds.
timed() {
  local log=$1 start end
  shift
  start=$(date +%s.%N)
  (cd "$WORK" && "$@" </dev/null >"$log" 2>&1) || return 1
  end=$(date +%s.%N)
  echo "$start $end" | awk '{printf "%.2f", $2 - $1}'
}

# build_tree LABEL DIR: our setup and the peer's installer of DIR, one line each in RESULTS as
# "label side seconds bytes".
build_tree() {
  local label=$1 dir=$2 ours=$WORK/size_bench_$1_ours.exe peer=$WORK/size_bench_$1_peer.exe seconds
  cat >"$WORK/size_bench_$label.script" <<EOF
; The whole tree in one setup (bench/size_bench.sh).
name Bench
outfile size_bench_${label}_ours.exe
installdir "C:\\Bench"
file "$dir"
EOF
  cat >"$WORK/size_bench_$label.nsi" <<EOF
; The whole tree in one installer (bench/size_bench.sh).
Name "Bench"
OutFile "size_bench_${label}_peer.exe"
InstallDir "C:\\Bench"
RequestExecutionLevel user
SetCompressor zlib

Section
  SetOutPath "\$INSTDIR"
  File /r "$dir/*"
SectionEnd
EOF
  # Both sides read the same files: read them once so that the first build does not pay for
  # the disk.
  (cd "$WORK" && find "$dir" -type f -print0 | xargs -0 cat >/dev/null)

  rm -f "$ours" "$peer"
  seconds=$(timed "$WORK/size_bench_${label}_ours.log" "$BIN/setupbuild" --stub "$STUB" -j "$THREADS" -q \
    "$WORK/size_bench_$label.script") || failed "$label ours" "$WORK/size_bench_${label}_ours.log"
  [ -s "$ours" ] || failed "$label ours" "$WORK/size_bench_${label}_ours.log"
  echo "$label ours $seconds $(stat -c %s "$ours")" >>"$RESULTS"
  if [ -x "$BIN/paktool" ]; then
    "$BIN/paktool" verify "$ours" >"$WORK/size_bench_${label}_verify.log" 2>&1 ||
      failed "paktool verify of our $label" "$WORK/size_bench_${label}_verify.log"
  fi

  seconds=$(timed "$WORK/size_bench_${label}_peer.log" "$MAKENSIS" -V1 "$WORK/size_bench_$label.nsi") ||
    failed "$label peer" "$WORK/size_bench_${label}_peer.log"
  [ -s "$peer" ] || failed "$label peer" "$WORK/size_bench_${label}_peer.log"
  echo "$label peer $seconds $(stat -c %s "$peer")" >>"$RESULTS"
  printf 'size:   %-10s ours %7s s %12d bytes   peer %7s s %12d bytes\n' "$label" \
    "$(awk -v l="$label" '$1 == l && $2 == "ours" {print $3}' "$RESULTS")" "$(stat -c %s "$ours")" \
    "$seconds" "$(stat -c %s "$peer")"
}

# The peer's runtime: the installer of no file.
cat >"$WORK/size_bench_empty.nsi" <<'EOF'
; An installer of no file: what the peer's runtime weighs (bench/size_bench.sh).
Name "Bench"
OutFile "size_bench_empty_peer.exe"
InstallDir "C:\Bench"
RequestExecutionLevel user
SetCompressor zlib

Section
  SetOutPath "$INSTDIR"
SectionEnd
EOF
(cd "$WORK" && "$MAKENSIS" -V1 size_bench_empty.nsi </dev/null >size_bench_empty.log 2>&1) ||
  failed "empty peer" "$WORK/size_bench_empty.log"
OURS_STUB_BYTES=$(stat -c %s "$STUB")
PEER_STUB_BYTES=$(stat -c %s "$WORK/size_bench_empty_peer.exe")

# "files bytes duplicate_files duplicate_bytes" of a tree: a duplicate is a file whose content
# is that of an earlier file (in path order), empty files aside.
tree_figures() {
  python3 - "$1" <<'PY'
import hashlib, os, sys

seen, files, total, dup_files, dup_bytes = set(), 0, 0, 0, 0
paths = sorted(os.path.join(d, f) for d, _, names in os.walk(sys.argv[1]) for f in names)
for path in paths:
    if not os.path.isfile(path) or os.path.islink(path):
        continue
    with open(path, "rb") as f:
        data = f.read()
    files, total = files + 1, total + len(data)
    digest = hashlib.sha256(data).digest()
    if data and digest in seen:
        dup_files, dup_bytes = dup_files + 1, dup_bytes + len(data)
    seen.add(digest)
print(files, total, dup_files, dup_bytes)
PY
}

echo "size: $(nproc) cores; ours = $BIN/setupbuild -j $THREADS -q (default level)$STUB_NOTE"
echo "size: peer = $MAKENSIS -V1 ($("$MAKENSIS" -VERSION 2>/dev/null || echo version unknown)), zlib, not solid"
echo "size: game = $(basename "$GAME_DEB" .deb), tree $GAME"
read -r P_FILES P_BYTES P_DUP_FILES P_DUP_BYTES <<<"$(tree_figures "$WORK/payload300")"
read -r G_FILES G_BYTES G_DUP_FILES G_DUP_BYTES <<<"$(tree_figures "$GAME")"
echo "size: payload300 $P_FILES files, $P_BYTES bytes ($P_DUP_FILES duplicate files, $P_DUP_BYTES bytes)"
echo "size: game       $G_FILES files, $G_BYTES bytes ($G_DUP_FILES duplicate files, $G_DUP_BYTES bytes)"

build_tree payload300 payload300
build_tree game "$(realpath --relative-to="$WORK" "$GAME")"

python3 - "$RESULTS" "$OURS_STUB_BYTES" "$PEER_STUB_BYTES" "$P_BYTES" "$G_BYTES" <<'EOF'
import sys

results, ours_stub, peer_stub = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
tree_bytes = {"payload300": int(sys.argv[4]), "game": int(sys.argv[5])}
rows = {}
for line in open(results):
    label, side, seconds, size = line.split()
    rows[(label, side)] = (float(seconds), int(size))

print()
print("%-11s %14s %14s %10s %14s %14s %10s" % ("tree", "ours bytes", "peer bytes", "ours/peer",
                                                "ours - stub", "peer - stub", "ours/peer"))
for label in ("payload300", "game"):
    ours, peer = rows[(label, "ours")][1], rows[(label, "peer")][1]
    print("%-11s %14d %14d %10.4f %14d %14d %10.4f" % (label, ours, peer, ours / peer, ours - ours_stub,
                                                      peer - peer_stub, (ours - ours_stub) / (peer - peer_stub)))
print()
print("runtimes: our stub %d bytes, the peer's installer of no file %d bytes" % (ours_stub, peer_stub))
for label in ("payload300", "game"):
    (o, _), (p, _) = rows[(label, "ours")], rows[(label, "peer")]
    print("%s: setupbuild %.2f s, makensis %.2f s (one build each), throughput ours/peer %.2f"
          % (label, o, p, p / o))
print("goal: ours/peer <= 1.0000 on both trees, with the runtimes")
EOF
