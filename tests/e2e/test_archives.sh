# The game-archive commands of a built setup: archives made natively beside the install,
# patched by setup.exe under Wine with -silent, then read back natively and compared with the
# source files byte for byte.

# archive_sources DIR: the files the setup takes into its archives, text and binary.
archive_sources() {
  local dir=$1
  mkdir -p "$dir/patch/data" "$dir/patch/maps" "$dir/vfsdata/Maps/Europe"
  make_payload "$dir/patch/data/a.txt" alpha
  head -c 20000 /dev/urandom >"$dir/patch/data/b.dat"
  make_payload "$dir/patch/maps/town.map" kzp-town
  head -c 7000 /dev/urandom >"$dir/vfsdata/Maps/Europe/town.map"
  make_payload "$dir/vfsdata/readme.txt" vfs-readme
}

# same_bytes EXPECTED ACTUAL WHAT
same_bytes() {
  [ -f "$2" ] || fail "$3: $2 was not extracted"
  cmp -s "$1" "$2" || fail "$3: $2 differs from $1"
}

test_archive_commands_patch_archives_in_the_install_folder() {
  local src=$CASE_DIR/src install out
  archive_sources "$src"
  cat >"$src/archives.script" <<'EOF'
name "Archive Demo"
shortname "Archive Demo"
outfile archives_setup.exe
installdir "C:\Archive Demo"
pages default
kzpupdate patch "secret" game.kzp
duplicateentry game.kzp data\a.txt data\A_Copy.txt
kzpofficial game.kzp "VORMELT" TRUE
kzpofficial game.kzp "wrongcode" 0
vfsupdate vfsdata world.vfs
EOF
  "$E2E_BIN/setupbuild" -q -o "$CASE_DIR/archives_setup.exe" "$src/archives.script" \
    >"$CASE_LOG/setupbuild.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"

  # The archives the setup patches exist before the install, empty.
  install=$(unix_path 'C:\Archive Demo')
  rm -rf "$install"
  mkdir -p "$install"
  "$E2E_BIN/kzptool" create "$install/game.kzp" >"$CASE_LOG/kzptool-create.log" 2>&1 ||
    fail "kzptool create failed: $(cat "$CASE_LOG/kzptool-create.log")"
  "$E2E_BIN/vfstool" create "$install/world.vfs" 512 256 16 >"$CASE_LOG/vfstool-create.log" 2>&1 ||
    fail "vfstool create failed: $(cat "$CASE_LOG/vfstool-create.log")"
  local vfs_size
  vfs_size=$(stat -c %s "$install/world.vfs")

  start_setup "$CASE_DIR/archives_setup.exe" -silent
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0

  # ---- the KZP archive
  "$E2E_BIN/kzptool" list "$install/game.kzp" >"$CASE_LOG/kzp-list.txt" 2>&1 ||
    fail "kzptool list failed: $(cat "$CASE_LOG/kzp-list.txt")"
  grep -q '^trailer   KZP3 EIH2' "$CASE_LOG/kzp-list.txt" || fail "trailer form: $(cat "$CASE_LOG/kzp-list.txt")"
  grep -qx 'password  secret' "$CASE_LOG/kzp-list.txt" || fail "password: $(cat "$CASE_LOG/kzp-list.txt")"
  # Set by the right access code (in any letter case); the line with a wrong code does nothing.
  grep -qx 'official  1' "$CASE_LOG/kzp-list.txt" || fail "official flag: $(cat "$CASE_LOG/kzp-list.txt")"
  grep -q '^directory 4 entries' "$CASE_LOG/kzp-list.txt" || fail "entry count: $(cat "$CASE_LOG/kzp-list.txt")"
  # The names as stored, in directory order: the three files, then the second name in lower case.
  local names
  names=$(awk 'f { print $NF } /^index/ { f = 1 }' "$CASE_LOG/kzp-list.txt" | tr '\n' ' ')
  expect_eq "$names" 'data\a.txt data\b.dat maps\town.map data\a_copy.txt ' "KZP entry names"
  # The second name shares the first one's payload: same offset and sizes.
  local first copy
  first=$(awk '$NF == "data\\a.txt" { print $4, $5, $6 }' "$CASE_LOG/kzp-list.txt")
  copy=$(awk '$NF == "data\\a_copy.txt" { print $4, $5, $6 }' "$CASE_LOG/kzp-list.txt")
  [ -n "$first" ] || fail "no record of data\\a.txt"
  expect_eq "$copy" "$first" "stored size, content size and offset of the second name"

  "$E2E_BIN/kzptool" verify "$install/game.kzp" >"$CASE_LOG/kzp-verify.txt" 2>&1 ||
    fail "kzptool verify failed: $(cat "$CASE_LOG/kzp-verify.txt")"
  grep -qx '4 entries, 0 failed' "$CASE_LOG/kzp-verify.txt" || fail "verify: $(cat "$CASE_LOG/kzp-verify.txt")"
  out=$CASE_LOG/kzp-out
  rm -rf "$out"
  "$E2E_BIN/kzptool" extract "$install/game.kzp" "$out" >"$CASE_LOG/kzp-extract.txt" 2>&1 ||
    fail "kzptool extract failed: $(cat "$CASE_LOG/kzp-extract.txt")"
  same_bytes "$src/patch/data/a.txt" "$out/data/a.txt" "KZP data\\a.txt"
  same_bytes "$src/patch/data/b.dat" "$out/data/b.dat" "KZP data\\b.dat"
  same_bytes "$src/patch/maps/town.map" "$out/maps/town.map" "KZP maps\\town.map"
  same_bytes "$src/patch/data/a.txt" "$out/data/a_copy.txt" "KZP data\\a_copy.txt"
  expect_eq "$(find "$out" -type f | wc -l)" 4 "files extracted from the KZP archive"

  # ---- the VFS archive: saved (sound, with its index file), its size unchanged
  "$E2E_BIN/vfstool" check "$install/world.vfs" >"$CASE_LOG/vfs-check.txt" 2>&1 ||
    fail "vfstool check failed: $(cat "$CASE_LOG/vfs-check.txt")"
  expect_eq "$(stat -c %s "$install/world.vfs")" "$vfs_size" "size of the VFS archive"
  expect_file "$install/world.ht"
  "$E2E_BIN/vfstool" list "$install/world.vfs" >"$CASE_LOG/vfs-list.txt" 2>&1 ||
    fail "vfstool list failed: $(cat "$CASE_LOG/vfs-list.txt")"
  out=$CASE_LOG/vfs-out
  rm -rf "$out"
  mkdir -p "$out"
  "$E2E_BIN/vfstool" extract "$install/world.vfs" "$out" >"$CASE_LOG/vfs-extract.txt" 2>&1 ||
    fail "vfstool extract failed: $(cat "$CASE_LOG/vfs-extract.txt")"
  same_bytes "$src/vfsdata/Maps/Europe/town.map" "$out/Maps/Europe/town.map" "VFS Maps\\Europe\\town.map"
  same_bytes "$src/vfsdata/readme.txt" "$out/readme.txt" "VFS readme.txt"
  expect_eq "$(find "$out" -type f | wc -l)" 2 "files extracted from the VFS archive"
  return 0
}
