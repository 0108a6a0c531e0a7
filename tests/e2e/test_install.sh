# A whole install and uninstall: the shipped example built with setupbuild, installed with
# -silent, checked on disk and in the registry (its full registration in the program list, the
# keys it created), then removed by its own uninstaller with every value and created key; and the
# builder installed with `make install`, building the example from another folder.

# reg_value KEY NAME: the data of a registry string value, or nothing.
reg_value() {
  wine reg query "$1" /v "$2" >"$CASE_LOG/reg.out" 2>/dev/null </dev/null || return 0
  tr -d '\r' <"$CASE_LOG/reg.out" | awk -v name="$2" -F'    ' '$2 == name { print $4 }'
}
reg_default() {
  wine reg query "$1" /ve >"$CASE_LOG/reg.out" 2>/dev/null </dev/null || return 0
  tr -d '\r' <"$CASE_LOG/reg.out" | awk -F'    ' 'tolower($2) ~ /default/ { print $4; exit }'
}

# reg_key_exists KEY: whether the registry key is there.
reg_key_exists() {
  wine reg query "$1" >"$CASE_LOG/reg.out" 2>/dev/null </dev/null
}

# wait_gone PATH: the finishing program removes an ended uninstaller within a few seconds.
wait_gone() {
  local i
  for i in $(seq 1 100); do
    [ -e "$1" ] || return 0
    sleep 0.2
  done
  fail "$1 is still there"
}

# The layouts are the source tree's, as a publisher copies them: the uninstall layout has no
# finishing program, and the builder adds the shipped one. The uninstaller is started from the
# registration the way the system starts it, with a program planted where an unquoted path
# with blanks would be read first.
test_example_installs_silently_and_uninstalls_itself() {
  local top install
  top=$(cd "$E2E_DIR/../.." && pwd)
  "$E2E_BIN/setupbuild" --layouts "$top/layout" -o "$CASE_DIR/demo_setup.exe" "$top/examples/demo/demo.script" \
    >"$CASE_LOG/setupbuild.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  grep -q "layout default-uninstall has no FINALISE.EXE: added the shipped" "$CASE_LOG/setupbuild.log" ||
    fail "setupbuild did not say it added the finishing program: $(cat "$CASE_LOG/setupbuild.log")"
  # The keys the demo writes into start out absent, but for one that holds a value of its own:
  # the install creates the others, and the uninstall removes those and keeps that one.
  local key
  for key in 'HKLM\SOFTWARE\Demo Company' 'HKCU\Software\Demo Company' 'HKCR\demogame'; do
    wine reg delete "$key" /f >/dev/null 2>&1 </dev/null
  done
  wine reg add 'HKCU\Software\Demo Company' /v Kept /d before /f >"$CASE_LOG/reg-add.log" 2>&1 </dev/null ||
    fail "cannot add the value that was there before: $(cat "$CASE_LOG/reg-add.log")"
  start_setup "$CASE_DIR/demo_setup.exe" -silent
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0

  install=$(unix_path 'C:\Program Files\Demo Game')
  for f in readme.txt data/config.ini data/levels/level1.txt Manual/manual.txt data/config.default.ini \
    demo_install.log demo_Uninstall.exe; do
    expect_file "$install/$f"
  done
  [ -d "$install/saves" ] || fail "no saves folder"
  expect_eq "$(reg_value 'HKLM\SOFTWARE\Demo Company\Demo Game' InstallPath)" 'C:\Program Files\Demo Game\' "InstallPath (the install folder page adds the backslash)"
  expect_eq "$(reg_value 'HKCU\Software\Demo Company\Demo Game' Language)" 'English' "Language"
  case "$(reg_default 'HKCR\demogame\shell\open\command')" in
    *notepad.exe*) ;;
    *) fail "URL command: $(cat "$CASE_LOG/reg.out")" ;;
  esac
  local link
  link=$(find -L "$WINEPREFIX/drive_c/users" -maxdepth 3 -name 'Demo Game Readme.lnk' 2>/dev/null | head -n 1)
  [ -n "$link" ] || fail "no desktop shortcut"
  wine uninstaller --list >"$CASE_LOG/uninstall-list.txt" 2>/dev/null </dev/null
  grep -q 'Demo Game' "$CASE_LOG/uninstall-list.txt" || fail "not in the list of installed programs"

  # The whole registration, read back from the registry.
  local registration='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Demo Game' size
  expect_eq "$(reg_value "$registration" DisplayName)" 'Demo Game' "DisplayName"
  expect_eq "$(reg_value "$registration" DisplayIcon)" 'C:\Program Files\Demo Game\demo.ico' "DisplayIcon"
  expect_eq "$(reg_value "$registration" DisplayVersion)" '1.0' "DisplayVersion"
  expect_eq "$(reg_value "$registration" Publisher)" 'Demo Company' "Publisher"
  expect_eq "$(reg_value "$registration" HelpLink)" 'https://example.com/demo-game/help' "HelpLink"
  expect_eq "$(reg_value "$registration" URLInfoAbout)" 'https://example.com/demo-game' "URLInfoAbout"
  expect_eq "$(reg_value "$registration" InstallLocation)" 'C:\Program Files\Demo Game' "InstallLocation"
  expect_eq "$(reg_value "$registration" NoModify)" '0x1' "NoModify"
  expect_eq "$(reg_value "$registration" NoRepair)" '0x1' "NoRepair"
  size=$(reg_value "$registration" EstimatedSize)
  grep -q 'EstimatedSize    REG_DWORD' "$CASE_LOG/reg.out" || fail "EstimatedSize is no DWORD: $(cat "$CASE_LOG/reg.out")"
  # The uninstaller alone is several hundred KB; what the demo installs is a few KB.
  [[ $size =~ ^0x[0-9a-f]+$ ]] && [ $((size)) -gt 100 ] && [ $((size)) -lt 100000 ] ||
    fail "EstimatedSize $size KB"
  expect_file "$install/demo.ico"
  for key in 'HKLM\SOFTWARE\Demo Company\Demo Game' 'HKCU\Software\Demo Company\Demo Game' \
    'HKCR\demogame\shell\open\command'; do
    reg_key_exists "$key" || fail "no key $key after the install"
  done

  local command decoy
  command=$(reg_value "$registration" UninstallString)
  expect_eq "$command" '"C:\Program Files\Demo Game\demo_Uninstall.exe"' "UninstallString"
  decoy=$(unix_path 'C:\Program Files\Demo.exe')
  cp "$E2E_BIN/windriver.exe" "$decoy"
  start_setup "$E2E_BIN/windriver.exe" run "$command -silent"
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "uninstall message"
  expect_exit 0
  rm -f "$decoy"
  for f in readme.txt data/config.ini Manual/manual.txt demo_install.log; do
    [ -e "$install/$f" ] && fail "$f is still there"
  done
  [ -e "$install/data" ] && fail "the data folder is still there"
  [ -e "$link" ] && fail "the shortcut is still there"
  expect_eq "$(reg_value 'HKLM\SOFTWARE\Demo Company\Demo Game' InstallPath)" '' "InstallPath after uninstall"
  wine uninstaller --list >"$CASE_LOG/uninstall-list.txt" 2>/dev/null </dev/null
  grep -q 'Demo Game' "$CASE_LOG/uninstall-list.txt" && fail "still in the list of installed programs"
  reg_key_exists "$registration" && fail "the registration is still there: $(cat "$CASE_LOG/reg.out")"
  # The keys the install created are gone; the one that held a value before keeps it.
  for key in 'HKLM\SOFTWARE\Demo Company' 'HKCU\Software\Demo Company\Demo Game' 'HKCR\demogame'; do
    reg_key_exists "$key" && fail "the created key $key is still there: $(cat "$CASE_LOG/reg.out")"
  done
  expect_eq "$(reg_value 'HKCU\Software\Demo Company' Kept)" 'before' "the value that was there before"
  wine reg delete 'HKCU\Software\Demo Company' /f >/dev/null 2>&1 </dev/null
  # The finishing program removes the uninstaller once it has ended, and the emptied folder.
  wait_gone "$install/demo_Uninstall.exe"
}

