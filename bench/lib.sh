# Sourced by the benchmark scripts: what they share before measuring.
#
#   bench_init LABEL "$@"       takes the one argument BIN_DIR; sets BIN, ROOT, WORK (made when
#                               missing) and BENCH_LABEL, which starts every message
#   bench_need_files FILE...    files below BIN the benchmark runs (setupbuild, layout/default)
#   bench_need_commands CMD...  programs from the system (makensis, wine, Xvfb)
#   bench_positive NAME VALUE   VALUE of the setting NAME is a positive whole number
#   ensure_payload DIR MB       makes the deterministic game-patch payload when missing
#   bench_setupbuild SCRIPT LOG our setup of a script, setupbuild -q
#   bench_wine_open NAME KEEP   a temporary folder TMP, an Xvfb display and a new Wine prefix
#                               kept up for the whole run (removed at exit unless KEEP is 1)
#   bench_notepad               a window open for the rest of the run
#   bench_peer_script NSI EXE DIR   the makensis script of the peer installer of payload300
#   bench_take_turns CMD A B    CMD A ROUND and CMD B ROUND for every round, A and B taking turns
#   bench_move_away DIR NAME    the previous install out of the way, the disk flushed
#   bench_check_tree SIDE DIR   DIR holds exactly the payload's files, byte for byte
#   bench_fail MESSAGE          the message on stderr, and exit 1
#
# WORK is build/bench. BENCH_SMALL=1 takes build/bench/small instead and makes every payload of
# about 20 MB (make_payload.py --small): the scripts run through in a few minutes, for checking
# them; those figures are not comparable with the full ones.

