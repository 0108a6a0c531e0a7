#!/usr/bin/env bash
# A real game of many small files: silent install and silent uninstall under Wine, our setup
# against a makensis installer of the same tree, at one, two and four times its file count.
#
#   bench/many_files_bench.sh BIN_DIR
#
# Not part of `make bench` (it downloads a 146 MB package the first time and runs for half an
# hour). The game is Debian's wesnoth-1.16-data (16,214 files, 201 MB in 590 folders), fetched
# with `apt-get download` into build/bench/many/ (or MANY_BENCH_DEB=FILE.deb) and unpacked
# there once, without its 28 symbolic links (they name fonts of other packages).
# The tree at scale N is N
# copies of it side by side (copy1 ... copyN, hard links), so that the folders and the file
# sizes stay those of the game while the count grows.
#
# For each scale: our setup (setupbuild -q, the shipped layouts "default" and
# "default-uninstall", an uninstaller) and the peer's (makensis -V1, zlib, not solid, with an
# uninstaller whose section is RMDir /r $INSTDIR, the usual way to remove a tree) are built
# once; then MANY_BENCH_ROUNDS rounds (default 3) of, in turn:
#   install    ours `setup.exe -silent` (windriver.exe answers its closing box), the peer's
#              `/S /D=...`; each installed tree is checked against the game's names and sizes
#              (and in the first round byte for byte against its sha256sum manifest);
#   uninstall  ours `<prefix>_Uninstall.exe -silent` (the box answered; its finishing program
#              then removes the uninstaller and the folder, which is waited for, untimed), the
#              peer's `uninst.exe /S _?=DIR` (runs in place and returns when done; what it
#              leaves, at most itself and its folder, is deleted afterwards, untimed);
# ours and the peer's taking turns which goes first.
#
# The installs go to a drive of their own (T:), in folders without blanks: wine quotes an
# argument with a blank, and the peer's uninstaller reads "_?=DIR" only unquoted (quoted, it
# copies itself away, starts the copy and returns at once). By default it is a folder in memory
# (/dev/shm): on this machine's ext4 disk, thousands of files made right after thousands were
# deleted took 3 to 9 times as long as on a quiet disk, unevenly, and every uninstall here
# deletes a whole game. MANY_BENCH_DISK=1 puts the drive on the disk (in TMPDIR) instead and
# waits MANY_BENCH_SETTLE seconds (default 70) after each round's deletions.
#
# Prints, per scale, the medians of each side, the ratios ours / peer and the time per file;
# then the time per file of each scale over that of the first, which stays flat when no per-file
# cost grows with the count.
#
# MANY_BENCH_SCALES (default "1 2 4"), MANY_BENCH_ROUNDS (default 3), MANY_BENCH_KEEP=1 keeps
# the temporary folder (prefix, logs).
set -euo pipefail

# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_init many "$@"
MANY=$WORK/many
ROUNDS=${MANY_BENCH_ROUNDS:-3}
SCALES=${MANY_BENCH_SCALES:-1 2 4}
SETTLE=${MANY_BENCH_SETTLE:-70}
ON_DISK=${MANY_BENCH_DISK:-0}
GAME_PACKAGE=wesnoth-1.16-data

bench_positive MANY_BENCH_ROUNDS "$ROUNDS"
for scale in $SCALES; do bench_positive MANY_BENCH_SCALES "$scale"; done
[[ "$SETTLE" =~ ^[0-9]+$ ]] || bench_fail "MANY_BENCH_SETTLE must be a number of seconds"
bench_need_files setupbuild setup.exe windriver.exe layout/default layout/default-uninstall languages/English.wri
bench_need_commands makensis wine wineboot wineserver Xvfb python3 sha256sum dpkg-deb
mkdir -p "$MANY"

# ---------------------------------------------------------------- the game
GAME=$MANY/game
if ! [ -f "$GAME.stamp" ]; then
  deb=${MANY_BENCH_DEB:-}
  if [ -z "$deb" ]; then
    deb=$(find "$MANY" -maxdepth 1 -name "${GAME_PACKAGE}_*.deb" | head -n 1)
  fi
  if [ -z "$deb" ]; then
    echo "many: downloading $GAME_PACKAGE (146 MB)"
    (cd "$MANY" && apt-get download "$GAME_PACKAGE" </dev/null) >"$MANY/download.log" 2>&1 || {
      cat "$MANY/download.log" >&2
      bench_fail "cannot download $GAME_PACKAGE (set MANY_BENCH_DEB to a copy of it)"
    }
    deb=$(find "$MANY" -maxdepth 1 -name "${GAME_PACKAGE}_*.deb" | head -n 1)
  fi
  echo "many: unpacking $deb"
  rm -rf "$GAME" "$MANY/unpacked" "$MANY"/x*
  dpkg-deb -x "$deb" "$MANY/unpacked"
  # The links name files of other packages, which this machine may or may not have.
  find "$MANY/unpacked" -type l -delete
  mv "$MANY/unpacked/usr" "$GAME"
  rm -rf "$MANY/unpacked"
  (cd "$GAME" && find . -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 sha256sum) >"$GAME.manifest"
  basename "$deb" >"$GAME.stamp"
