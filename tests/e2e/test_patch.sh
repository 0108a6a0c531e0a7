# Patches: version 1 of a small game installed by its setup, then a patch setup made by
# setupbuild from the two versions' folders brings it to version 2 (changed, new and removed
# files, and a 40 MiB archive with a MiB inserted in its middle and another range changed).

PATCH_BIG_MIB=40

# patch_sources DIR: DIR/v1 and DIR/v2, the two versions, and the scripts of their setups.
patch_sources() {
  python3 - "$1" "$PATCH_BIG_MIB" <<'EOF' || fail "cannot write the sources"
import os, random, sys
root, big_mib = sys.argv[1], int(sys.argv[2])
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

big = random.Random(1).randbytes(big_mib << 20)
level = bytearray(text(2, 4000))
for version in ("v1", "v2"):
    put(version + "/unchanged.txt", text(3, 50))
    put(version + "/Data/Textures/stone.dds", random.Random(4).randbytes(300000))
put("v1/readme.txt", text(5, 40))
put("v1/Data/level1.dat", bytes(level))
put("v1/Data/assets.pak", big)
put("v1/Data/old_only.txt", text(6, 10))
put("v2/readme.txt", text(5, 40) + b"Version 2: the bridge is fixed.\n")
level[1000:1010] = b"0123456789"
level[60000:60000] = b"inserted in version 2\n"
put("v2/Data/level1.dat", bytes(level))
middle = len(big) // 2
changed = big[:middle] + random.Random(7).randbytes(1 << 20) + big[middle:]
changed = changed[:5 << 20] + random.Random(8).randbytes(4096) + changed[(5 << 20) + 4096:]
put("v2/Data/assets.pak", changed)
put("v2/Data/Maps/new_map.map", text(9, 300))
EOF
  cat >"$1/v1.script" <<'EOF'
name "Patch Game"
outfile v1_setup.exe
installdir "C:\Patch Game"
prefix pg
language English
uninstalllanguage English
pages default
uninstallpages default-uninstall
file v1
EOF
  cat >"$1/v2.script" <<'EOF'
name "Patch Game"
outfile patch_setup.exe
installdir "C:\Patch Game"
prefix pg
language English
pages default
uninstalllogload "$INSTDIR" pg_
patch v2 v1
uninstalllogsave "$INSTDIR" pg_
EOF
  local script
  for script in v1 v2; do
    "$E2E_BIN/setupbuild" -q "$1/$script.script" >"$CASE_LOG/setupbuild.$script.log" 2>&1 ||
      fail "setupbuild $script failed: $(cat "$CASE_LOG/setupbuild.$script.log")"
  done
}

# patch_digest DIR: every file of the game below DIR with its digest (not the install log and
# uninstaller, nor a file a patch left half made).
patch_digest() {
  (cd "$1" && find . -type f ! -name '*install.log' ! -name '*_Uninstall.exe' ! -name '*.patch-new' -print0 | sort -z | xargs -0 sha256sum)
}

# patch_install_v1 SRC: a fresh install of version 1 by its setup.
patch_install_v1() {
  rm -rf "$PATCH_DIR"
  start_setup "$1/v1_setup.exe" -silent
  answer "Information" OK
  expect_exit 0
  patch_digest "$1/v1" | diff - <(patch_digest "$PATCH_DIR") >/dev/null || fail "version 1 did not install"
}

# patch_expect_v2 SRC: the install folder holds exactly version 2.
patch_expect_v2() {
  patch_digest "$1/v2" >"$CASE_LOG/v2.sums"
  patch_digest "$PATCH_DIR" >"$CASE_LOG/installed.sums"
  diff "$CASE_LOG/v2.sums" "$CASE_LOG/installed.sums" >"$CASE_LOG/sums.diff" ||
    fail "the patched folder differs from version 2: $(cat "$CASE_LOG/sums.diff")"
}

