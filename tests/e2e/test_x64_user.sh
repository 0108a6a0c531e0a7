# 64-bit games and per-user installs. A setup marked "architecture x64" installs in the 64-bit
# view of a 64-bit prefix (native Program Files, the 64-bit registry, the native system folder)
# and its uninstaller removes it all there; an unmarked one is redirected as ever; a marked one
# refuses a 32-bit system. A per-user setup runs from the runtime whose manifest asks for no
# rights, installs below the player's local application data and registers under HKCU.
#
# The 64-bit prefix is made once per run, by the first case that needs it (use_x64_prefix), and
# removed by run.sh at the end (x64_prefix_close).

X64_PREFIX=${E2E_WORK:-/tmp}/prefix64

# use_x64_prefix: this case's Wine calls go to the 64-bit prefix, made now when it is missing;
# CASE_DIR moves into it.
use_x64_prefix() {
  export WINEARCH=win64 WINEPREFIX=$X64_PREFIX
  if [ ! -f "$X64_PREFIX/.made" ]; then
    note "creating the 64-bit prefix"
    wineboot -i >"$CASE_LOG/wineboot64.log" 2>&1 </dev/null || fail "wineboot (win64) failed: $(tail "$CASE_LOG/wineboot64.log")"
    wine_place_windows "$CASE_LOG/reg64.log" || fail "cannot set up the 64-bit prefix: $(cat "$CASE_LOG/reg64.log")"
    touch "$X64_PREFIX/.made"
  fi
  [ -d "$X64_PREFIX/drive_c/Program Files (x86)" ] || fail "the prefix is not a 64-bit one"
  CASE_DIR=$WINEPREFIX/drive_c/e2e/$CASE_NAME
  mkdir -p "$CASE_DIR"
}

x64_prefix_close() {
  [ -d "$X64_PREFIX" ] || return 0
  WINEPREFIX=$X64_PREFIX wineserver -k >/dev/null 2>&1 || true
  rm -rf "$X64_PREFIX"
}

# reg_view_value VIEW KEY NAME: a value's data read by reg in the registry view VIEW (32 or 64),
# or nothing.
reg_view_value() {
  wine reg query "$2" /v "$3" "/reg:$1" >"$CASE_LOG/reg.out" 2>/dev/null </dev/null || return 0
  tr -d '\r' <"$CASE_LOG/reg.out" | awk -v name="$3" -F'    ' '$2 == name { print $4 }'
}
reg_view_key_exists() {  # VIEW KEY
  wine reg query "$2" "/reg:$1" >"$CASE_LOG/reg.out" 2>/dev/null </dev/null
}

# write_view_script FOLDER NAME ARCHITECTURE-LINE: a small game whose files, registry value, file
# in the system folder and registration show the view it was installed in. Each case gives its
# own NAME: the cases share the 64-bit prefix.
write_view_script() {
  mkdir -p "$1/files"
  echo "the game" >"$1/files/game.txt"
  cat >"$1/view.script" <<SCRIPT
name "$2"
outfile view_setup.exe
installdir "\$PROGRAMFILES\\$2"
prefix view
$3
language English
uninstalllanguage English
pages default
uninstallpages default-uninstall
file files
writeregstr HKLM "SOFTWARE\\View Company\\$2" InstallPath "\$INSTDIR"
copyfile "\$INSTDIR\\game.txt" "%WINDIR%\\System32\\$2.txt"
SCRIPT
}

build_view_setup() {  # FOLDER
  local top
  top=$(cd "$E2E_DIR/../.." && pwd)
  "$E2E_BIN/setupbuild" --layouts "$top/layout" -o "$1/view_setup.exe" "$1/view.script" \
    >"$CASE_LOG/setupbuild.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
}

# install_view_setup: installs the case's view_setup.exe silently.
install_view_setup() {
  start_setup "$CASE_DIR/view_setup.exe" -silent
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0
}

