#!/usr/bin/env bash
# A setup past 4 GiB: build time and silent install under Wine of a 7.4 GB game payload whose
# files the builder moves into data files beside the setup.
#
#   bench/big_bench.sh BIN_DIR
#
# Not part of `make bench`: it holds up to 27 GB of disk (19 GB kept between runs) and takes
# half an hour to an hour (the first run makes the payloads too, some 10 minutes). It keeps
# its inputs and outputs in build/bench/big/ (not committed) and reuses the payloads:
#
#   payload/   /work/shared/bench/make_payload.py --mb 4700 --huge 1 (seed 1; 4.78 GB, one
#              cinematic of 75-90 MB), and in it data/archives/common_assets.kar, an asset
#              archive of 2.3 GB (the files of a second payload, seed 2, --mb 2300, one after the
#              other at 4 KiB boundaries behind a header, with an index at the end), larger than
#              a data file; and dlc/season_pass/, copies of data/localization, of the largest
#              video and of the largest sound bank (the builder stores each content once);
#   half/      the same recipe at half the size (--mb 2350 --huge 1, an archive of 1150 MB).
#
# payload.manifest and half.manifest hold the sha256sum lines of every file; payload.stamp and
# half.stamp the recipe (a tree is made again when its stamp differs or is missing).
#
# Then, one step after the other (the machine has two cores shared with others):
#
# 1. Builds: setupbuild -j 2 -q of `file payload` (big_bench.exe: the builder moves the files
#    into data files big_bench-N.bin by itself), BIG_BENCH_ROUNDS times, each from nothing;
#    wall time and peak memory (GNU time), the sizes of the setup and its data files. The same
#    for the half payload (big_half.exe), with --slice-size 2147483647 so that it is made as the
#    big one is (its files alone would fit in one setup). One timed `paktool verify` of
#    big_bench.exe, natively. big_verify.exe: the same payload behind a script that jumps past
#    its `file` line at once: start-up checks every entry and data file as always, and nothing
#    is installed. Its data files are the same bytes as big_bench's and are hard-linked to them.
# 2. Under Wine (one new 32-bit prefix and Xvfb display for the run, tests/wine_prefix.sh; the
#    folder build/bench/big mapped as drive S:), BIG_BENCH_ROUNDS rounds of
#      install  S:\big_bench.exe -silent (windriver.exe answers the closing box), the installed
#               tree checked against payload.manifest;
#      verify   S:\big_verify.exe -silent: start-up verification alone (and Wine's start);
#      plain    S:\big_copy.exe (bench/big_copy.cpp, built here with i686-w64-mingw32-g++):
#               reads the data files once in 8 MiB pieces and writes a tree of the payload's
#               file sizes from those bytes, the floor of any install from these data files;
#               the tree's names and sizes are checked;
#    the order turning each round; then BIG_BENCH_ROUNDS silent installs of big_half.exe. Each
#    run gives its wall time, when the install folder appeared (for install: after every entry
#    has been verified), the peak resident memory of the Windows process (VmHWM from /proc,
#    every 20 ms, and the kernel's account of the finished `wine` command) and its CPU time.
#    Before each run the data files are read once (page cache) and the disk is flushed; each
#    tree is deleted after its check, and a run that makes a tree waits until BIG_BENCH_SETTLE
#    seconds (default 70) have passed since the last deletion: in trials on this machine
#    (ext4), 30,000 files made right after 30,000 were deleted took 3 to 9 times as long as
#    on a quiet disk; the effect is uneven, and a minute's wait removed it in one of two.
#
# Prints the figures of each step and a summary: medians, throughput (payload bytes, 10^6, per
# second), install / plain, verification's share of the install, and the peak memory of the
# big payload over that of the half one. The disk use is followed all along (the file
# system's used bytes, sampled every second, and the size of build/bench/big and of the
# temporary folder at each step); the peak is printed.
#
# BIG_BENCH_ROUNDS (default 3), BIG_BENCH_SETTLE (seconds, default 70), BIG_BENCH_KEEP=1 keeps
# the temporary folder (prefix, logs; the installed trees are deleted all the same).
# BENCH_SMALL=1 makes payloads of about 130 and 65 MB in build/bench/small/big, built with
# --slice-size 32M, to see that the script works in a few minutes.
set -euo pipefail