bench_init() {
  BENCH_LABEL=$1
  shift
  if [ $# -ne 1 ]; then
    echo "usage: $0 BIN_DIR" >&2
    exit 2
  fi
  BIN=$(cd "$1" && pwd)
  ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  WORK=$ROOT/build/bench
  if [ "${BENCH_SMALL:-0}" = 1 ]; then
    WORK=$WORK/small
  fi
  mkdir -p "$WORK"
}

bench_fail() {
  echo "$BENCH_LABEL: $*" >&2
  exit 1
}

bench_need_files() {
  local file hint
  for file in "$@"; do
    case $file in
      *.exe | layout/* | languages/*) hint="make win32 stage" ;;
      *) hint="make native" ;;
    esac
    [ -e "$BIN/$file" ] || bench_fail "$BIN/$file is missing (run $hint)"
  done
}

bench_need_commands() {
  local command
  for command in "$@"; do
    command -v "$command" >/dev/null 2>&1 || bench_fail "$command is missing (run make bootstrap)"
  done
}

bench_positive() {
  if ! [[ "$2" =~ ^[1-9][0-9]*$ ]]; then
    echo "$BENCH_LABEL: $1 must be a positive number" >&2
    exit 2
  fi
}

# ensure_payload DIR MB: DIR is made by make_payload.py (looked for beside the checkout, or
# SETUP_PAYLOAD_SCRIPT) unless DIR, DIR.stamp and DIR.manifest are all there already. Sets
# PAYLOAD_FILES and PAYLOAD_BYTES, the tree's file count and byte total.
ensure_payload() {
  local dir=$1 mb=$2
  if [ "${BENCH_SMALL:-0}" = 1 ]; then
    mb=20
  fi
  if ! [ -d "$dir" ] || ! [ -f "$dir.stamp" ] || ! [ -f "$dir.manifest" ]; then
    make_payload "$dir" "$mb"
  fi
  PAYLOAD_FILES=$(find "$dir" -type f | wc -l)
  PAYLOAD_BYTES=$(find "$dir" -type f -printf '%s\n' | awk '{s += $1} END {printf "%.0f", s}')
}

make_payload() {
  local dir=$1 mb=$2 script candidate
  script=${SETUP_PAYLOAD_SCRIPT:-}
  if [ -z "$script" ]; then
    for candidate in "$ROOT/../shared/bench/make_payload.py" /work/shared/bench/make_payload.py; do
      if [ -f "$candidate" ]; then
        script=$candidate
        break
      fi
    done
  fi
  if [ -z "$script" ] || [ ! -f "$script" ]; then
    bench_fail "make_payload.py not found (set SETUP_PAYLOAD_SCRIPT)"
  fi
  echo "$BENCH_LABEL: making the $mb MB payload in $dir"
  python3 "$script" --out "$dir" --mb "$mb" </dev/null
}

# bench_setupbuild SCRIPT LOG: builds the script with setupbuild -q; on failure its output goes
# to stderr and the run ends.
bench_setupbuild() {
  "$BIN/setupbuild" -q "$1" </dev/null >"$2" 2>&1 || {
    cat "$2" >&2
    bench_fail "setupbuild failed"
  }
}

# bench_peer_script NSI EXE DIR: writes the .nsi that packs the whole payload300 tree into the
# installer EXE, installing into DIR. makensis works from the folder of the .nsi, so the paths
# are relative to WORK. zlib, not solid, is its default; written out so that a changed default
# shows.
bench_peer_script() {
  cat >"$1" <<EOF
; The whole payload tree in one installer ($(basename "$0")).
Name "Bench"
OutFile "$2"
InstallDir "$3"
RequestExecutionLevel user
SetCompressor zlib

Section
  SetOutPath "\$INSTDIR"
  File /r "payload300\*"
SectionEnd
EOF
}

# bench_take_turns COMMAND A B: runs COMMAND A ROUND and COMMAND B ROUND for ROUND = 1..ROUNDS,
# switching which side goes first each round (A B, B A, ...), so that neither always runs second.
bench_take_turns() {
  local command=$1 a=$2 b=$3 round
  for ((round = 1; round <= ROUNDS; round++)); do
    if ((round % 2)); then
      "$command" "$a" "$round"
      "$command" "$b" "$round"
    else
      "$command" "$b" "$round"
      "$command" "$a" "$round"
    fi
  done
}

# bench_move_away DIR NAME: moves the previous install in DIR, if any, to TMP/moved/NAME and
# flushes the disk. Installs are moved out of the prefix rather than deleted, and all of them
# are deleted at the end. Deleting 2,000 files just before creating 2,000 new ones makes the
# next install slower and slower from round to round: ext4 looks at, and passes over, the
# inodes freed in the last seconds when it allocates new ones, and Wine's server, which creates
# the files, spent 0.3 s on that for one install after no deletion and up to 2 s after a few.
bench_move_away() {
  mkdir -p "$TMP/moved"
  if [ -e "$1" ]; then
    mv "$1" "$TMP/moved/$2"
  fi
  sync
}

# bench_wine_open NAME KEEP: the temporary folder TMP (with TMP/logs), its Xvfb display and a
# new 32-bit prefix in TMP/prefix (tests/wine_prefix.sh). The prefix's server is started first
# and kept up for the whole run with its service processes: otherwise they end a few seconds
# after each install and start again inside the next one, on its clock.
bench_wine_open() {
  TMP=$(mktemp -d "${TMPDIR:-/tmp}/setup-$1.XXXXXX")
  # shellcheck source=tests/wine_prefix.sh
  . "$ROOT/tests/wine_prefix.sh"
  wine_session_open "$TMP" "$2" "$BENCH_LABEL" || exit 1
  mkdir -p "$TMP/logs"
  echo "$BENCH_LABEL: creating the Wine prefix (display $DISPLAY)"
  mkdir -p "$WINEPREFIX"
  wineserver -p
  wineboot -i >"$TMP/wineboot.log" 2>&1 </dev/null || {
    cat "$TMP/wineboot.log" >&2
    bench_fail "wineboot failed"
  }
}

# bench_notepad: Wine's desktop process ends some seconds after the last program with a window,
# and the next one then starts about 10 s late: a Notepad window stays open for the whole run so
# that no install pays for that.
bench_notepad() {
  wine notepad >"$TMP/notepad.log" 2>&1 </dev/null &
  wine "$BIN/windriver.exe" wait "Untitled - Notepad" 60000 >"$TMP/notepad_wait.log" 2>&1 </dev/null || {
    cat "$TMP/notepad_wait.log" >&2
    echo "$BENCH_LABEL: Notepad did not open, so Wine's desktop may come and go between installs" >&2
  }
}

# bench_check_tree SIDE DIR: the tree an install of SIDE left in DIR holds exactly the payload's
# files, byte for byte (sha256sum -c of PAYLOAD.manifest).
bench_check_tree() {
  local side=$1 dir=$2 count
  [ -d "$dir" ] || bench_fail "the $side install left no folder $dir"
  count=$(find "$dir" -type f | wc -l)
  [ "$count" -eq "$PAYLOAD_FILES" ] || bench_fail "the $side install holds $count files, the payload $PAYLOAD_FILES"
  (cd "$dir" && sha256sum --quiet -c "$PAYLOAD.manifest") >"$TMP/logs/sha256_$side.log" 2>&1 ||
    bench_fail "the $side install differs from the payload: $(head -5 "$TMP/logs/sha256_$side.log")"
}
