# Helpers for the end-to-end cases: building packages with paktool, starting setup.exe under
# Wine, answering its windows with windriver and checking what it showed, wrote and returned.
#
# Sourced by run.sh, which sets E2E_BIN (build/bin), WINEPREFIX, DISPLAY and the Wine
# variables. Each case runs in its own subshell with CASE_NAME, CASE_DIR (a folder inside the
# prefix's C: drive, CASE_DIR_WIN is its Windows name) and CASE_LOG (a folder for its logs).
# A check that does not hold calls fail, which ends the case's subshell.

# How long a started setup.exe may run before the case counts it as hung.
E2E_PROCESS_TIMEOUT_S=${E2E_PROCESS_TIMEOUT_S:-30}
# How long windriver waits for an expected window.
E2E_WINDOW_TIMEOUT_MS=${E2E_WINDOW_TIMEOUT_MS:-20000}

# The setup records of a package that passes every start-up check when run as Demo.exe.
DEMO_INFO='name=Demo,shortname=Demo,exe=Demo.exe,installdir=C:\Demo Files,prefix=demo_,mode=0,hasuninstaller=0'

fail() {
  echo "FAIL: $*"
  exit 1
}

note() {
  echo "-- $*"
}

expect_eq() {  # ACTUAL EXPECTED WHAT
  if [ "$1" != "$2" ]; then
    fail "$3: expected [$2], got [$1]"
  fi
}

expect_file() {
  [ -f "$1" ] || fail "missing file $1"
}

# ---- packages -------------------------------------------------------------------------

# pack OUT ITEM...: OUT = the stub + a package of the ITEMs (paktool build's items).
pack() {
  local out=$1
  shift
  "$E2E_BIN/paktool" build "$out" --stub "$E2E_BIN/setup.exe" "$@" >"$CASE_LOG/paktool.log" 2>&1 ||
    fail "paktool build $out failed: $(cat "$CASE_LOG/paktool.log")"
}

# pack_bare OUT ITEM...: a package file without the stub.
pack_bare() {
  local out=$1
  shift
  "$E2E_BIN/paktool" build "$out" "$@" >"$CASE_LOG/paktool.log" 2>&1 ||
    fail "paktool build $out failed: $(cat "$CASE_LOG/paktool.log")"
}

# Text that deflates well, so that its entry is a real zlib stream of many bytes.
make_payload() {  # PATH SEED
  local i
  for i in $(seq 1 400); do echo "$2 line $i of the payload"; done >"$1"
}

# flip_entry_byte FILE INDEX: inverts one byte in the middle of entry INDEX's stored data,
# located through the trailer and the directory (read here independently of paktool; all
# offsets are absolute in the file).
flip_entry_byte() {
  python3 - "$1" "$2" <<'EOF' || fail "cannot flip a byte of entry $2 in $1"
import struct, sys
path, wanted = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, "rb").read())
magic, version, count, datastart, diroffset = struct.unpack_from("<4sHHII", data, len(data) - 16)
assert magic == b"KZPF", magic
at = diroffset
for index in range(count):
    (name_length,) = struct.unpack_from("<H", data, at)
    at += 2 + name_length
    crc, offset, packed, size, group = struct.unpack_from("<IIIIH", data, at)
    at += 18
    if index == wanted:
        stored = packed if packed else size
        assert stored > 0, "entry has no data"
        data[offset + stored // 2] ^= 0xFF
        open(path, "wb").write(data)
        sys.exit(0)
sys.exit("no entry %d" % wanted)
EOF
}

# ---- running setup.exe ----------------------------------------------------------------

SETUP_PID=
SETUP_EXIT=
SETUP_RUNS=0

# start_setup EXE ARG...: starts setup.exe in the background (SETUP_NO_SHELL_OPEN is set by
# run.sh); EXE is a Unix path inside the prefix.
start_setup() {
  SETUP_RUNS=$((SETUP_RUNS + 1))
  note "start $(basename "$1") ${*:2}"
  wine "$@" >"$CASE_LOG/setup.$SETUP_RUNS.log" 2>&1 &
  SETUP_PID=$!
}