# shellcheck source=bench/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
bench_init big "$@"
BIG=$WORK/big
ROUNDS=${BIG_BENCH_ROUNDS:-3}
SETTLE=${BIG_BENCH_SETTLE:-70}
THREADS=2

bench_positive BIG_BENCH_ROUNDS "$ROUNDS"
[[ "$SETTLE" =~ ^[0-9]+$ ]] || bench_fail "BIG_BENCH_SETTLE must be a number of seconds"
bench_need_files setupbuild paktool setup.exe windriver.exe layout/default languages/English.wri
bench_need_commands wine wineboot wineserver Xvfb python3 sha256sum cmp i686-w64-mingw32-g++
mkdir -p "$BIG"

if [ "${BENCH_SMALL:-0}" = 1 ]; then
  FULL_MB=40 FULL_HUGE=0 FULL_ARCHIVE_MB=80 FULL_SLICE=32M
  HALF_MB=20 HALF_HUGE=0 HALF_ARCHIVE_MB=40 HALF_SLICE=32M
else
  FULL_MB=4700 FULL_HUGE=1 FULL_ARCHIVE_MB=2300 FULL_SLICE=
  HALF_MB=2350 HALF_HUGE=1 HALF_ARCHIVE_MB=1150 HALF_SLICE=2147483647
fi

# ---------------------------------------------------------------- disk use
# A sampler of the file system's used bytes, every second, for the whole run; big_footprint
# adds up what this benchmark holds at a step (build/bench/big and the temporary folder).
DISK_LOG=$BIG/disk.peak
FOOTPRINT_LOG=$BIG/disk.steps
: >"$FOOTPRINT_LOG"
python3 - "$BIG" "$DISK_LOG" "$$" <<'EOF' &
import os, sys, time
path, out, parent = sys.argv[1], sys.argv[2], int(sys.argv[3])
def used():
    s = os.statvfs(path)
    return (s.f_blocks - s.f_bfree) * s.f_frsize
start = peak = used()
while os.getppid() == parent:
    peak = max(peak, used())
    with open(out + ".part", "w") as f:
        f.write("%d %d\n" % (start, peak))
    os.replace(out + ".part", out)
    time.sleep(1)
EOF
DISK_SAMPLER=$!
big_stop_sampler() {
  if [ -n "${DISK_SAMPLER:-}" ]; then
    kill "$DISK_SAMPLER" 2>/dev/null || true
    wait "$DISK_SAMPLER" 2>/dev/null || true
    DISK_SAMPLER=
  fi
}
trap big_stop_sampler EXIT

big_footprint() {
  local big tmp=0
  big=$(du -sb "$BIG" | cut -f1)
  if [ -n "${TMP:-}" ] && [ -d "$TMP" ]; then
    tmp=$(du -sb "$TMP" | cut -f1)
  fi
  echo "$1 $big $tmp" >>"$FOOTPRINT_LOG"
  awk -v step="$1" -v big="$big" -v tmp="$tmp" \
    'BEGIN {printf "big: disk at \"%s\": build/bench/big %.2f GB, temporary folder %.2f GB\n", step, big / 1e9, tmp / 1e9}'
}