# `make install` of the trees' native and Windows builds into a temporary prefix (the builds
# are taken as they are); the installed setupbuild finds its runtime, languages and layouts
# from its own folder, run from a copy of the example elsewhere.
test_installed_builder_builds_the_example_from_another_folder() {
  local top prefix install
  top=$(cd "$E2E_DIR/../.." && pwd)
  prefix=$CASE_LOG/prefix
  make -C "$top" --no-print-directory -o native -o win32 install PREFIX="$prefix" >"$CASE_LOG/install.log" 2>&1 ||
    fail "make install failed: $(cat "$CASE_LOG/install.log")"
  cp -r "$top/examples/demo" "$CASE_DIR/demo"
  (cd "$CASE_DIR/demo" && "$prefix/bin/setupbuild" demo.script) >"$CASE_LOG/setupbuild.log" 2>&1 ||
    fail "the installed setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  grep -q FINALISE "$CASE_LOG/setupbuild.log" && fail "the installed uninstall layout lacks the finishing program"
  # Both runtimes are installed, and a per-user script gets the one that asks for no rights.
  cmp -s "$prefix/share/setupbuild/setup-user.exe" "$E2E_BIN/setup-user.exe" || fail "setup-user.exe is not installed"
  sed 's/^outfile .*/outfile user_setup.exe\ninstallmode user/' "$CASE_DIR/demo/demo.script" >"$CASE_DIR/demo/user.script"
  (cd "$CASE_DIR/demo" && "$prefix/bin/setupbuild" -q user.script) >"$CASE_LOG/setupbuild-user.log" 2>&1 ||
    fail "the installed setupbuild failed on a per-user script: $(cat "$CASE_LOG/setupbuild-user.log")"
  cmp -s -n "$(stat -c %s "$E2E_BIN/setup-user.exe")" "$E2E_BIN/setup-user.exe" "$CASE_DIR/demo/user_setup.exe" ||
    fail "the per-user setup does not begin with setup-user.exe"
  start_setup "$CASE_DIR/demo/demo_setup.exe" -silent
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0
  install=$(unix_path 'C:\Program Files\Demo Game')
  expect_file "$install/Manual/manual.txt"
  start_setup "$install/demo_Uninstall.exe" -silent
  answer "Information" OK
  expect_exit 0
  [ -e "$install/readme.txt" ] && fail "readme.txt is still there"
  wait_gone "$install/demo_Uninstall.exe"
}

