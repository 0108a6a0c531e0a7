# How setup.exe is started: its file name, a package named on the command line and -silent.

# runs_to_end_as NAME: a clean package under the file name NAME runs to the end.
runs_to_end_as() {
  pack "$CASE_DIR/$1" --setupinfo "$DEMO_INFO" --lines
  start_setup "$CASE_DIR/$1"
  expect_runs_to_end
}

test_clean_package_runs_to_the_end() { runs_to_end_as Demo.exe; }

test_renamed_file_shows_expected_and_found_names() {
  pack "$CASE_DIR/Other Name.exe" --setupinfo "$DEMO_INFO" --lines
  start_setup "$CASE_DIR/Other Name.exe"
  answer "Error" OK
  expect_eq "$MESSAGE" 'Error: Setup`s filename has been renamed\r\rExpected: \rDemo.exe\r\rFound: \rOther Name.exe' "message"
  expect_exit 1
}

test_copy_mark_in_file_name_is_accepted() { runs_to_end_as "Demo (2).exe"; }

test_bracket_copy_mark_and_case_are_ignored() { runs_to_end_as "DEMO[3].EXE"; }

# The stub alone has no package and would stop with "Invalid Setup Header"; under another
# name it would also fail the file-name check.
test_package_named_as_first_argument_is_read_from_that_file() {
  cp "$E2E_BIN/setup.exe" "$CASE_DIR/Runner.exe"
  pack_bare "$CASE_DIR/data.pak" --setupinfo "$DEMO_INFO" --lines
  start_setup "$CASE_DIR/Runner.exe" "$CASE_DIR_WIN\\data.pak"
  expect_runs_to_end
}

test_damage_in_package_argument_names_its_entry() {
  cp "$E2E_BIN/setup.exe" "$CASE_DIR/Runner.exe"
  make_payload "$CASE_DIR/only-here.txt" argument
  pack_bare "$CASE_DIR/data.pak" --file only-here.txt 1 "$CASE_DIR/only-here.txt" --setupinfo "$DEMO_INFO" --lines
  flip_entry_byte "$CASE_DIR/data.pak" 0
  start_setup "$CASE_DIR/Runner.exe" "$CASE_DIR_WIN\\data.pak"
  answer "Verification Error" OK
  expect_eq "$MESSAGE" 'Error: Verification Failed. Setup is corrupt.\rID: 0 Filename: only-here.txt' "message"
  expect_exit 1
}

test_first_argument_that_is_no_file_leaves_package_in_setup() {
  pack "$CASE_DIR/Demo.exe" --setupinfo "$DEMO_INFO" --lines
  start_setup "$CASE_DIR/Demo.exe" "$CASE_DIR_WIN\\missing.pak"
  expect_runs_to_end
}

# A silent run walks the layout without a window and ends with the "Compleated" box.
test_silent_as_second_argument_runs_to_the_end() {
  printf '[Pages]\r\nfinish.txt\r\n[PageTypes]\r\nFinish\r\n' >"$CASE_DIR/Pages.txt"
  printf '[FinishText]\r\nType=TLabel\r\n' >"$CASE_DIR/finish.txt"
  pack "$CASE_DIR/Demo.exe" --setupinfo "$DEMO_INFO" --lines --file Pages.txt 0 "$CASE_DIR/Pages.txt" \
    --file finish.txt 0 "$CASE_DIR/finish.txt"
  start_setup "$CASE_DIR/Demo.exe" /x -SILENT
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0
}

# A silent run without a layout says which file is missing and ends with exit code 1.
test_silent_run_without_layout_ends_with_an_error() {
  pack "$CASE_DIR/Demo.exe" --setupinfo "$DEMO_INFO" --lines
  start_setup "$CASE_DIR/Demo.exe" -silent
  answer "Missing File" OK
  expect_eq "$MESSAGE" "Error File Missing: Pages.txt" "message"
  expect_exit 1
}

# A verification failure shows its message while the verification window is still up, so the
# window's presence can be checked without racing it.
damaged_package() {  # OUT
  make_payload "$CASE_DIR/one.txt" one
  pack "$1" --file one.txt 1 "$CASE_DIR/one.txt" --setupinfo "$DEMO_INFO" --lines
  flip_entry_byte "$1" 0
}

test_verification_window_is_shown_without_silent() {
  damaged_package "$CASE_DIR/Demo.exe"
  start_setup "$CASE_DIR/Demo.exe"
  windriver wait "Verification Error" "$E2E_WINDOW_TIMEOUT_MS" || fail "no Verification Error box"
  expect_window_visible "Verifying Contents" yes
  windriver texts "Verifying Contents" || fail "cannot read the verification window"
  grep -q $'^Static\t[-0-9]*\tVerifying contents please wait...$' "$DRIVER_OUT" ||
    fail "verification window lacks its label: $(cat "$DRIVER_OUT")"
  answer "Verification Error" OK
  expect_exit 1
}

test_silent_hides_verification_window() {
  damaged_package "$CASE_DIR/Demo.exe"
  start_setup "$CASE_DIR/Demo.exe" /x -silent
  windriver wait "Verification Error" "$E2E_WINDOW_TIMEOUT_MS" || fail "no Verification Error box"
  expect_window_visible "Verifying Contents" no
  answer "Verification Error" OK
  expect_exit 1
}