# ---------------------------------------------------------------- the payloads
# big_payload NAME MB HUGE ARCHIVE_MB: makes BIG/NAME as described at the top unless its stamp
# says it is there; sets PAYLOAD_FILES and PAYLOAD_BYTES.
big_payload() {
  local mb=$2 huge=$3 archive_mb=$4 dir=$BIG/$1 stamp generator="" candidate
  stamp="big payload v1: make_payload --mb $mb --huge $huge --seed 1, archive of --mb $archive_mb --seed 2, season pass copies"
  if ! [ -d "$dir" ] || ! [ -f "$dir.manifest" ] || [ "$(cat "$dir.stamp" 2>/dev/null)" != "$stamp" ]; then
    for candidate in "${SETUP_PAYLOAD_SCRIPT:-}" "$ROOT/../shared/bench/make_payload.py" /work/shared/bench/make_payload.py; do
      if [ -n "$candidate" ] && [ -f "$candidate" ]; then
        generator=$candidate
        break
      fi
    done
    [ -n "$generator" ] || bench_fail "make_payload.py not found (set SETUP_PAYLOAD_SCRIPT)"
    echo "big: making $dir ($mb MB, an archive of $archive_mb MB, copies); some minutes"
    python3 - "$generator" "$dir" "$mb" "$huge" "$archive_mb" "$stamp" <<'EOF'
import hashlib, os, shutil, struct, subprocess, sys

generator, out, mb, huge, archive_mb, stamp = sys.argv[1:7]

def generate(dest, mb, seed, huge):
    subprocess.run([sys.executable, generator, "--out", dest, "--mb", mb, "--seed", str(seed), "--huge", str(huge)],
                   stdin=subprocess.DEVNULL, check=True)

def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)

for path in (out, out + ".manifest", out + ".stamp"):
    remove(path)
generate(out, mb, 1, huge)
os.remove(out + ".stamp")  # the tree is not finished yet
sums = {}
for line in open(out + ".manifest"):
    digest, rel = line.rstrip("\n").split("  ", 1)
    sums[rel] = digest

# The asset archive: a header of 4 KiB (magic, version, count, index offset and size), the
# files of a second payload one after the other at 4 KiB boundaries, and the index (offset,
# size, name length and name of each) at the end.
source = out + "-archive-source"
generate(source, archive_mb, 2, 0)
names = sorted(line.rstrip("\n").split("  ", 1)[1] for line in open(source + ".manifest"))
ALIGN = 4096
places, at = [], ALIGN
for rel in names:
    size = os.path.getsize(os.path.join(source, *rel.split("/")))
    places.append((at, size))
    at = (at + size + ALIGN - 1) // ALIGN * ALIGN
index = bytearray()
for rel, (offset, size) in zip(names, places):
    name = rel.replace("/", "\\").encode()
    index += struct.pack("<QQH", offset, size, len(name)) + name
header = struct.pack("<4sIIQQ", b"KARC", 1, len(names), at, len(index)).ljust(ALIGN, b"\0")
archive = "data/archives/common_assets.kar"
path = os.path.join(out, *archive.split("/"))
os.makedirs(os.path.dirname(path), exist_ok=True)
digest = hashlib.sha256()
with open(path, "wb") as f:
    def put(data):
        f.write(data)
        digest.update(data)
    put(header)
    written = ALIGN
    for rel, (offset, size) in zip(names, places):
        put(bytes(offset - written))
        with open(os.path.join(source, *rel.split("/")), "rb") as g:
            data = g.read()
        assert len(data) == size
        put(data)
        written = offset + size
    put(bytes(at - written))
    put(bytes(index))
sums[archive] = digest.hexdigest()
for leftover in (source, source + ".manifest", source + ".stamp"):
    remove(leftover)

# Identical files: the localization folder again in the season pass, with the largest video
# and the largest sound bank.
copies = [(rel, "dlc/season_pass/" + rel[len("data/"):]) for rel in sorted(sums) if rel.startswith("data/localization/")]
for prefix, suffix in (("data/video/", ""), ("data/sound/", ".bank")):
    media = sorted((os.path.getsize(os.path.join(out, *rel.split("/"))), rel)
                   for rel in sums if rel.startswith(prefix) and rel.endswith(suffix))
    if media:
        rel = media[-1][1]
        copies.append((rel, "dlc/season_pass/" + rel[len("data/"):]))
