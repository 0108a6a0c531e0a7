# Start-up against damaged or incomplete packages: each stops with its own message (exit 1),
# or, for a stream that inflate rejects, with an error report (exit 3).

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
  expect_exit 3

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

# A silent run that ends on the error report must not look like a success to deployment tools.
test_corrupt_stream_in_a_silent_run_ends_with_exit_code_3() {
  corrupt_stream_package "$CASE_DIR/Demo.exe"
  local log_win="Z:${CASE_DIR//\//\\}\\run.log"
  start_setup "$CASE_DIR/Demo.exe" -silent "-log=$log_win"
  answer_error_report
  expect_exit 3
  tr -d '\r' <"$CASE_DIR/run.log" >"$CASE_LOG/run.log"
  grep -q '^Error report: Verification Stage Error: error' "$CASE_LOG/run.log" || fail "no report in the log"
  expect_eq "$(tail -n 1 "$CASE_LOG/run.log")" "Exit code: 3" "last line of the log"
}

# The command line comes in through the wide call and the report is UTF-8: Cyrillic arguments
# keep their bytes, and only ASCII letters are upper-cased.
test_error_report_quotes_unicode_arguments_in_utf8() {
  local temp
  temp=$(temp_folder)
  rm -f "$temp"/ErrorLog*.TXT
  corrupt_stream_package "$CASE_DIR/Demo.exe"
  start_setup "$CASE_DIR/Demo.exe" /quiet "Игра Ёж" /путь=日本
  answer_error_report
  expect_exit 3
  cp "$REPORT" "$CASE_LOG/report.txt"
  expect_eq "$(report_line "$REPORT" "Params")" "Params                 : /QUIET Игра Ёж /путь=日本" "Params line"
  expect_eq "$(report_line "$REPORT" "ParamCount")" "ParamCount             : 3" "ParamCount line"
  iconv -f UTF-8 -t UTF-8 "$REPORT" >/dev/null || fail "report is not UTF-8"
  [ "$(head -c 3 "$REPORT" | od -An -tx1 | tr -d ' ')" != "efbbbf" ] || fail "report starts with a byte-order mark"
}

test_second_error_report_takes_next_free_number() {
  local temp
  temp=$(temp_folder)
  rm -f "$temp"/ErrorLog*.TXT
  corrupt_stream_package "$CASE_DIR/Demo.exe"
  start_setup "$CASE_DIR/Demo.exe"
  answer_error_report
  expect_exit 3
  expect_eq "$(basename "$REPORT")" "ErrorLog0000.TXT" "first report"
  start_setup "$CASE_DIR/Demo.exe"
  answer_error_report
  expect_exit 3
  expect_eq "$(basename "$REPORT")" "ErrorLog0001.TXT" "second report"
  expect_file "$temp/ErrorLog0000.TXT"
  expect_file "$temp/ErrorLog0001.TXT"
}

# large_entry EXE NAME ACTION: on the large entry NAME of the setup EXE, "flip" inverts a byte in
# the middle of its data and "nocrc" writes Crc 0 in its record, as builders before CRCs on
# large entries did.
large_entry() {
  python3 - "$@" <<'PYEOF' || fail "cannot $3 entry $2 of $1"
import struct, sys
path, wanted, action = sys.argv[1:]
data = bytearray(open(path, "rb").read())
magic, version, count, datastart, diroffset = struct.unpack_from("<4sHHII", data, len(data) - 16)
at = diroffset
for index in range(count):
    (name_length,) = struct.unpack_from("<H", data, at)
    name = data[at + 2:at + 2 + name_length].decode("latin-1")
    at += 2 + name_length
    crc, offset, packed, size, group = struct.unpack_from("<IIIIH", data, at)
    if name == wanted:
        assert packed == 0 and size >= 73400320 and crc != 0, (packed, size, crc)
        if action == "flip":
            data[offset + size // 2] ^= 0xFF
        else:
            struct.pack_into("<I", data, at, 0)
        open(path, "wb").write(data)
        sys.exit(0)
    at += 18
sys.exit("no entry " + wanted)
PYEOF
}

# The largest VmHWM, in KiB, of the processes running EXE_NAME, sampled until they end.
peak_memory_of() {  # EXE_NAME RESULT_FILE
  local peak=0 pid hwm ticks=$((E2E_PROCESS_TIMEOUT_S * 20))
  while [ "$ticks" -gt 0 ]; do
    ticks=$((ticks - 1))
    local seen=0
    for pid in $(pgrep -f "$1"); do
      seen=1
      hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
      [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
    done
    echo "$peak" >"$2"
    [ "$seen" = 0 ] && [ "$peak" != 0 ] && return
    sleep 0.05
  done
}

# A 200 MB file is a large entry: it installs in bounded memory, its CRC catches one changed
# byte at start-up, and with Crc 0 (a setup from an older builder) it installs unchecked.
test_large_entry_is_verified_by_crc_in_bounded_memory() {
  mkdir -p "$CASE_DIR/big/files"
  python3 -c '
import sys
block = bytes(range(256)) * 4096
with open(sys.argv[1], "wb") as f:
    for i in range(200):
        f.write(block[i:] + block[:i])' "$CASE_DIR/big/files/world.dat"
  printf 'name Big\noutfile big_setup.exe\ninstalldir "C:\\Big"\npages default\nfile files\n' >"$CASE_DIR/big/big.script"
  "$E2E_BIN/setupbuild" -q -o "$CASE_DIR/big_setup.exe" "$CASE_DIR/big/big.script" \
    >"$CASE_LOG/setupbuild.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"

  start_setup "$CASE_DIR/big_setup.exe" -silent
  peak_memory_of big_setup.exe "$CASE_LOG/peak" &
  local sampler=$!
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0
  wait "$sampler"
  cmp -s "$CASE_DIR/big/files/world.dat" "$(unix_path 'C:\Big')/world.dat" || fail "world.dat differs"
  local peak
  peak=$(cat "$CASE_LOG/peak")
  note "peak memory of setup.exe: $peak KiB"
  [ "$peak" -gt 0 ] && [ "$peak" -lt 65536 ] || fail "setup.exe peaked at $peak KiB for a 200 MB entry"
  rm -rf "$(unix_path 'C:\Big')"

  large_entry "$CASE_DIR/big_setup.exe" world.dat flip
  start_setup "$CASE_DIR/big_setup.exe" -silent
  answer "Verification Error" OK
  case "$MESSAGE" in
    'Error: Verification Failed. Setup is corrupt.\rID: '*' Filename: world.dat') ;;
    *) fail "message: $MESSAGE" ;;
  esac
  expect_exit 1

  large_entry "$CASE_DIR/big_setup.exe" world.dat nocrc
  start_setup "$CASE_DIR/big_setup.exe" -silent
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message with Crc 0"
  expect_exit 0
  expect_file "$(unix_path 'C:\Big')/world.dat"
  rm -rf "$(unix_path 'C:\Big')" "$CASE_DIR/big" "$CASE_DIR/big_setup.exe"
}