fi
GAME_FILES=$(wc -l <"$GAME.manifest")
GAME_BYTES=$(find "$GAME" -type f -printf '%s\n' | awk '{s += $1} END {printf "%.0f", s}')

# The tree of a scale, its expected listing ("size path" lines, sorted) and manifest.
make_scale() {
  local n=$1 tree=$MANY/x$1 k
  if ! [ -f "$tree.stamp" ] || [ "$(cat "$tree.stamp")" != "$(cat "$GAME.stamp")" ]; then
    rm -rf "$tree"
    mkdir -p "$tree"
    for ((k = 1; k <= n; k++)); do cp -al "$GAME" "$tree/copy$k"; done
    for ((k = 1; k <= n; k++)); do sed "s|^\([0-9a-f]*\)  |\1  copy$k/|" "$GAME.manifest"; done >"$tree.manifest"
    (cd "$tree" && find . -type f -printf '%s %P\n' | LC_ALL=C sort) >"$tree.sizes"
    cp "$GAME.stamp" "$tree.stamp"
  fi
}

# ---------------------------------------------------------------- the installers
build_setups() {
  local n=$1
  cat >"$MANY/ours_$n.script.new" <<EOF
; The game at scale $n, installed silently and uninstalled (bench/many_files_bench.sh).
name "ManyOurs"
outfile many_ours_$n.exe
installdir "T:\\ManyOurs"
prefix many
language English
uninstalllanguage English
pages default
uninstallpages default-uninstall
file x$n
EOF
  cat >"$MANY/peer_$n.nsi.new" <<EOF
; The game at scale $n (bench/many_files_bench.sh).
Name "ManyPeer"
OutFile "many_peer_$n.exe"
InstallDir "T:\\ManyPeer"
RequestExecutionLevel user
SetCompressor zlib

Section
  SetOutPath "\$INSTDIR"
  File /r "x$n\\*"
  WriteUninstaller "\$INSTDIR\\uninst.exe"
SectionEnd

Section "Uninstall"
  RMDir /r "\$INSTDIR"
SectionEnd
EOF
  # A script that changed makes its setup again.
  local script
  for script in "$MANY/ours_$n.script" "$MANY/peer_$n.nsi"; do
    if cmp -s "$script.new" "$script"; then
      rm "$script.new"
    else
      mv "$script.new" "$script"
      rm -f "$MANY/many_ours_$n.exe" "$MANY/many_peer_$n.exe"
    fi
  done
  # Ours is made again for another runtime or builder (BIN may be an older build).
  local tools
  tools=$(cat "$BIN/setup.exe" "$BIN/setupbuild" | sha256sum | cut -d' ' -f1)
  if ! [ -f "$MANY/many_ours_$n.exe" ] || [ "$(cat "$MANY/many_ours_$n.tools" 2>/dev/null)" != "$tools" ] ||
    [ "$MANY/x$n.stamp" -nt "$MANY/many_ours_$n.exe" ]; then
    echo "many: building our setup at scale $n"
    rm -f "$MANY/many_ours_$n.exe"
    bench_setupbuild "$MANY/ours_$n.script" "$MANY/build_ours_$n.log"
    echo "$tools" >"$MANY/many_ours_$n.tools"
  fi
  if ! [ -f "$MANY/many_peer_$n.exe" ] || [ "$MANY/x$n.stamp" -nt "$MANY/many_peer_$n.exe" ]; then
    echo "many: building the peer's setup at scale $n"
    rm -f "$MANY/many_peer_$n.exe"
    (cd "$MANY" && makensis -V1 "peer_$n.nsi" </dev/null) >"$MANY/build_peer_$n.log" 2>&1 || {
      cat "$MANY/build_peer_$n.log" >&2
      bench_fail "makensis failed"
    }
  fi
}

for scale in $SCALES; do
  make_scale "$scale"
  build_setups "$scale"
done