copied = 0
for rel, copy in copies:
    target = os.path.join(out, *copy.split("/"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(os.path.join(out, *rel.split("/")), target)
    sums[copy] = sums[rel]
    copied += os.path.getsize(target)

with open(out + ".manifest", "w") as f:
    for rel in sorted(sums):
        f.write("%s  %s\n" % (sums[rel], rel))
with open(out + ".stamp", "w") as f:
    f.write(stamp + "\n")
print("big: %s: archive %d bytes (%d files in it), %d copies of %d bytes" % (
    out, os.path.getsize(path), len(names), len(copies), copied))
EOF
  fi
  PAYLOAD_FILES=$(find "$dir" -type f | wc -l)
  PAYLOAD_BYTES=$(find "$dir" -type f -printf '%s\n' | awk '{s += $1} END {printf "%.0f", s}')
}

big_payload payload "$FULL_MB" "$FULL_HUGE" "$FULL_ARCHIVE_MB"
FULL_FILES=$PAYLOAD_FILES FULL_BYTES=$PAYLOAD_BYTES
big_payload half "$HALF_MB" "$HALF_HUGE" "$HALF_ARCHIVE_MB"
HALF_FILES=$PAYLOAD_FILES HALF_BYTES=$PAYLOAD_BYTES
LARGEST=$(find "$BIG/payload" -type f -printf '%s %P\n' | sort -n | tail -1)
echo "big: payload $FULL_FILES files, $FULL_BYTES bytes (largest: $LARGEST); half $HALF_FILES files, $HALF_BYTES bytes"
big_footprint "payloads made"

# ---------------------------------------------------------------- the builds
# The tools of this run, copied (with their times) so that a rebuild of BIN_DIR by someone else
# cannot change them between rounds; the builder is given the shipped layouts and languages.
TOOLS=$BIG/tools
mkdir -p "$TOOLS"
cp -p "$BIN/setupbuild" "$BIN/setup.exe" "$BIN/paktool" "$TOOLS/"
SETUPBUILD=("$TOOLS/setupbuild" --stub "$TOOLS/setup.exe" --layouts "$BIN/layout" --languages "$BIN/languages"
  -j "$THREADS" -q)

# write_if_changed FILE: stdin into FILE unless FILE holds exactly that already (keeps its time).
write_if_changed() {
  local new=$1.new
  cat >"$new"
  if cmp -s "$new" "$1"; then rm -f "$new"; else mv "$new" "$1"; fi
}

write_if_changed "$BIG/big_bench.script" <<'EOF'
; The whole big payload (bench/big_bench.sh); its files go into data files beside the setup.
name "Big Bench"
outfile big_bench.exe
installdir "C:\Big Bench"
pages default
file payload
EOF
write_if_changed "$BIG/big_verify.script" <<'EOF'
; The same setup with nothing to do: start-up verification alone (bench/big_bench.sh).
name "Big Bench"
outfile big_verify.exe
installdir "C:\Big Verify"
pages default
goto done
file payload
done:
EOF
write_if_changed "$BIG/big_half.script" <<'EOF'
; The half payload (bench/big_bench.sh), in data files of 2 GiB - 1 as the big one.
name "Big Half"
outfile big_half.exe
installdir "C:\Big Half"
pages default
file half
EOF

# run_measured LOG COMMAND...: the command with no input, its output into LOG; prints
# "wall_seconds,peak_kib" (GNU time, or the kernel's account of the child through Python).
if command time -f %e true >/dev/null 2>&1; then
  run_measured() {
    local log=$1 figures=$BIG/run.time
    shift
    command time -f %e,%M -o "$figures" "$@" </dev/null >"$log" 2>&1 || return 1
    tail -n 1 "$figures"
  }
  MEASURE_NOTE="GNU time"
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
  MEASURE_NOTE="the kernel's child accounting (Python)"
fi

# data_files STEM: the data files of BIG/STEM.exe, in number order.
data_files() {
  find "$BIG" -maxdepth 1 -name "$1-*.bin" -printf '%f\n' | sed -n "s/^$1-\([0-9]*\)\.bin$/\1/p" | sort -n |
    while read -r n; do echo "$BIG/$1-$n.bin"; done
}

RESULTS=$BIG/big_bench.results
: >"$RESULTS"

# build SIDE ROUND: one build from nothing (setup and data files removed first). SIDE full,
# half or verify. Appends "build-SIDE round wall peak_kib exe_bytes data_files data_bytes".
build() {
  local side=$1 round=$2 stem script slice figures log exe size files=0 bytes=0 file
  case $side in
    full) stem=big_bench script=big_bench.script slice=$FULL_SLICE ;;
    verify) stem=big_verify script=big_verify.script slice=$FULL_SLICE ;;
    half) stem=big_half script=big_half.script slice=$HALF_SLICE ;;
  esac
  exe=$BIG/$stem.exe
  log=$BIG/build_$side.log
  rm -f "$exe" "$BIG/$stem"-*.bin
  sync
  local args=("${SETUPBUILD[@]}")
  if [ -n "$slice" ]; then args+=(--slice-size "$slice"); fi
  figures=$(run_measured "$log" "${args[@]}" "$BIG/$script") || {
    echo "big: the build of $script failed (exit code not 0): ${args[*]} $BIG/$script" >&2
    cat "$log" >&2
    exit 1
  }
  [ -s "$exe" ] || bench_fail "the build of $script left no $exe"
  size=$(stat -c %s "$exe")
  while read -r file; do
    files=$((files + 1))
    bytes=$((bytes + $(stat -c %s "$file")))
  done < <(data_files "$stem")
  echo "build-$side $round ${figures%,*} ${figures#*,} $size $files $bytes" >>"$RESULTS"
  printf 'big:   build %-6s round %d %8.2f s %9d KiB peak  setup %d bytes + %d data files of %d bytes\n' \
    "$side" "$round" "${figures%,*}" "${figures#*,}" "$size" "$files" "$bytes"
}

