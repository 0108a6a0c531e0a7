# Start-up decisions taken from the setup records: the uninstaller's install log and the
# install folder, given in the records or found through a registry slot.

test_uninstaller_without_install_log_stops() {
  mkdir -p "$CASE_DIR/App"
  pack "$CASE_DIR/Uninstall.exe" \
    --setupinfo "name=Demo,exe=Demo.exe,uninstallexe=Uninstall.exe,installdir=$CASE_DIR_WIN\\App,prefix=demo_,mode=1,hasuninstaller=1" \
    --lines
  start_setup "$CASE_DIR/Uninstall.exe"
  answer "Setup Error" OK
  expect_eq "$MESSAGE" "Error: install log is missing" "message"
  expect_exit 1
}

test_empty_install_folder_reports_missing_registry_key() {
  pack "$CASE_DIR/Demo.exe" --setupinfo "name=Demo,exe=Demo.exe,installdir=,prefix=demo_,mode=0" --lines
  start_setup "$CASE_DIR/Demo.exe"
  answer "Error" OK
  expect_eq "$MESSAGE" "Error: Registry Key Not Found. Please Install Software" "message"
  expect_exit 1
}

test_registry_slot_without_value_reports_missing_registry_key() {
  pack "$CASE_DIR/Demo.exe" \
    --setupinfo "name=Demo,exe=Demo.exe,installdir=,prefix=demo_,mode=0,regkey0=HKCU|Software\\E2E\\$CASE_NAME|InstallDir" \
    --lines
  start_setup "$CASE_DIR/Demo.exe"
  answer "Error" OK
  expect_eq "$MESSAGE" "Error: Registry Key Not Found. Please Install Software" "message"
  expect_exit 1
}

# reg_add ROOT\PATH NAME VALUE: a string value in the prefix's registry.
reg_add() {
  wine reg add "$1" /v "$2" /t REG_SZ /d "$3" /f >"$CASE_LOG/reg.log" 2>&1 ||
    fail "reg add $1 $2 failed: $(cat "$CASE_LOG/reg.log")"
}

test_registry_slot_gives_install_folder() {
  reg_add "HKLM\\Software\\E2E\\$CASE_NAME" InstallDir 'C:\Demo Files'
  pack "$CASE_DIR/Demo.exe" \
    --setupinfo "name=Demo,exe=Demo.exe,installdir=,prefix=demo_,mode=0,regkey0=HKLM|Software\\E2E\\$CASE_NAME|InstallDir" \
    --lines
  start_setup "$CASE_DIR/Demo.exe"
  expect_runs_to_end
}

test_later_registry_slot_gives_install_folder() {
  reg_add "HKCU\\Software\\E2E\\$CASE_NAME\\Second" Folder 'C:\Demo Files'
  pack "$CASE_DIR/Demo.exe" \
    --setupinfo "name=Demo,exe=Demo.exe,installdir=,prefix=demo_,mode=0,regkey0=HKCU|Software\\E2E\\$CASE_NAME\\First|Folder,regkey1=HKCU|Software\\E2E\\$CASE_NAME\\Second|Folder" \
    --lines
  start_setup "$CASE_DIR/Demo.exe"
  expect_runs_to_end
}