# ---------------------------------------------------------------- Wine, X and drive T:
bench_wine_open many "${MANY_BENCH_KEEP:-0}"
wine_place_windows "$TMP/reg.log" || {
  cat "$TMP/reg.log" >&2
  bench_fail "cannot set the X11 driver's Managed value"
}
bench_notepad
if [ "$ON_DISK" = 1 ]; then
  DRIVE=$TMP/drive_t
  DRIVE_NOTE="on the disk ($(df --output=fstype "$TMP" | tail -n 1)), $SETTLE s after each round's deletions"
else
  DRIVE=$(mktemp -d /dev/shm/setup-many.XXXXXX)
  DRIVE_NOTE="in memory (/dev/shm)"
  many_exit() {
    local status=$?
    rm -rf "$DRIVE"
    (exit "$status")
    wine_session_end
  }
  trap many_exit EXIT
fi
mkdir -p "$DRIVE/setups"
ln -s "$DRIVE" "$WINEPREFIX/dosdevices/t:"
OURS_DIR="$DRIVE/ManyOurs"
PEER_DIR="$DRIVE/ManyPeer"
MEASURE=$ROOT/bench/measure.py
RESULTS=$MANY/results
: >"$RESULTS"

# check_tree SIDE N ROUND DIR: the install holds the game's names and sizes at scale N (and its
# bytes in the first round), besides the side's own uninstaller and log.
check_tree() {
  local side=$1 n=$2 round=$3 dir=$4
  [ -d "$dir" ] || bench_fail "the $side install left no folder"
  (cd "$dir" && find . -type f ! -name uninst.exe ! -name many_Uninstall.exe ! -name many_install.log \
    -printf '%s %P\n' | LC_ALL=C sort) >"$TMP/logs/$side.sizes"
  cmp -s "$TMP/logs/$side.sizes" "$MANY/x$n.sizes" ||
    bench_fail "the $side install at scale $n differs from the game: $(diff "$TMP/logs/$side.sizes" "$MANY/x$n.sizes" | head -5)"
  if [ "$round" -le 1 ]; then
    (cd "$dir" && sha256sum --quiet -c "$MANY/x$n.manifest") >"$TMP/logs/sha256_$side.log" 2>&1 ||
      bench_fail "the $side install at scale $n differs from the game: $(head -5 "$TMP/logs/sha256_$side.log")"
  fi
}

# run SIDE STEP N ROUND: one measured install or uninstall; ROUND 0 is not counted.
run() {
  local side=$1 step=$2 n=$3 round=$4 log=$TMP/logs/$1.$2.$3.$4 figures dir exe args
  if [ "$side" = ours ]; then dir=$OURS_DIR; else dir=$PEER_DIR; fi
  case $side.$step in
    ours.install)
      exe=many_ours_$n.exe
      args=(wine "$BIN/windriver.exe" answer Information OK 1800000 -- wine "T:\\setups\\$exe" -silent) ;;
    peer.install)
      exe=many_peer_$n.exe
      args=(-- wine "T:\\setups\\$exe" /S "/D=T:\\ManyPeer") ;;
    ours.uninstall)
      exe=many_Uninstall.exe
      args=(--gone wine "$BIN/windriver.exe" answer Information OK 1800000 -- wine "T:\\ManyOurs\\$exe" -silent) ;;
    peer.uninstall)
      exe=uninst.exe
      args=(-- wine "T:\\ManyPeer\\$exe" /S "_?=T:\\ManyPeer") ;;
  esac
  if [ "${args[0]}" = --gone ]; then
    figures=$(python3 "$MEASURE" --gone "$exe" "$dir" "$log" "${args[@]:1}")
  else
    figures=$(python3 "$MEASURE" "$exe" "$dir" "$log" "${args[@]}")
  fi
  local wall folder answered peak children cpu code
  read -r wall folder answered peak children cpu code <<<"$figures"
  [ "$code" = 0 ] || bench_fail "$side $step at scale $n ended with exit code $code: $(tail -5 "$log.program")"
  if [ "$side" = ours ]; then
    grep -q "Compleated" "$log.answer" || bench_fail "windriver did not answer the closing box: $(cat "$log.answer")"
  fi
  case $side.$step in
    *.install) check_tree "$side" "$n" "$round" "$dir" ;;
    ours.uninstall)
      # The finishing program takes the uninstaller and the emptied folder away.
      for _ in $(seq 1 150); do
        [ -e "$dir" ] || break
        sleep 0.2
      done
      [ ! -e "$dir" ] || bench_fail "our uninstall left: $(cd "$dir" && find . | head -n 5)"
      ;;
    peer.uninstall)
      # Wine lets the running uninstaller be deleted (Windows would not): the folder may be gone.
      local left
      left=$(find "$dir" -mindepth 1 ! -name uninst.exe 2>/dev/null | head -n 5 || true)
      [ -z "$left" ] || bench_fail "the peer's uninstall left: $left"
      rm -rf "$dir"
      ;;
  esac
  if [ "$round" -eq 0 ]; then
    printf 'many:   warm-up %-4s %-9s x%d %7.2f s (not counted)\n' "$side" "$step" "$n" "$wall"
    return
  fi
  echo "$n $side $step $round $wall $peak $cpu" >>"$RESULTS"
  printf 'many:   x%d round %d %-4s %-9s %7.2f s  %7d KiB peak  cpu %6.2f s  load %s\n' \
    "$n" "$round" "$side" "$step" "$wall" "$peak" "$cpu" "$(cut -d' ' -f1 /proc/loadavg)"
}