# wait_setup: waits for the started setup.exe to end and sets SETUP_EXIT; a process still
# running after E2E_PROCESS_TIMEOUT_S is killed and the case fails.
wait_setup() {
  local ticks=$((E2E_PROCESS_TIMEOUT_S * 10))
  while kill -0 "$SETUP_PID" 2>/dev/null; do
    ticks=$((ticks - 1))
    if [ "$ticks" -le 0 ]; then
      save_window_list "hung"
      stop_setup
      fail "setup.exe still running after ${E2E_PROCESS_TIMEOUT_S} s"
    fi
    sleep 0.1
  done
  wait "$SETUP_PID"
  SETUP_EXIT=$?
  SETUP_PID=
  note "setup.exe exit code $SETUP_EXIT"
}

expect_exit() {  # CODE
  wait_setup
  expect_eq "$SETUP_EXIT" "$1" "setup.exe exit code"
}

# expect_runs_to_end: setup.exe passes start-up and hands over to its wizard: the window shows
# (a package without a page layout first says so in a "Missing File" box, answered here) and is
# closed, and the process ends with exit code 0. Any other box is read, answered and reported,
# rather than left to the time-out.
expect_runs_to_end() {
  local ticks=$((E2E_PROCESS_TIMEOUT_S * 2)) box wizard list
  while kill -0 "$SETUP_PID" 2>/dev/null && [ "$ticks" -gt 0 ]; do
    list=$(window_list)
    box=$(printf '%s\n' "$list" | awk -F'\t' '$2 == "#32770" { print $3; exit }')
    if [ -n "$box" ]; then
      answer "$box" OK
      if [ "$box" = "Missing File" ] && [ "$MESSAGE" = "Error File Missing: Pages.txt" ]; then
        continue
      fi
      wait_setup
      fail "unexpected message box \"$box\": $MESSAGE"
    fi
    wizard=$(printf '%s\n' "$list" | awk -F'\t' '$2 == "TFrmMain" { print $3; exit }')
    if [ -n "$wizard" ]; then
      note "the wizard \"$wizard\" is shown; closing it"
      windriver close "$wizard" || fail "cannot close the wizard: $(cat "$CASE_LOG/windriver.$DRIVER_RUNS.err")"
      break
    fi
    ticks=$((ticks - 1))
    sleep 0.5
  done
  expect_exit 0
}

# Ends a setup.exe that is still running (a failed case); called by run.sh after each case.
stop_setup() {
  [ -n "$SETUP_PID" ] || return 0
  kill "$SETUP_PID" 2>/dev/null
  local i
  for i in $(seq 1 30); do
    kill -0 "$SETUP_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$SETUP_PID" 2>/dev/null
  wait "$SETUP_PID" 2>/dev/null
  SETUP_PID=
}

# ---- windows --------------------------------------------------------------------------

DRIVER_RUNS=0

windriver() {
  DRIVER_RUNS=$((DRIVER_RUNS + 1))
  DRIVER_OUT=$CASE_LOG/windriver.$DRIVER_RUNS.out
  wine "$E2E_BIN/windriver.exe" "$@" >"$DRIVER_OUT" 2>"$CASE_LOG/windriver.$DRIVER_RUNS.err"
}

# answer CAPTION BUTTON: waits for the window, keeps its controls' texts in ANSWER_TEXTS and
# its message text (the Static of id 65535, CR and LF as \r and \n) in MESSAGE, then presses
# the button.
answer() {
  note "answer \"$1\" with $2"
  windriver answer "$1" "$2" "$E2E_WINDOW_TIMEOUT_MS" || {
    save_window_list "unanswered"
    fail "no window \"$1\" with a button \"$2\": $(cat "$CASE_LOG/windriver.$DRIVER_RUNS.err")"
  }
  ANSWER_TEXTS=$(cat "$DRIVER_OUT")
  MESSAGE=$(sed -n 's/^Static\t65535\t//p' "$DRIVER_OUT")
  note "message: $MESSAGE"
}

# Visible top-level windows as "HWND<TAB>CLASS<TAB>CAPTION" lines.
window_list() {
  windriver list || fail "windriver list failed"
  cat "$DRIVER_OUT"
}

# Keeps the visible windows in the case's log when something is missing or hangs.
save_window_list() {
  wine "$E2E_BIN/windriver.exe" list >"$CASE_LOG/windows.$1.txt" 2>&1
  note "visible windows ($1):"
  sed 's/^/   /' "$CASE_LOG/windows.$1.txt"
}

# expect_window_visible CAPTION yes|no: checks the list of visible windows for CAPTION.
expect_window_visible() {
  local list
  list=$(window_list)
  if printf '%s\n' "$list" | cut -f3 | grep -qxF -- "$1"; then
    [ "$2" = yes ] || fail "window \"$1\" is visible"
  else
    [ "$2" = no ] || fail "window \"$1\" is not visible"
  fi
}