test_x64_setup_installs_in_the_native_view_and_uninstalls() {
  use_x64_prefix
  write_view_script "$CASE_DIR" "Native Game" "architecture x64"
  build_view_setup "$CASE_DIR"
  install_view_setup
  local install="$WINEPREFIX/drive_c/Program Files/Native Game"
  expect_file "$install/game.txt"
  expect_file "$install/view_Uninstall.exe"
  [ -e "$WINEPREFIX/drive_c/Program Files (x86)/Native Game" ] && fail "files went to Program Files (x86)"
  expect_file "$WINEPREFIX/drive_c/windows/system32/Native Game.txt"
  [ -e "$WINEPREFIX/drive_c/windows/syswow64/Native Game.txt" ] && fail "the system folder was redirected"
  expect_eq "$(reg_view_value 64 'HKLM\SOFTWARE\View Company\Native Game' InstallPath)" 'C:\Program Files\Native Game\' "InstallPath (64-bit view)"
  reg_view_key_exists 32 'HKLM\SOFTWARE\View Company\Native Game' && fail "a key in the 32-bit view: $(cat "$CASE_LOG/reg.out")"
  local registration='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Native Game' command
  command=$(reg_view_value 64 "$registration" UninstallString)
  expect_eq "$command" '"C:\Program Files\Native Game\view_Uninstall.exe"' "UninstallString (64-bit view)"
  reg_view_key_exists 32 "$registration" && fail "the registration is in the 32-bit view"

  start_setup "$install/view_Uninstall.exe" -silent
  answer "Information" OK
  expect_exit 0
  [ -e "$install/game.txt" ] && fail "game.txt is still there"
  [ -e "$WINEPREFIX/drive_c/windows/system32/Native Game.txt" ] && fail "the system folder's file is still there"
  reg_view_key_exists 64 'HKLM\SOFTWARE\View Company\Native Game' && fail "the game's key is still there: $(cat "$CASE_LOG/reg.out")"
  reg_view_key_exists 64 "$registration" && fail "the registration is still there"
  return 0
}

test_unmarked_setup_is_redirected_on_64bit_windows() {
  use_x64_prefix
  write_view_script "$CASE_DIR" "Redirected Game" ""
  build_view_setup "$CASE_DIR"
  install_view_setup
  local install="$WINEPREFIX/drive_c/Program Files (x86)/Redirected Game"
  expect_file "$install/game.txt"
  [ -e "$WINEPREFIX/drive_c/Program Files/Redirected Game" ] && fail "files went to the native Program Files"
  expect_file "$WINEPREFIX/drive_c/windows/syswow64/Redirected Game.txt"
  expect_eq "$(reg_view_value 64 'HKLM\SOFTWARE\WOW6432Node\View Company\Redirected Game' InstallPath)" 'C:\Program Files (x86)\Redirected Game\' "InstallPath under WOW6432Node"
  reg_view_key_exists 64 'HKLM\SOFTWARE\View Company\Redirected Game' && fail "a key in the 64-bit view: $(cat "$CASE_LOG/reg.out")"
  start_setup "$install/view_Uninstall.exe" -silent
  answer "Information" OK
  expect_exit 0
  [ -e "$install/game.txt" ] && fail "game.txt is still there"
  reg_view_key_exists 32 'HKLM\SOFTWARE\View Company\Redirected Game' && fail "the game's key is still there"
  return 0
}

# The Windows layer's own tests of the view, in the 64-bit prefix where the views part.
test_native_view_windows_tests_in_a_64bit_prefix() {
  [ -f "$E2E_BIN/win32_tests.exe" ] || fail "no win32_tests.exe in $E2E_BIN"
  use_x64_prefix
  wine "$E2E_BIN/win32_tests.exe" --gtest_filter='NativeViewTest.*:NativeFolders.*' >"$CASE_LOG/win32_tests.log" 2>&1 </dev/null ||
    fail "the view tests failed: $(cat "$CASE_LOG/win32_tests.log")"
  grep -q '64-bit Windows' "$CASE_LOG/win32_tests.log" || fail "the tests did not see 64-bit Windows: $(cat "$CASE_LOG/win32_tests.log")"
}

test_x64_setup_refuses_a_32bit_system() {
  write_view_script "$CASE_DIR" "View Game" "architecture x64"
  build_view_setup "$CASE_DIR"
  start_setup "$CASE_DIR/view_setup.exe" -silent
  answer "Error" OK
  expect_eq "$MESSAGE" 'Error: This program needs a 64-bit version of Windows.\rIt cannot be installed on this computer.' "message"
  expect_exit 1
  [ -e "$(unix_path 'C:\Program Files\View Game')" ] && fail "something was installed"
  return 0
}