test_patch_brings_version_one_to_two_silently_and_through_the_wizard() {
  local src=$CASE_DIR caption
  PATCH_DIR=$(unix_path 'C:\Patch Game')
  patch_sources "$src"
  "$E2E_BIN/paktool" list "$src/patch_setup.exe" >"$CASE_LOG/paktool.log" 2>&1 || fail "paktool list failed"
  grep -q 'difference  Data\\assets.pak' "$CASE_LOG/paktool.log" || fail "assets.pak is not a difference: $(cat "$CASE_LOG/paktool.log")"
  [ "$(stat -c %s "$src/patch_setup.exe")" -lt $(( $(stat -c %s "$E2E_BIN/setup.exe") + (3 << 20) )) ] ||
    fail "the patch setup carries $(stat -c %s "$src/patch_setup.exe") bytes"

  patch_install_v1 "$src"
  start_setup "$src/patch_setup.exe" -silent
  answer "Information" OK
  expect_exit 0
  patch_expect_v2 "$src"
  # The install log names the new file, so the uninstaller takes it away too.
  start_setup "$PATCH_DIR/pg_Uninstall.exe" -silent
  answer "Information" OK
  expect_exit 0
  for _ in $(seq 1 100); do
    [ -e "$PATCH_DIR" ] || break
    sleep 0.2
  done
  [ -e "$PATCH_DIR" ] && fail "the uninstaller left: $(cd "$PATCH_DIR" && find . | head)"

  patch_install_v1 "$src"
  caption=" Patch Game"
  start_setup "$src/patch_setup.exe"
  wizard_wait "$caption"
  # The pages before the installing one: as many as the layout shows for this script.
  local page
  for page in 1 2 3 4 5; do
    wizard_controls "$caption"
    printf '%s\n' "$WIZARD_CONTROLS" | awk -F'\t' '$3 == 1 && $9 == "Install" { found = 1 } END { exit !found }' && break
    wizard_screenshot "$caption" "$CASE_LOG/page$page.png"
    wizard_press "$caption" "Next >"
  done
  wizard_press "$caption" "Install"
  wizard_screenshot "$caption" "$CASE_LOG/installing.png"
  wait_control_text "$caption" Button "Finish"
  wizard_screenshot "$caption" "$CASE_LOG/finished.png"
  wizard_press "$caption" "Finish"
  expect_exit 0
  patch_expect_v2 "$src"
}

test_patch_refuses_an_edited_file_and_changes_nothing() {
  local src=$CASE_DIR
  PATCH_DIR=$(unix_path 'C:\Patch Game')
  patch_sources "$src"
  patch_install_v1 "$src"
  printf 'edited by the player\n' >>"$PATCH_DIR/Data/level1.dat"
  patch_digest "$PATCH_DIR" >"$CASE_LOG/before.sums"
  start_setup "$src/patch_setup.exe" -silent
  answer "Patch Error" OK
  grep -qF 'Data\level1.dat' <<<"$MESSAGE" || fail "the box does not name the edited file: $MESSAGE"
  answer "Information" OK
  expect_exit 2
  patch_digest "$PATCH_DIR" | diff "$CASE_LOG/before.sums" - >"$CASE_LOG/changed.diff" ||
    fail "the refused patch changed files: $(cat "$CASE_LOG/changed.diff")"
}

test_patch_killed_half_way_completes_when_run_again() {
  local src=$CASE_DIR state
  PATCH_DIR=$(unix_path 'C:\Patch Game')
  patch_sources "$src"
  patch_install_v1 "$src"
  # Killed once the rebuilding of the archive has written half of it.
  interrupt_run_watched "$src/patch_setup.exe" kill $((PATCH_BIG_MIB << 19))
  wait_setup
  wait "$WATCH_PID" || fail "setup_watch.py failed: $(cat "$WATCH_OUT.err")"
  state=$(cat "$WATCH_OUT")
  note "watcher: $state"
  [[ "$state" == killed* ]] || fail "the setup was not killed half way: $state"
  cmp -s "$PATCH_DIR/Data/assets.pak" "$src/v1/Data/assets.pak" || fail "the archive is neither version after the kill"
  start_setup "$src/patch_setup.exe" -silent
  answer "Information" OK
  expect_exit 0
  patch_expect_v2 "$src"
  [ -z "$(find "$PATCH_DIR" -name '*.patch-new')" ] || fail "a half-made file is left: $(find "$PATCH_DIR" -name '*.patch-new')"
}