# Both payloads are read once so that no build pays for the disk; the first build of each
# still finds only part of them in the page cache when memory runs short.
echo "big: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); builds measured with $MEASURE_NOTE"
echo "big: builder: setupbuild -j $THREADS -q; figures vary from run to run on a shared machine"
for side in full half; do
  if [ $side = full ]; then dir=$BIG/payload; else dir=$BIG/half; fi
  find "$dir" -type f -print0 | xargs -0 cat >/dev/null
  for ((round = 1; round <= ROUNDS; round++)); do
    build "$side" "$round"
  done
  big_footprint "after the $side builds"
done

FULL_DATA=()
while read -r file; do FULL_DATA+=("$file"); done < <(data_files big_bench)
HALF_DATA=()
while read -r file; do HALF_DATA+=("$file"); done < <(data_files big_half)
FULL_EXE_BYTES=$(stat -c %s "$BIG/big_bench.exe")
[ "${#FULL_DATA[@]}" -gt 0 ] || bench_fail "big_bench.exe has no data files (setup of $FULL_EXE_BYTES bytes)"
[ "$FULL_EXE_BYTES" -lt 4294967296 ] || bench_fail "big_bench.exe is $FULL_EXE_BYTES bytes: Windows would not start it"
echo "big: big_bench.exe $FULL_EXE_BYTES bytes; data files: $(for f in "${FULL_DATA[@]}"; do printf '%s %s; ' "$(basename "$f")" "$(stat -c %s "$f")"; done)"

# The native verification of the same setup, once, for comparison with the start-up under Wine.
figures=$(run_measured "$BIG/paktool_verify.log" "$TOOLS/paktool" verify "$BIG/big_bench.exe") || {
  cat "$BIG/paktool_verify.log" >&2
  bench_fail "paktool verify big_bench.exe failed"
}
echo "paktool 1 ${figures%,*} ${figures#*,}" >>"$RESULTS"
echo "big: paktool verify big_bench.exe (native, one run): ${figures%,*} s, ${figures#*,} KiB peak"