# An unattended install as a deployment tool starts it: the folder, the language and a log
# given on the command line. The folder wins over the script's, German gives the value the
# demo writes from $LANGUAGESELECTION, and the log names every file the setup wrote.
test_unattended_install_takes_folder_language_and_log_from_the_command_line() {
  local top install dir_win='C:\Spiele Ü\Demo' log_win='C:\deploy logs\demo run.log' log f
  top=$(cd "$E2E_DIR/../.." && pwd)
  "$E2E_BIN/setupbuild" --layouts "$top/layout" -o "$CASE_DIR/demo_setup.exe" "$top/examples/demo/demo.script" \
    >"$CASE_LOG/setupbuild.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  mkdir -p "$(unix_path 'C:\deploy logs')"
  start_setup "$CASE_DIR/demo_setup.exe" -LANG=German "-dir=$dir_win" -silent "-log=$log_win"
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0

  install=$(unix_path "$dir_win")
  for f in readme.txt data/config.ini data/levels/level1.txt data/levels/level2.txt Manual/manual.txt \
    data/config.default.ini demo_install.log demo_Uninstall.exe; do
    expect_file "$install/$f"
  done
  expect_eq "$(reg_value 'HKCU\Software\Demo Company\Demo Game' Language)" 'German' "Language"
  # reg query prints through the console's code page, which may lack the Ü.
  case "$(reg_value 'HKLM\SOFTWARE\Demo Company\Demo Game' InstallPath)" in
    'C:\Spiele '?*'\Demo\') ;;
    *) fail "InstallPath: $(cat "$CASE_LOG/reg.out")" ;;
  esac

  log=$(unix_path "$log_win")
  expect_file "$log"
  iconv -f UTF-8 -t UTF-8 "$log" >/dev/null || fail "the log is not UTF-8"
  tr -d '\r' <"$log" >"$CASE_LOG/run.log"
  for f in readme.txt 'data\config.ini' 'data\levels\level1.txt' 'data\levels\level2.txt' 'Manual\manual.txt' \
    demo_install.log demo_Uninstall.exe; do
    grep -qFx "Wrote file: $dir_win\\$f" "$CASE_LOG/run.log" || fail "the log does not name $f: $(cat "$CASE_LOG/run.log")"
  done
  for line in "Language: German" "Install folder: $dir_win (from the command line)" \
    "Copied file: $dir_win\\data\\config.ini -> $dir_win\\data\\config.default.ini" \
    "Wrote registry value: HKCU\\Software\\Demo Company\\Demo Game\\Language = German" \
    "Ran program: cmd.exe /c exit 0" "Message: Information: Compleated"; do
    grep -qFx "$line" "$CASE_LOG/run.log" || fail "the log lacks [$line]"
  done
  grep -q '^Created shortcut: .*Demo Game Readme.lnk -> ' "$CASE_LOG/run.log" || fail "the log names no shortcut"
  grep -q '^FAILED' "$CASE_LOG/run.log" && fail "failures logged: $(grep '^FAILED' "$CASE_LOG/run.log")"
  expect_eq "$(tail -n 1 "$CASE_LOG/run.log")" "Exit code: 0" "last line of the log"

  start_setup "$install/demo_Uninstall.exe" -silent
  answer "Information" OK
  expect_exit 0
  wait_gone "$install/demo_Uninstall.exe"
}

# A damaged setup run unattended ends with a code a deployment tool counts as a failure.
test_damaged_setup_run_silently_ends_non_zero() {
  local top
  top=$(cd "$E2E_DIR/../.." && pwd)
  "$E2E_BIN/setupbuild" --layouts "$top/layout" -o "$CASE_DIR/demo_setup.exe" "$top/examples/demo/demo.script" \
    >"$CASE_LOG/setupbuild.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  flip_entry_byte "$CASE_DIR/demo_setup.exe" 0
  start_setup "$CASE_DIR/demo_setup.exe" -silent
  answer "Verification Error" OK
  wait_setup
  [ "$SETUP_EXIT" -ne 0 ] || fail "a damaged setup ended with exit code 0"
}
