# Start-up against damaged or incomplete packages: each stops with its own message (exit 1),
# or, for a stream that inflate rejects, with an error report (exit 0).

test_stub_without_package_reports_invalid_header() {
  cp "$E2E_BIN/setup.exe" "$CASE_DIR/Demo.exe"
  start_setup "$CASE_DIR/Demo.exe"
  answer "Error" OK
  expect_eq "$MESSAGE" "Invalid Setup Header. No Contents or Corrupted Contents." "message"
  expect_exit 1
}

test_flipped_byte_names_entry_index_and_file() {
  make_payload "$CASE_DIR/one.txt" one
  make_payload "$CASE_DIR/two.txt" two
  make_payload "$CASE_DIR/three.txt" three
  pack "$CASE_DIR/Demo.exe" --file one.txt 1 "$CASE_DIR/one.txt" --file two.txt 1 "$CASE_DIR/two.txt" \
    --file three.txt 2 "$CASE_DIR/three.txt" --setupinfo "$DEMO_INFO" --lines
  flip_entry_byte "$CASE_DIR/Demo.exe" 1
  start_setup "$CASE_DIR/Demo.exe"
  answer "Verification Error" OK
  expect_eq "$MESSAGE" 'Error: Verification Failed. Setup is corrupt.\rID: 1 Filename: two.txt' "message"
  expect_exit 1
}

test_flipped_byte_in_last_entry_names_it() {
  make_payload "$CASE_DIR/one.txt" one
  pack "$CASE_DIR/Demo.exe" --file one.txt 1 "$CASE_DIR/one.txt" --setupinfo "$DEMO_INFO" --lines
  flip_entry_byte "$CASE_DIR/Demo.exe" 2
  start_setup "$CASE_DIR/Demo.exe"
  answer "Verification Error" OK
  expect_eq "$MESSAGE" 'Error: Verification Failed. Setup is corrupt.\rID: 2 Filename: CompiledLines' "message"
  expect_exit 1
}

test_missing_setup_info_stops() {
  make_payload "$CASE_DIR/one.txt" one
  pack "$CASE_DIR/Demo.exe" --file one.txt 1 "$CASE_DIR/one.txt" --lines
  start_setup "$CASE_DIR/Demo.exe"
  answer "Verification Error" OK
  expect_eq "$MESSAGE" "Error: Setup Information Missing. Setup is corrupt" "message"
  expect_exit 1
}

test_missing_compiled_lines_stops() {
  make_payload "$CASE_DIR/one.txt" one
  pack "$CASE_DIR/Demo.exe" --file one.txt 1 "$CASE_DIR/one.txt" --setupinfo "$DEMO_INFO"
  start_setup "$CASE_DIR/Demo.exe"
  answer "Verification Error" OK
  expect_eq "$MESSAGE" "Error: Compiled Lines Missing. Setup is corrupt" "message"
  expect_exit 1
}

# The stream's CRC is right, so verification reaches inflate, which fails: an unexpected error
# that the outer handler turns into an error report.
corrupt_stream_package() {  # OUT
  printf 'this is not a zlib stream, only bytes that claim to be one' >"$CASE_DIR/garbage.bin"
  make_payload "$CASE_DIR/one.txt" one
  pack "$1" --file one.txt 1 "$CASE_DIR/one.txt" --stored broken.dat 1 "$CASE_DIR/garbage.bin" 5000 \
    --setupinfo "$DEMO_INFO" --lines
}

# Answers the "Error Report" box and sets REPORT_WIN and REPORT (its Unix path).
answer_error_report() {
  answer "Error Report" OK
  case "$MESSAGE" in
    'Verification Stage Error: error'*) ;;
    *) fail "report message starts wrongly: [$MESSAGE]" ;;
  esac
  REPORT_WIN=$(printf '%s' "$MESSAGE" | sed -n 's/.*Error Log Created\. Please Include "\([^"]*\)" with your bug report$/\1/p')
  [ -n "$REPORT_WIN" ] || fail "no report path in [$MESSAGE]"
  expect_eq "$MESSAGE" "Verification Stage Error: error\\r\\rError Log Created. Please Include \"$REPORT_WIN\" with your bug report" "message"
  REPORT=$(unix_path "$REPORT_WIN")
  note "report $REPORT_WIN"
}

test_corrupt_stream_writes_error_report() {
  local temp
  temp=$(temp_folder)
  rm -f "$temp"/ErrorLog*.TXT
  corrupt_stream_package "$CASE_DIR/Demo.exe"
  start_setup "$CASE_DIR/Demo.exe" /quiet
  answer_error_report
  expect_exit 0

  expect_eq "$(basename "$REPORT")" "ErrorLog0000.TXT" "report file name"
  expect_eq "$(dirname "$REPORT")" "$temp" "report folder"
  expect_file "$REPORT"
  cp "$REPORT" "$CASE_LOG/report.txt"
  expect_eq "$(line_of "$REPORT" 1)" "General Info" "first line"
  expect_eq "$(line_of "$REPORT" 2)" "------------" "first underline"
  grep -q $'\r$' <(head -n 1 "$REPORT") || fail "report lines do not end in CR LF"
  grep -qx -e $'Pak Info\r' "$REPORT" || fail "no Pak Info section"
  grep -qx -e $'--------\r' "$REPORT" || fail "no Pak Info underline"
  grep -qx -e $'Windows Info\r' "$REPORT" || fail "no Windows Info section"
  expect_eq "$(report_line "$REPORT" "ID")" "ID                     : KZPF" "ID line"
  expect_eq "$(report_line "$REPORT" "Version")" "Version                : 1" "Version line"
  expect_eq "$(report_line "$REPORT" "Count")" "Count                  : 4" "Count line"
  expect_eq "$(report_line "$REPORT" "ErrorType")" "ErrorType              : Verification Stage" "ErrorType line"
  expect_eq "$(report_line "$REPORT" "ErrorText")" "ErrorText              : error" "ErrorText line"
  expect_eq "$(report_line "$REPORT" "Params")" "Params                 : /QUIET" "Params line"
  expect_eq "$(report_line "$REPORT" "ParamCount")" "ParamCount             : 1" "ParamCount line"
}

test_second_error_report_takes_next_free_number() {
  local temp
  temp=$(temp_folder)
  rm -f "$temp"/ErrorLog*.TXT
  corrupt_stream_package "$CASE_DIR/Demo.exe"
  start_setup "$CASE_DIR/Demo.exe"
  answer_error_report
  expect_exit 0
  expect_eq "$(basename "$REPORT")" "ErrorLog0000.TXT" "first report"
  start_setup "$CASE_DIR/Demo.exe"
  answer_error_report
  expect_exit 0
  expect_eq "$(basename "$REPORT")" "ErrorLog0001.TXT" "second report"
  expect_file "$temp/ErrorLog0000.TXT"
  expect_file "$temp/ErrorLog0001.TXT"
}