# The execution level a program's manifest asks for: the manifest resource is plain text in
# the file.
manifest_level() {  # EXE
  grep -ao 'requestedExecutionLevel level="[A-Za-z]*"' "$1" | sed 's/.*level="\(.*\)"/\1/' | sort -u
}

test_per_user_setup_asks_no_rights_and_registers_under_hkcu() {
  local top
  top=$(cd "$E2E_DIR/../.." && pwd)
  mkdir -p "$CASE_DIR/files"
  echo "the mod" >"$CASE_DIR/files/mod.txt"
  cat >"$CASE_DIR/user.script" <<'SCRIPT'
name "User Mod"
outfile user_setup.exe
installdir "$PROGRAMFILES\User Mod"
installmode user
prefix user
language English
uninstalllanguage English
pages default
uninstallpages default-uninstall
file files
writeregstr HKCU "Software\User Company\User Mod" InstallPath "$INSTDIR"
createdirectory "$SAVEDGAMES\User Mod"
createdirectory "$DOCUMENTS\My Games\User Mod"
SCRIPT
  "$E2E_BIN/setupbuild" --layouts "$top/layout" -o "$CASE_DIR/user_setup.exe" "$CASE_DIR/user.script" \
    >"$CASE_LOG/setupbuild.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  grep -q 'installmode user: the install folder is \$LOCALAPPDATA\\Programs\\User Mod' "$CASE_LOG/setupbuild.log" ||
    fail "the builder did not say where the mod goes: $(cat "$CASE_LOG/setupbuild.log")"
  expect_eq "$(manifest_level "$CASE_DIR/user_setup.exe")" asInvoker "the per-user setup's execution level"
  expect_eq "$(manifest_level "$E2E_BIN/setup.exe")" requireAdministrator "setup.exe's execution level"
  start_setup "$CASE_DIR/user_setup.exe" -silent
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0
  local install
  install=$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/Programs/User Mod' -type d 2>/dev/null | head -n 1)
  [ -n "$install" ] || install=$(find "$WINEPREFIX/drive_c/users" -path '*Programs/User Mod' -type d 2>/dev/null | head -n 1)
  [ -n "$install" ] || fail "no User Mod folder below the user's local application data"
  expect_file "$install/mod.txt"
  expect_file "$install/user_Uninstall.exe"
  expect_eq "$(manifest_level "$install/user_Uninstall.exe")" asInvoker "the uninstaller's execution level"
  # The player's folders of the new variables, as the system names them.
  local saves documents
  saves=$(find -L "$WINEPREFIX/drive_c/users" -maxdepth 3 -path '*/Saved Games/User Mod' -type d 2>/dev/null | head -n 1)
  [ -n "$saves" ] || fail "no User Mod folder in the saved-games folder"
  documents=$(find -L "$WINEPREFIX/drive_c/users" "$HOME" -maxdepth 5 -path '*/My Games/User Mod' -type d 2>/dev/null | head -n 1)
  [ -n "$documents" ] || fail "no User Mod folder in the documents folder"
  local registration='SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\User Mod' command
  command=$(reg_view_value 32 "HKCU\\$registration" UninstallString)
  case "$command" in
    '"C:\users\'*'\Programs\User Mod\user_Uninstall.exe"') ;;
    *) fail "UninstallString under HKCU: [$command]" ;;
  esac
  reg_view_key_exists 32 "HKLM\\$registration" && fail "registered under HKLM"
  start_setup "$install/user_Uninstall.exe" -silent
  answer "Information" OK
  expect_exit 0
  [ -e "$install/mod.txt" ] && fail "mod.txt is still there"
  [ -e "$saves" ] && fail "the saved-games folder is still there"
  [ -e "$documents" ] && fail "the documents folder is still there"
  reg_view_key_exists 32 "HKCU\\$registration" && fail "the registration is still there"
  reg_view_key_exists 32 'HKCU\Software\User Company' && fail "the mod's key is still there"
  return 0
}
