# A patching setup killed part-way: whatever moment it dies at, each archive it changes must
# read back, once recovered from its journal, as the original or as the patched one, and the
# file it writes over must hold the old or the new content; running the setup again must then
# complete the patch.
#
# The setup patches a KZP archive (1,200 entries, 200 of which replace entries already there), a
# VFS archive (files replaced, folders added, one folder given enough files that its table
# grows) and writes a 40 MiB file over an older one. A reference run, followed by
# setup_watch.py, tells how many bytes the process has written when each change starts and ends;
# the kill points are placed by those byte counts, in each step and between them. For each point
# the install folder starts as the original, the setup is killed with SIGKILL there, a copy of
# the folder is recovered with kzptool and vfstool and compared with the original and the
# patched state (entry names, sizes and content checksums: the KZP trailer's seeds and record
# dates differ from run to run), and the setup is run again on the folder itself.

INTERRUPT_OLD_MIB=16
INTERRUPT_NEW_MIB=40

# interrupt_sources DIR: the package sources (DIR/kzp, DIR/vfs, DIR/big) and what the install
# folder holds before the patch (DIR/seed for the KZP archive's entries, DIR/vfs-old for the
# VFS archive's files, DIR/big.old).
interrupt_sources() {
  python3 - "$1" "$INTERRUPT_OLD_MIB" "$INTERRUPT_NEW_MIB" <<'EOF' || fail "cannot write the sources"
import os, random, sys
root, old_mib, new_mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
words = "stone river castle north south wagon iron grain field tower bridge".split()

def text(seed, lines):
    r = random.Random(seed)
    return "".join(" ".join(r.choice(words) for _ in range(8)) + " %d\n" % r.randrange(10**6)
                   for _ in range(lines)).encode()

def put(path, data):
    path = os.path.join(root, path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

for i in range(400):
    put("seed/data/f%04d.txt" % i, text(1000 + i, 6))
for i in range(200):
    put("kzp/data/f%04d.txt" % i, text(5000 + i, 7))
for i in range(1000):
    put("kzp/more/g%04d.txt" % i, text(9000 + i, 6))
put("vfs-old/readme.txt", text(20, 30))
put("vfs-old/Maps/Europe/town.map", random.Random(21).randbytes(7000))
put("vfs-old/Maps/Europe/road.map", random.Random(22).randbytes(5000))
put("vfs-old/Sounds/intro.txt", text(23, 50))
put("vfs/readme.txt", text(30, 40))
put("vfs/Maps/Europe/town.map", random.Random(31).randbytes(9000))
put("vfs/Maps/Asia/Japan/tokyo.map", random.Random(32).randbytes(6000))
for i in range(200):
    put("vfs/Maps/Europe/e%03d.map" % i, text(40 + i, 20) + random.Random(400 + i).randbytes(1500))
put("big.old", random.Random(50).randbytes(old_mib << 20))
put("big/movie.dat", random.Random(51).randbytes(new_mib << 20))
EOF
}

# interrupt_manifest KIND ARCHIVE OUT: what the archive holds (kzp: the password, then method,
# content size and name of each entry; vfs: flags, content size and path of each entry; both
# sorted, then a checksum of every extracted file) in OUT. Returns 1, with the reason in OUT,
# when the archive does not read back whole (kzptool verify, vfstool check). The tools sync
# every file they extract: SCRATCH is best a memory file system.
interrupt_manifest() {
  local kind=$1 archive=$2 out=$3
  local tool=$E2E_BIN/${kind}tool files=$SCRATCH/files check=check step
  [ "$kind" = kzp ] && check=verify
  rm -rf "$files"
  mkdir -p "$files"
  for step in "$check" list extract; do
    local args=("$step" "$archive")
    [ "$step" = extract ] && args+=("$files")
    if ! "$tool" "${args[@]}" >"$out.$step" 2>&1; then
      echo "${kind}tool $step: $(grep -v '^note' "$out.$step" | tr '\n' ' ' | cut -c1-300)" >"$out"
      return 1
    fi
  done
  if [ "$kind" = kzp ]; then
    { grep '^password' "$out.list"; awk 'f { print $2, $5, $NF } /^index/ { f = 1 }' "$out.list" | sort; } >"$out"
  else
    awk '/^[d-][f-][c-] / { print $1, $3, $NF }' "$out.list" | sort >"$out"
  fi
  (cd "$files" && find . -type f -print0 | sort -z | xargs -0 -r sha1sum) >>"$out"
  rm -rf "$files"
}

# interrupt_state KIND ARCHIVE WHERE: prints "original", "patched" or what is wrong, comparing
# with the manifests in STATE_DIR/original.KIND and STATE_DIR/patched.KIND.
interrupt_state() {
  local out=$STATE_DIR/$3.$1
  if ! interrupt_manifest "$1" "$2" "$out"; then
    echo "BROKEN ($(cat "$out"))"
  elif cmp -s "$out" "$STATE_DIR/original.$1"; then
    echo original
  elif cmp -s "$out" "$STATE_DIR/patched.$1"; then
    echo patched
  else
    echo "MIXED (reads back whole, but differs from both: $out)"
  fi
}

# interrupt_file_state FILE: "old", "new" or what it holds.
interrupt_file_state() {
  if cmp -s "$1" "$SOURCES/big.old"; then
    echo old
  elif cmp -s "$1" "$SOURCES/big/movie.dat"; then
    echo new
  elif [ -f "$1" ]; then
    echo "NEITHER ($(stat -c %s "$1") bytes)"
  else
    echo "MISSING"
  fi
}

# interrupt_run_watched EXE MODE ARG...: starts the setup with -silent under setup_watch.py
# (MODE record FOLDER, or kill BYTES), the watcher running before the setup starts; its result
# file is WATCH_OUT.
interrupt_run_watched() {
  local exe=$1 mode=$2
  shift 2
  WATCH_OUT=$CASE_LOG/watch.$((SETUP_RUNS + 1))
  rm -f "$WATCH_OUT" "$WATCH_OUT.ready" "$WATCH_OUT.pid"
  python3 "$E2E_DIR/setup_watch.py" "$mode" "$WATCH_OUT.pid" "$@" "$WATCH_OUT" 2>"$WATCH_OUT.err" &
  WATCH_PID=$!
  local _
  for _ in $(seq 1 100); do
    [ -e "$WATCH_OUT.ready" ] && break
    sleep 0.05
  done
  [ -e "$WATCH_OUT.ready" ] || fail "setup_watch.py did not start: $(cat "$WATCH_OUT.err")"
  start_setup "$exe" -silent
  echo "$SETUP_PID" >"$WATCH_OUT.pid.new"
  mv "$WATCH_OUT.pid.new" "$WATCH_OUT.pid"
}

# interrupt_rerun EXE: runs the setup with -silent to its end, answering every box it shows;
# RERUN gets "exit CODE" after the boxes' captions and messages.
interrupt_rerun() {
  local ticks=$((E2E_PROCESS_TIMEOUT_S * 2)) box message boxes=""
  start_setup "$1" -silent
  while kill -0 "$SETUP_PID" 2>/dev/null && [ "$ticks" -gt 0 ]; do
    box=$(window_list | awk -F'\t' '$2 == "#32770" { print $3; exit }')
    if [ -n "$box" ]; then
      if windriver answer "$box" OK 1000 || windriver answer "$box" Cancel 1000; then
        message=$(sed -n 's/^Static\t65535\t//p' "$DRIVER_OUT")
        boxes+="\"$box\" box: $message; "
      fi
    fi
    ticks=$((ticks - 1))
    sleep 0.1
  done
  if kill -0 "$SETUP_PID" 2>/dev/null; then
    save_window_list "rerun-hung"
    stop_setup
    RERUN="${boxes}hung, killed"
    return
  fi
  wait "$SETUP_PID"
  RERUN="${boxes}exit $?"
  SETUP_PID=
}

test_patch_killed_at_any_moment_leaves_archives_whole_and_a_rerun_completes() {
  local install original src=$CASE_DIR/src
  SOURCES=$src
  SCRATCH=$(mktemp -d /dev/shm/setup-e2e.XXXXXX 2>/dev/null || mktemp -d)
  trap 'stop_setup; rm -rf "$SCRATCH"' EXIT
  STATE_DIR=$CASE_LOG/state
  mkdir -p "$STATE_DIR"
  interrupt_sources "$src"
  cat >"$src/seed.script" <<'EOF'
name "Patch Demo"
shortname "Patch Demo"
outfile seed_setup.exe
installdir "C:\Patch Demo"
pages default
kzpupdate seed "secret" game.kzp
EOF
  cat >"$src/patch.script" <<'EOF'
name "Patch Demo"
shortname "Patch Demo"
outfile patch_setup.exe
installdir "C:\Patch Demo"
pages default
kzpupdate kzp "secret" game.kzp
vfsupdate vfs world.vfs
file big
EOF
  local script
  for script in seed patch; do
    "$E2E_BIN/setupbuild" -q -o "$CASE_DIR/${script}_setup.exe" "$src/$script.script" >"$CASE_LOG/setupbuild.log" 2>&1 ||
      fail "setupbuild $script failed: $(cat "$CASE_LOG/setupbuild.log")"
  done

  # ---- the original install folder: a KZP archive of 400 entries put there by a setup, a
  # VFS archive made natively, the old content of the big file
  install=$(unix_path 'C:\Patch Demo')
  original=$CASE_DIR/original
  rm -rf "$install" "$original"
  mkdir -p "$install"
  "$E2E_BIN/kzptool" create "$install/game.kzp" >"$CASE_LOG/kzptool-create.log" 2>&1 ||
    fail "kzptool create failed: $(cat "$CASE_LOG/kzptool-create.log")"
  start_setup "$CASE_DIR/seed_setup.exe" -silent
  answer "Information" OK
  expect_exit 0
  "$E2E_BIN/vfstool" create "$install/world.vfs" 1024 4096 32 >"$CASE_LOG/vfstool-create.log" 2>&1 ||
    fail "vfstool create failed: $(cat "$CASE_LOG/vfstool-create.log")"
  (cd "$src/vfs-old" && "$E2E_BIN/vfstool" add "$install/world.vfs" readme.txt readme.txt \
    'Maps\Europe\town.map' Maps/Europe/town.map 'Maps\Europe\road.map' Maps/Europe/road.map \
    'Sounds\intro.txt' Sounds/intro.txt) >"$CASE_LOG/vfstool-add.log" 2>&1 ||
    fail "vfstool add failed: $(cat "$CASE_LOG/vfstool-add.log")"
  cp "$src/big.old" "$install/movie.dat"
  cp -a "$install" "$original"
  interrupt_manifest kzp "$install/game.kzp" "$STATE_DIR/original.kzp" || fail "original KZP: $(cat "$STATE_DIR/original.kzp")"
  interrupt_manifest vfs "$install/world.vfs" "$STATE_DIR/original.vfs" || fail "original VFS: $(cat "$STATE_DIR/original.vfs")"
  expect_eq "$(grep -c '^zlib' "$STATE_DIR/original.kzp")" 400 "entries of the original KZP archive"

  # ---- the reference run, followed: the patched state and where each step lies
  interrupt_run_watched "$CASE_DIR/patch_setup.exe" record "$install"
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0
  wait "$WATCH_PID" || fail "setup_watch.py failed: $(cat "$WATCH_OUT.err")"
  cp "$WATCH_OUT" "$CASE_LOG/reference-timeline.txt"
  interrupt_manifest kzp "$install/game.kzp" "$STATE_DIR/patched.kzp" || fail "patched KZP: $(cat "$STATE_DIR/patched.kzp")"
  interrupt_manifest vfs "$install/world.vfs" "$STATE_DIR/patched.vfs" || fail "patched VFS: $(cat "$STATE_DIR/patched.vfs")"
  expect_eq "$(grep -c '^zlib' "$STATE_DIR/patched.kzp")" 1400 "entries of the patched KZP archive"
  expect_eq "$(grep -c '^-f. .* Maps\\Europe\\' "$STATE_DIR/patched.vfs")" 202 "files in Maps\\Europe of the patched VFS archive"
  grep -q '^d-- .* Maps\\Asia\\Japan$' "$STATE_DIR/patched.vfs" || fail "no folder Maps\\Asia\\Japan in the patched VFS archive"
  expect_eq "$(interrupt_file_state "$install/movie.dat")" new "movie.dat after the reference run"

  # ---- the kill points, from the reference run: "NAME BYTES LOW HIGH [GONE]", to be killed once
  # the process has written BYTES bytes (and the file GONE is no longer there), which must fall
  # between LOW and HIGH bytes, the reach of its step (with some slack for what runs write to
  # the Wine server and the display). The KZP step changes game.kzp*, the VFS step world.*, the
  # file step the rest; each step surely runs from the upper bound of its first change (for the
  # later steps: of the step before's last change) to the lower bound of its last change.
  local points
  mapfile -t points < <(awk -v slack=16384 '
    $4 == "end" { end = $2; next }
    {
      step = $5 ~ /^game\.kzp/ ? "kzp" : $5 ~ /^world\./ ? "vfs" : "file"
      if (!(step in first_high)) { first_low[step] = $1; first_high[step] = $2 }
      last_low[step] = $1; last_high[step] = $2
    }
    function point(name, begin, finish, fraction, low, high) {
      print name, int(begin + (finish - begin) * fraction), low - slack, high + slack
    }
    END {
      if (!(first_high["kzp"] < last_low["kzp"] && last_high["kzp"] < last_low["vfs"] &&
            last_high["vfs"] < last_low["file"] && last_high["file"] < end)) exit
      point("kzp-begin", first_high["kzp"], last_low["kzp"], 0.1, first_low["kzp"], last_high["kzp"])
      point("kzp-middle", first_high["kzp"], last_low["kzp"], 0.6, first_low["kzp"], last_high["kzp"])
      point("kzp-done", first_high["kzp"], last_low["kzp"], 0.6, first_low["kzp"], last_high["vfs"])
      point("vfs-early", last_high["kzp"], last_low["vfs"], 0.25, last_low["kzp"], last_high["vfs"])
      point("vfs-late", last_high["kzp"], last_low["vfs"], 0.8, last_low["kzp"], last_high["vfs"])
      point("file-early", last_high["vfs"], last_low["file"], 0.15, last_low["vfs"], last_high["file"])
      point("file-late", last_high["vfs"], last_low["file"], 0.85, last_low["vfs"], last_high["file"])
      point("file-done", last_high["file"], end, 0.5, last_low["file"], end)
    }' "$WATCH_OUT")
  [ "${#points[@]}" -eq 8 ] || fail "the reference run was not followed closely enough to place the kill points: $(cat "$WATCH_OUT")"
  # The KZP update ends with the removal of its journal: that point waits for it as well.
  points[2]+=" $install/game.kzp-journal"

  local problems=() point name bytes low high gone started killed at journals leftovers copy stray
  local kzp vfs big rerun_kzp rerun_vfs rerun_big
  for point in "${points[@]}"; do
    read -r name bytes low high gone <<<"$point"
    started=$SECONDS
    rm -rf "$install"
    cp -a "$original" "$install"
    interrupt_run_watched "$CASE_DIR/patch_setup.exe" kill "$bytes" ${gone:+"$gone"}
    wait_setup
    wait "$WATCH_PID" || fail "setup_watch.py failed: $(cat "$WATCH_OUT.err")"
    killed=$(cat "$WATCH_OUT")
    note "$name: aimed at $bytes bytes written (in $low..$high): $killed, exit code $SETUP_EXIT"
    read -r _ at _ <<<"$killed"
    case "$killed" in
      killed*) [ "$at" -ge "$low" ] && [ "$at" -le "$high" ] ||
        problems+=("$name: killed at $at bytes written, outside its step ($low..$high)") ;;
      *) problems+=("$name: the setup was not killed at $bytes bytes ($killed)") ;;
    esac
    [ "$SETUP_EXIT" = 137 ] || problems+=("$name: exit code $SETUP_EXIT, not that of SIGKILL")

    journals=$(cd "$install" && find . -name '*-journal*' -printf '%P ')
    leftovers=$(cd "$install" && find . -type f ! -name '*-journal*' -printf '%P\n' | sort |
      comm -23 - <(cd "$original" && find . -type f -printf '%P\n' | sort) | tr '\n' ' ')

    # A copy of the archives and whatever lies beside them, recovered and read by the tools as
    # the next setup would find them; the big file is only read.
    copy=$SCRATCH/killed
    rm -rf "$copy"
    mkdir -p "$copy"
    find "$install" -maxdepth 1 -type f ! -name movie.dat -exec cp -a {} "$copy/" \;
    "$E2E_BIN/kzptool" recover "$copy/game.kzp" >"$STATE_DIR/$name.kzp-recover" 2>&1 ||
      problems+=("$name: kzptool recover failed: $(cat "$STATE_DIR/$name.kzp-recover")")
    "$E2E_BIN/vfstool" recover "$copy/world.vfs" >"$STATE_DIR/$name.vfs-recover" 2>&1 ||
      problems+=("$name: vfstool recover failed: $(cat "$STATE_DIR/$name.vfs-recover")")
    note "$name: kzptool recover: $(cat "$STATE_DIR/$name.kzp-recover")"
    note "$name: vfstool recover: $(cat "$STATE_DIR/$name.vfs-recover")"
    kzp=$(interrupt_state kzp "$copy/game.kzp" "$name")
    vfs=$(interrupt_state vfs "$copy/world.vfs" "$name")
    big=$(interrupt_file_state "$install/movie.dat")
    case "$kzp" in original | patched) ;; *) problems+=("$name: game.kzp after recovery: $kzp") ;; esac
    case "$vfs" in original | patched) ;; *) problems+=("$name: world.vfs after recovery: $vfs") ;; esac
    case "$big" in old | new) ;; *) problems+=("$name: movie.dat: $big") ;; esac
    stray=$(cd "$copy" && find . -name '*-journal*' -printf '%P ')
    [ -z "$stray" ] || problems+=("$name: left after recovery: $stray")

    # The setup run again on the folder itself.
    interrupt_rerun "$CASE_DIR/patch_setup.exe"
    [ "$RERUN" = '"Information" box: Compleated; exit 0' ] || problems+=("$name: the run after the kill: $RERUN")
    rerun_kzp=$(interrupt_state kzp "$install/game.kzp" "$name-rerun")
    rerun_vfs=$(interrupt_state vfs "$install/world.vfs" "$name-rerun")
    rerun_big=$(interrupt_file_state "$install/movie.dat")
    [ "$rerun_kzp $rerun_vfs $rerun_big" = "patched patched new" ] ||
      problems+=("$name: after the run after the kill: game.kzp $rerun_kzp, world.vfs $rerun_vfs, movie.dat $rerun_big")

    echo "POINT $name (killed at $at bytes written): journals [${journals% }] other new files [${leftovers% }];" \
      "recovered: game.kzp $kzp, world.vfs $vfs, movie.dat $big;" \
      "run again: $RERUN, then game.kzp $rerun_kzp, world.vfs $rerun_vfs, movie.dat $rerun_big ($((SECONDS - started)) s)"
  done

  if [ "${#problems[@]}" -gt 0 ]; then
    local problem
    for problem in "${problems[@]}"; do echo "PROBLEM: $problem"; done
    fail "${#problems[@]} checks failed at the kill points (PROBLEM lines above)"
  fi
  return 0
}
