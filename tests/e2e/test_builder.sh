# Setups made by setupbuild: the runtime accepts what the builder writes.

# A script with files in sub-folders, a game-archive group, a language table and jumps, built
# with two compression threads, passes start-up verification and runs to its end.
test_setup_built_by_setupbuild_passes_verification() {
  local src=$CASE_DIR/src
  mkdir -p "$src/files/data/levels" "$src/patch" "$CASE_LOG/languages"
  make_payload "$src/files/readme.txt" readme
  make_payload "$src/files/data/levels/one.lvl" level
  head -c 200000 /dev/urandom >"$src/files/data/noise.bin"
  make_payload "$src/patch/table.dat" patch
  printf '\xff\xfeE\x00n\x00\r\x00\n\x000\x004\x000\x009\x00;\x00\r\x00\n\x001\x002\x00 \x00<\x00\r\x00\n\x00' \
    >"$CASE_LOG/languages/English.wri"
  cat >"$src/demo.script" <<'SCRIPT'
name "Built Demo"
outfile Built.exe
installdir "C:\Built Demo"
prefix built
language English
start:
file files
kzpupdate patch secret game.kzp
iffileexists "$INSTDIR\readme.txt" done 0
done:
SCRIPT
  "$E2E_BIN/setupbuild" -q -j 2 --stub "$E2E_BIN/setup.exe" --languages "$CASE_LOG/languages" \
    "$src/demo.script" >"$CASE_LOG/setupbuild.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  expect_file "$src/Built.exe"
  "$E2E_BIN/paktool" verify "$src/Built.exe" >"$CASE_LOG/verify.log" 2>&1 || fail "paktool verify: $(cat "$CASE_LOG/verify.log")"
  start_setup "$src/Built.exe"
  expect_runs_to_end
}

# setupbuild.exe under Wine writes the same bytes as the native builder for the shipped example.
test_windows_builder_matches_native_builder() {
  local top
  top=$(cd "$E2E_DIR/../.." && pwd)
  [ -f "$E2E_BIN/setupbuild.exe" ] || fail "setupbuild.exe is missing"
  "$E2E_BIN/setupbuild" -q -j 1 --stub "$E2E_BIN/setup.exe" --languages "$top/languages" \
    -o "$CASE_DIR/native.exe" "$top/examples/demo/demo.script" >"$CASE_LOG/native.log" 2>&1 ||
    fail "native setupbuild failed: $(cat "$CASE_LOG/native.log")"
  wine "$E2E_BIN/setupbuild.exe" -q -j 2 --stub "$(winepath -w "$E2E_BIN/setup.exe" 2>/dev/null)" \
    --languages "$(winepath -w "$top/languages" 2>/dev/null)" -o "$CASE_DIR_WIN\\windows.exe" \
    "$(winepath -w "$top/examples/demo/demo.script" 2>/dev/null)" >"$CASE_LOG/windows.log" 2>&1 ||
    fail "setupbuild.exe failed: $(cat "$CASE_LOG/windows.log")"
  cmp -s "$CASE_DIR/native.exe" "$CASE_DIR/windows.exe" || fail "the two builders wrote different setups"
}