# The verification-only setup: made again only when its inputs changed. Its data files hold
# the same stored bytes as big_bench's (same files, same order), so they are hard-linked to
# those; a difference is reported and the copies are kept.
verify_stale=0
for input in "$BIG/payload.stamp" "$BIG/big_verify.script" "$TOOLS/setupbuild" "$TOOLS/setup.exe"; do
  if ! [ -f "$BIG/big_verify.exe" ] || [ "$input" -nt "$BIG/big_verify.exe" ]; then verify_stale=1; fi
done
if [ "$verify_stale" = 1 ]; then
  echo "big: building big_verify.exe (once, not counted)"
  build verify 1
  sed -i '/^build-verify /d' "$RESULTS"
fi
VERIFY_DATA=()
while read -r file; do VERIFY_DATA+=("$file"); done < <(data_files big_verify)
[ "${#VERIFY_DATA[@]}" -eq "${#FULL_DATA[@]}" ] ||
  bench_fail "big_verify.exe has ${#VERIFY_DATA[@]} data files, big_bench.exe ${#FULL_DATA[@]}"
for ((i = 0; i < ${#FULL_DATA[@]}; i++)); do
  if [ "${VERIFY_DATA[$i]}" -ef "${FULL_DATA[$i]}" ]; then continue; fi
  if cmp -s "${VERIFY_DATA[$i]}" "${FULL_DATA[$i]}"; then
    ln -f "${FULL_DATA[$i]}" "${VERIFY_DATA[$i]}"
  else
    echo "big: $(basename "${VERIFY_DATA[$i]}") differs from $(basename "${FULL_DATA[$i]}"); both kept"
  fi
done
big_footprint "setups built"

# ---------------------------------------------------------------- the copy program
COPY_EXE=$BIG/big_copy.exe
if ! [ -f "$COPY_EXE" ] || [ "$ROOT/bench/big_copy.cpp" -nt "$COPY_EXE" ]; then
  i686-w64-mingw32-g++ -O2 -static -municode -D__USE_MINGW_ANSI_STDIO=1 -o "$COPY_EXE" "$ROOT/bench/big_copy.cpp" ||
    bench_fail "cannot build big_copy.exe"
fi
# Its list: size and Windows path of every payload file; the sorted list with slashes is what
# the plain tree is checked against.
find "$BIG/payload" -type f -printf '%s\t%P\n' | LC_ALL=C sort -t "$(printf '\t')" -k2 >"$BIG/payload.sizes"
sed 's|/|\\|g' "$BIG/payload.sizes" >"$BIG/payload.list"

# ---------------------------------------------------------------- Wine and X
bench_wine_open big-bench "${BIG_BENCH_KEEP:-0}"
# The session's own exit handler, with the disk sampler stopped first.
big_exit() {
  local status=$?
  set +e  # the handler runs to its end whatever fails in it
  big_stop_sampler
  (exit "$status")
  wine_session_end
}
trap big_exit EXIT
wine_place_windows "$TMP/reg.log" || {
  cat "$TMP/reg.log" >&2
  bench_fail "cannot set the X11 driver's Managed value"
}
bench_notepad
ln -s "$BIG" "$WINEPREFIX/dosdevices/s:"

INSTALL_DIR="$WINEPREFIX/drive_c/Big Bench"
VERIFY_DIR="$WINEPREFIX/drive_c/Big Verify"
PLAIN_DIR="$WINEPREFIX/drive_c/Big Plain"
HALF_DIR="$WINEPREFIX/drive_c/Big Half"

# bench/measure.py starts `wine EXE ARGS`, waits for it and prints one line:
#   wall_s folder_s answered_s peak_kib children_kib cpu_s exit_code
# folder_s is when the target folder appeared (an install makes it with its first file, once
# every entry and data file has been verified; a verification alone at its end).
MEASURE=$ROOT/bench/measure.py

LAST_DELETION=0
# settle: waits until SETTLE seconds have passed since the last tree was deleted.
settle() {
  local wait=$((LAST_DELETION + SETTLE - $(date +%s)))
  if [ "$wait" -gt 0 ]; then sleep "$wait"; fi
}

# remove_tree DIR: the checked tree goes, the disk is flushed.
remove_tree() {
  rm -rf "$1"
  sync
  LAST_DELETION=$(date +%s)
}

# check_plain DIR: the tree holds the payload's names with their sizes.
check_plain() {
  [ -d "$1" ] || bench_fail "the plain copy left no folder $1"
  find "$1" -type f -printf '%s\t%P\n' | LC_ALL=C sort -t "$(printf '\t')" -k2 >"$TMP/logs/plain.sizes"
  cmp -s "$TMP/logs/plain.sizes" "$BIG/payload.sizes" ||
    bench_fail "the plain tree differs from the payload in names or sizes: $(diff "$TMP/logs/plain.sizes" "$BIG/payload.sizes" | head -5)"
}

wine_path() {
  echo "S:\\$(basename "$1")"
}

# run SIDE ROUND: one timed run of install, verify, plain or half; appends
# "SIDE round wall folder answered peak children cpu" to RESULTS.
run() {
  local side=$1 round=$2 dir exe figures log=$TMP/logs/$1.$2 data=("${FULL_DATA[@]}") args=()
  case $side in
    install) dir=$INSTALL_DIR exe=big_bench.exe ;;
    verify) dir=$VERIFY_DIR exe=big_verify.exe ;;
    plain) dir=$PLAIN_DIR exe=big_copy.exe ;;
    half) dir=$HALF_DIR exe=big_half.exe data=("${HALF_DATA[@]}") ;;
  esac
  [ "$side" = verify ] || settle
  rm -rf "$dir"
  cat "${data[@]}" >/dev/null
  sync
  if [ "$side" = plain ]; then
    args=(-- wine "$(wine_path "$COPY_EXE")" "S:\\payload.list" "C:\\Big Plain")
    for file in "${FULL_DATA[@]}"; do args+=("$(wine_path "$file")"); done
  else
    args=(wine "$BIN/windriver.exe" answer Information OK 7200000 -- wine "S:\\$exe" -silent)
  fi
  figures=$(python3 "$MEASURE" "$exe" "$dir" "$log" "${args[@]}")
  local wall folder answered peak children cpu code
  read -r wall folder answered peak children cpu code <<<"$figures"
  if [ "$code" != 0 ]; then
    echo "big: $side round $round: wine S:\\$exe ended with exit code $code after $wall s; its output:" >&2
    cat "$log.program" >&2
    [ -f "$log.answer" ] && { echo "big: the answerer said:" >&2; cat "$log.answer" >&2; }
    exit 1
  fi
  if [ "$side" != plain ]; then
    grep -q "Compleated" "$log.answer" || bench_fail "$side round $round: windriver did not answer the closing box: $(cat "$log.answer")"
  fi
  big_footprint "$side round $round done"
  case $side in
    install) PAYLOAD=$BIG/payload PAYLOAD_FILES=$FULL_FILES bench_check_tree "$side" "$dir" ;;
    half) PAYLOAD=$BIG/half PAYLOAD_FILES=$HALF_FILES bench_check_tree "$side" "$dir" ;;
    plain) check_plain "$dir" ;;
    verify)
      [ -d "$dir" ] || bench_fail "the verification-only setup made no folder $dir"
      [ -z "$(find "$dir" -mindepth 1 -print -quit)" ] || bench_fail "the verification-only setup installed something in $dir"
      ;;
  esac
  remove_tree "$dir"
  echo "$side $round $wall $folder $answered $peak $children $cpu" >>"$RESULTS"
  printf 'big:   %-7s round %d %8.2f s  folder at %7.2f s  %7d KiB peak (wine: %d)  cpu %7.2f s  load %s\n' \
    "$side" "$round" "$wall" "$folder" "$peak" "$children" "$cpu" "$(cut -d' ' -f1 /proc/loadavg)"
}