# ---- files ----------------------------------------------------------------------------

# The Unix path of a path on the prefix's C: drive.
unix_path() {
  local path=$1
  case "$path" in
    [Cc]:\\*) ;;
    *) fail "not a C: path: $path" ;;
  esac
  path=${path:3}
  echo "$WINEPREFIX/drive_c/${path//\\//}"
}

# The Windows temporary folder of the prefix's user, as Unix path.
temp_folder() {
  local dir
  for dir in "$WINEPREFIX"/drive_c/users/*/AppData/Local/Temp "$WINEPREFIX"/drive_c/users/*/Temp; do
    if [ -d "$dir" ]; then
      echo "$dir"
      return
    fi
  done
  fail "no temporary folder in the prefix"
}

# line_of FILE NUMBER: line NUMBER of a CR LF text file without its line end.
line_of() {
  sed -n "${2}p" "$1" | tr -d '\r'
}

# report_line FILE NAME: the first "%-22s : %s" line of the error report for NAME, whole, so
# that the layout is checked with the value.
report_line() {
  grep -a -m1 "^$2 " "$1" | tr -d '\r'
}

# ---- wizard window --------------------------------------------------------------------
# The wizard is read and driven through windriver. SELECTOR names one visible control of the
# window: a decimal control id, a class name (the first visible one) or CLASS#N (the N-th).
# Texts come back as windriver writes them: CR, LF and TAB as \r, \n and \t.

# How long wait_control_text waits for a text to show up.
E2E_TEXT_TIMEOUT_S=${E2E_TEXT_TIMEOUT_S:-20}

# driver_step WHAT ARG...: runs windriver; a failure ends the case with windriver's message
# and keeps the visible windows in the log.
driver_step() {
  local what=$1
  shift
  windriver "$@" && return 0
  save_window_list "$DRIVER_RUNS"
  fail "$what: $(cat "$CASE_LOG/windriver.$DRIVER_RUNS.err")"
}

# wizard_wait CAPTION: waits for the window to show up.
wizard_wait() {
  driver_step "no window \"$1\"" wait "$1" "$E2E_WINDOW_TIMEOUT_MS"
}

# wizard_controls CAPTION: every control of the window in WIZARD_CONTROLS, one per line:
# CLASS ID VISIBLE ENABLED LEFT TOP WIDTH HEIGHT TEXT, tab-separated, the rectangle relative
# to the window's client area; also kept in the case's log.
wizard_controls() {
  driver_step "cannot read the controls of \"$1\"" controls "$1"
  WIZARD_CONTROLS=$(cat "$DRIVER_OUT")
}

# wizard_text CAPTION SELECTOR: the control's text in WIZARD_TEXT.
wizard_text() {
  driver_step "cannot read control $2 of \"$1\"" text "$1" "$2"
  WIZARD_TEXT=$(cat "$DRIVER_OUT")
}

# wizard_set_text CAPTION SELECTOR TEXT: replaces the control's text; an edit field tells the
# program as if the user had typed it.
wizard_set_text() {
  note "set control $2 of \"$1\" to \"$3\""
  driver_step "cannot set the text of control $2 of \"$1\"" settext "$1" "$2" "$3"
}

# wizard_press CAPTION BUTTONTEXT: presses the visible, enabled button of that text ("&"
# accelerators need not be written).
wizard_press() {
  note "press \"$2\" in \"$1\""
  driver_step "cannot press \"$2\" in \"$1\"" press "$1" "$2"
}

# wizard_click CAPTION SELECTOR: clicks a control, a radio button for example.
wizard_click() {
  note "click control $2 of \"$1\""
  driver_step "cannot click control $2 of \"$1\"" click "$1" "$2"
}

# wizard_key CAPTION KEY: types Tab, ShiftTab, Return, Escape, Down, Up, Space, Home or End
# into the window's focused control (the window becomes the foreground one).
wizard_key() {
  note "key $2 in \"$1\""
  driver_step "cannot type $2 in \"$1\"" key "$1" "$2"
}

# wizard_focus CAPTION: the focused control as CLASS<TAB>ID<TAB>TEXT in WIZARD_FOCUS.
wizard_focus() {
  driver_step "no focused control in \"$1\"" focus "$1"
  WIZARD_FOCUS=$(cat "$DRIVER_OUT")
}