settle() {
  sync
  if [ "$ON_DISK" = 1 ]; then sleep "$SETTLE"; fi
}

echo "many: $GAME_PACKAGE ($(cat "$GAME.stamp")): $GAME_FILES files, $GAME_BYTES bytes, scales $SCALES"
echo "many: $(nproc) cores; $(wine --version), prefix $WINEARCH, windows placed by Wine; drive T: $DRIVE_NOTE"
echo "many: peer: makensis $(makensis -VERSION 2>/dev/null || true), zlib, uninstaller RMDir /r"
echo "many: figures vary from run to run on a shared machine; compare medians and ratios"
first=1
for scale in $SCALES; do
  cp "$MANY/many_ours_$scale.exe" "$MANY/many_peer_$scale.exe" "$DRIVE/setups/"
  echo "many: scale $scale: $((GAME_FILES * scale)) files; ours $(stat -c %s "$MANY/many_ours_$scale.exe") bytes, peer $(stat -c %s "$MANY/many_peer_$scale.exe") bytes"
  if [ "$first" = 1 ]; then
    # Wine's first start of each program in a new prefix does some setting up: once, untimed.
    for side in ours peer; do run "$side" install "$scale" 0; done
    for side in ours peer; do run "$side" uninstall "$scale" 0; done
    settle
    first=0
  fi
  for ((round = 1; round <= ROUNDS; round++)); do
    if ((round % 2)); then order=(ours peer); else order=(peer ours); fi
    for side in "${order[@]}"; do run "$side" install "$scale" "$round"; done
    for side in "${order[@]}"; do run "$side" uninstall "$scale" "$round"; done
    settle
  done
  rm -f "$DRIVE/setups/many_ours_$scale.exe" "$DRIVE/setups/many_peer_$scale.exe"
done

python3 - "$RESULTS" "$GAME_FILES" <<'EOF'
import statistics, sys

results, files = sys.argv[1], int(sys.argv[2])
rows = {}
for line in open(results):
    n, side, step, _, wall, peak, cpu = line.split()
    rows.setdefault((int(n), side, step), []).append((float(wall), int(peak), float(cpu)))
scales = sorted({key[0] for key in rows})

def median(key, column=0):
    return statistics.median(r[column] for r in rows[key])

print()
print("%-5s %7s %-9s %13s %13s %11s %11s %9s %9s" % ("scale", "files", "step", "ours median s", "peer median s",
                                                     "ours ms/file", "peer ms/file", "ours/peer", "peak MiB"))
for n in scales:
    for step in ("install", "uninstall"):
        ours, peer = median((n, "ours", step)), median((n, "peer", step))
        print("%-5s %7d %-9s %13.2f %13.2f %11.3f %11.3f %9.2f %9.1f" % (
            "x%d" % n, n * files, step, ours, peer, 1000 * ours / (n * files), 1000 * peer / (n * files), ours / peer,
            median((n, "ours", step), 1) / 1024))
print()
for n in scales:
    for step in ("install", "uninstall"):
        pairs = [o[0] / p[0] for o, p in zip(rows[(n, "ours", step)], rows[(n, "peer", step)])]
        print("x%d %-9s ours/peer round by round: %s" % (n, step, ", ".join("%.2f" % p for p in pairs)))
print()
base = scales[0]
for side in ("ours", "peer"):
    for step in ("install", "uninstall"):
        per_file = [median((n, side, step)) / n for n in scales]
        print("%s %-9s time per file against x%d: %s" % (side, step, base, ", ".join(
            "x%d %.2f" % (n, p / per_file[0]) for n, p in zip(scales, per_file))))
print("goals: install ours/peer <= 0.5, uninstall ours/peer <= 1, time per file flat with the count")
EOF