echo "big: $(wine --version), prefix $WINEARCH, display $DISPLAY; $ROUNDS rounds; trees deleted after their check, $SETTLE s before the next"
# Wine's first start of a program in a new prefix does some setting up: once, untimed.
wine "$(wine_path "$COPY_EXE")" >"$TMP/logs/warmup.log" 2>&1 </dev/null || true
for ((round = 1; round <= ROUNDS; round++)); do
  case $((round % 3)) in
    1) order=(install verify plain) ;;
    2) order=(verify plain install) ;;
    0) order=(plain install verify) ;;
  esac
  for side in "${order[@]}"; do run "$side" "$round"; done
done
for ((round = 1; round <= ROUNDS; round++)); do run half "$round"; done
big_footprint "end"

read -r disk_start disk_peak <"$DISK_LOG"
python3 - "$RESULTS" "$FULL_BYTES" "$HALF_BYTES" "$FOOTPRINT_LOG" "$disk_start" "$disk_peak" <<'EOF'
import statistics, sys

results, full, half, footprint = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
disk_start, disk_peak = int(sys.argv[5]), int(sys.argv[6])
rows = {}
for line in open(results):
    fields = line.split()
    rows.setdefault(fields[0], []).append([float(x) for x in fields[2:]])

def median(side, column):
    return statistics.median(r[column] for r in rows[side])