# wizard_close CAPTION: clicks the window's close box.
wizard_close() {
  note "close \"$1\""
  driver_step "cannot close \"$1\"" close "$1"
}

# wizard_choose_menu CAPTION BUTTONTEXT INDEX: presses the button that pops up a menu (the
# language button, captioned with the current language) and chooses item INDEX, from 0. The
# menu's items cannot be read, and an INDEX past the last one wraps round to the first: check
# the outcome (the button's new caption).
wizard_choose_menu() {
  note "choose item $3 of the menu of \"$2\" in \"$1\""
  wizard_press "$1" "$2"
  driver_step "cannot choose item $3 of the menu of \"$2\"" menu "$1" "$3" "$E2E_WINDOW_TIMEOUT_MS"
}

# wizard_tree CAPTION: the shown items of the window's folder tree in WIZARD_TREE, one per
# line: DEPTH SELECTED EXPANDED TEXT, tab-separated, in display order.
wizard_tree() {
  driver_step "cannot read the folder tree of \"$1\"" tree "$1"
  WIZARD_TREE=$(cat "$DRIVER_OUT")
}

# wizard_select_tree CAPTION PATH: expands the folder tree down PATH (item texts joined by
# backslashes from the top level; a drive "C:" also matches "C:\" or "Local Disk (C:)") and
# selects its last item, as a click would.
wizard_select_tree() {
  note "select \"$2\" in the folder tree of \"$1\""
  driver_step "cannot select \"$2\" in the folder tree of \"$1\"" treeselect "$1" "$2"
}

# wizard_client_size CAPTION: WIDTHxHEIGHT of the window's client area in WIZARD_CLIENT_SIZE.
wizard_client_size() {
  driver_step "cannot measure \"$1\"" clientsize "$1"
  WIZARD_CLIENT_SIZE=$(cat "$DRIVER_OUT")
}

# wizard_screenshot CAPTION FILE: the window's client area as it is on the screen, as BMP, or
# as PNG when FILE ends in .png; FILE is a Unix path (Wine's Z: drive reaches it).
wizard_screenshot() {
  local file=$2 bmp
  case "$file" in
    /*) ;;
    *) file=$PWD/$file ;;
  esac
  bmp=$file
  [[ "$file" == *.png ]] && bmp=${file%.png}.bmp
  driver_step "cannot take a picture of \"$1\"" screenshot "$1" "Z:${bmp//\//\\}"
  if [ "$bmp" != "$file" ]; then
    convert "$bmp" "$file" >"$CASE_LOG/convert.log" 2>&1 || fail "cannot convert $bmp: $(cat "$CASE_LOG/convert.log")"
    rm -f "$bmp"
  fi
  note "picture of \"$1\" in $file"
}

# expect_control_text CAPTION SELECTOR TEXT: the control shows TEXT (\r, \n, \t escaped).
expect_control_text() {
  wizard_text "$1" "$2"
  expect_eq "$WIZARD_TEXT" "$3" "text of control $2 of \"$1\""
}

# wait_control_text CAPTION SELECTOR TEXT: waits up to E2E_TEXT_TIMEOUT_S for the control to
# show TEXT, for pages that change on their own (progress, finish).
wait_control_text() {
  local ticks=$((E2E_TEXT_TIMEOUT_S * 5)) text=
  while [ "$ticks" -gt 0 ]; do
    if windriver text "$1" "$2"; then
      text=$(cat "$DRIVER_OUT")
      [ "$text" = "$3" ] && return 0
    fi
    ticks=$((ticks - 1))
    sleep 0.2
  done
  save_window_list "text"
  fail "control $2 of \"$1\" did not show [$3] within ${E2E_TEXT_TIMEOUT_S} s (last [$text])"
}

# expect_button_enabled CAPTION BUTTONTEXT yes|no: the visible button of that text (without
# "&" accelerators) is enabled or not.
expect_button_enabled() {
  local state
  wizard_controls "$1"
  state=$(printf '%s\n' "$WIZARD_CONTROLS" |
    WANT=$2 awk -F'\t' 'tolower($1) == "button" && $3 == 1 {
        text = $9; gsub(/&&/, "\001", text); gsub(/&/, "", text); gsub(/\001/, "\\&", text)
        if (text == ENVIRON["WANT"]) { print ($4 == 1 ? "yes" : "no"); exit }
      }')
  [ -n "$state" ] || fail "window \"$1\" has no visible button \"$2\""
  expect_eq "$state" "$3" "button \"$2\" of \"$1\" enabled"
}