print()
print("%-12s %6s %9s %8s %13s %s" % ("build", "rounds", "median s", "MB/s", "max peak MiB", "output bytes"))
for side, payload in (("build-full", full), ("build-half", half)):
    r = rows[side][-1]
    print("%-12s %6d %9.2f %8.1f %13.1f setup %d + %d data files, %d in all" % (
        side[6:], len(rows[side]), median(side, 0), payload / 1e6 / median(side, 0),
        max(x[1] for x in rows[side]) / 1024, r[2], r[3], r[2] + r[4]))
print("rounds (s): full %s; half %s" % (", ".join("%.1f" % r[0] for r in rows["build-full"]),
                                        ", ".join("%.1f" % r[0] for r in rows["build-half"])))
p = rows["paktool"][0]
print("paktool verify (native, one run): %.2f s, %.1f MiB" % (p[0], p[1] / 1024))
print()
print("%-8s %6s %9s %8s %11s %7s %15s %17s" % ("run", "rounds", "median s", "MB/s", "folder at s", "cpu s",
                                             "peak MiB (proc)", "peak MiB (rusage)"))
for side, payload in (("install", full), ("verify", full), ("plain", full), ("half", half)):
    print("%-8s %6d %9.2f %8.1f %11.2f %7.2f %15.1f %17.1f" % (
        side, len(rows[side]), median(side, 0), payload / 1e6 / median(side, 0), median(side, 1), median(side, 5),
        max(r[3] for r in rows[side]) / 1024, max(r[4] for r in rows[side]) / 1024))
for side in ("install", "verify", "plain", "half"):
    print("rounds %-7s (s): %s" % (side, ", ".join("%.1f" % r[0] for r in rows[side])))
install, verify, plain = median("install", 0), median("verify", 0), median("plain", 0)
print()
print("install / plain: %.2f (medians); round by round %s" % (
    install / plain, ", ".join("%.2f" % (i[0] / p[0]) for i, p in zip(rows["install"], rows["plain"]))))
print("verification alone: %.2f s, %.0f %% of the install; the install's folder appeared at %.2f s (%.0f %%)" % (
    verify, 100 * verify / install, median("install", 1), 100 * median("install", 1) / install))
print("install after verification: %.2f s, %.2f of the plain copy" % (install - verify, (install - verify) / plain))
print("peak memory, payload / half: build %.2f, install %.2f" % (
    max(r[1] for r in rows["build-full"]) / max(r[1] for r in rows["build-half"]),
    max(r[3] for r in rows["install"]) / max(r[3] for r in rows["half"])))
steps = [line.split() for line in open(footprint)]
top = max(steps, key=lambda s: int(s[-2]) + int(s[-1]))
print("disk: at most %.2f GB held by the benchmark (%s); the file system's use rose by at most %.2f GB" % (
    (int(top[-2]) + int(top[-1])) / 1e9, " ".join(top[:-2]), (disk_peak - disk_start) / 1e9))
EOF
