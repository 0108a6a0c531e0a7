# The wizard window worked by hand: setups built with setupbuild from the shipped layouts are
# clicked through, typed into, switched to another language, closed and looked at.

WIZARD_TOP=$(cd "$E2E_DIR/../.." && pwd)

# build_demo OUT [SCRIPT]: the shipped example (or another script beside it) built into OUT.
build_demo() {
  "$E2E_BIN/setupbuild" -q -o "$1" "${2:-$WIZARD_TOP/examples/demo/demo.script}" >"$CASE_LOG/setupbuild.log" 2>&1 ||
    fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
}

# visible_label_text CAPTION PREFIX: the text of the first visible label that starts with PREFIX.
visible_label_text() {
  wizard_controls "$1"
  printf '%s\n' "$WIZARD_CONTROLS" | PREFIX=$2 awk -F'\t' \
    '$1 == "SetupLabel" && $3 == 1 && index($9, ENVIRON["PREFIX"]) == 1 { print $9; exit }'
}

# expect_label CAPTION TEXT: a visible label shows exactly TEXT.
expect_label() {
  wizard_controls "$1"
  printf '%s\n' "$WIZARD_CONTROLS" | TEXT=$2 awk -F'\t' '$1 == "SetupLabel" && $3 == 1 && $9 == ENVIRON["TEXT"] { found = 1 }
    END { exit !found }' || fail "no visible label [$2] in \"$1\": $(printf '%s\n' "$WIZARD_CONTROLS" | awk -F'\t' '$3 == 1 { print $9 }')"
}

# A relative file list of a folder with each file's digest, for comparing two installs.
tree_digest() {
  (cd "$1" && find . -type f ! -name '*install.log' ! -name '*Uninstall.exe' -print0 | sort -z | xargs -0 sha256sum)
}

test_wizard_click_through_installs_what_silent_installs_and_uninstalls_it() {
  local setup=$CASE_DIR/demo_setup.exe silent typed
  build_demo "$setup"
  silent=$(unix_path 'C:\Program Files\Demo Game')
  start_setup "$setup" -silent
  answer "Information" OK
  expect_exit 0
  tree_digest "$silent" >"$CASE_LOG/silent.sums"
  start_setup "$silent/demo_Uninstall.exe" -silent
  answer "Information" OK
  expect_exit 0

  start_setup "$setup"
  wizard_wait " Demo Game"
  expect_label " Demo Game" "Welcome to the Demo Game Setup"
  expect_button_enabled " Demo Game" "Next >" yes
  wizard_press " Demo Game" "Next >"
  wizard_text " Demo Game" RichEdit20W
  case "$WIZARD_TEXT" in
    *"Demo Game 1.0"*) ;;
    *) fail "the change log box shows [$WIZARD_TEXT]" ;;
  esac
  wizard_press " Demo Game" "Next >"
  expect_control_text " Demo Game" Edit 'C:\Program Files\Demo Game'
  # A path whose last folders do not exist: the tree stands on the deepest folder that does.
  wizard_set_text " Demo Game" Edit 'C:\Program Files\New Folder\Deeper'
  wizard_tree " Demo Game"
  expect_eq "$(printf '%s\n' "$WIZARD_TREE" | awk -F'\t' '$2 == 1 { print $4 }')" "Program Files" "selected folder"
  # A folder chosen in the tree goes into the field.
  wizard_select_tree " Demo Game" 'C:\users'
  expect_control_text " Demo Game" Edit 'C:\users'
  wizard_set_text " Demo Game" Edit 'C:\Games\Demo Typed'
  expect_button_enabled " Demo Game" "Next >" yes
  wizard_press " Demo Game" "Next >"
  local space
  space=$(visible_label_text " Demo Game" "Space available: ")
  [ -n "$space" ] && [ "$space" != "Space available: " ] || fail "no free-space line on the patch page"
  expect_button_enabled " Demo Game" "Install" yes
  wizard_press " Demo Game" "Install"
  wait_control_text " Demo Game" Button "Finish"
  wizard_controls " Demo Game"
  expect_eq "$(printf '%s\n' "$WIZARD_CONTROLS" | awk -F'\t' '$1 == "TGradGauge" { print $9 }')" "100%" "the gauge at the end"
  wizard_press " Demo Game" "Finish"
  expect_exit 0

  typed=$(unix_path 'C:\Games\Demo Typed')
  expect_file "$typed/demo_install.log"
  tree_digest "$typed" >"$CASE_LOG/typed.sums"
  diff "$CASE_LOG/silent.sums" "$CASE_LOG/typed.sums" >"$CASE_LOG/sums.diff" ||
    fail "the clicked install differs from the silent one: $(cat "$CASE_LOG/sums.diff")"

  start_setup "$typed/demo_Uninstall.exe"
  wizard_wait " Demo Game Uninstall"
  expect_label " Demo Game Uninstall" "Uninstall Demo Game"
  wizard_press " Demo Game Uninstall" "Next >"
  wait_control_text " Demo Game Uninstall" Button "Finish"
  wizard_press " Demo Game Uninstall" "Finish"
  expect_exit 0
  local i
  for i in $(seq 1 100); do
    [ -e "$typed" ] || break
    sleep 0.2
  done
  [ -e "$typed" ] && fail "left behind: $(cd "$typed" && find . | head)"
  return 0
}

# layout_pages_controls SETUP NAME: the controls of the welcome and install folder pages of the
# setup in $CASE_LOG/NAME.controls, the free space left out (other programs change it meanwhile).
layout_pages_controls() {
  start_setup "$1"
  wizard_wait " Demo Game"
  wizard_controls " Demo Game"
  printf '%s\n' "$WIZARD_CONTROLS" | sed 's/Space available: .*/Space available: N/' >"$CASE_LOG/$2.controls"
  wizard_press " Demo Game" "Next >"
  wizard_press " Demo Game" "Next >"
  wizard_text " Demo Game" Edit
  [ -n "$WIZARD_TEXT" ] || fail "no install folder page"
  wizard_controls " Demo Game"
  printf '%s\n' "$WIZARD_CONTROLS" | sed 's/Space available: .*/Space available: N/' >>"$CASE_LOG/$2.controls"
  wizard_close " Demo Game"
  answer "Quit" Yes
  expect_exit 0
}

# Layout files saved with line feeds only (an editor on Linux, or git) give the same pages as
# the shipped ones with CR LF: the builder packs them with CR LF.
test_wizard_layouts_with_line_feeds_show_the_same_pages() {
  local lf=$CASE_DIR/layout-lf
  mkdir -p "$lf" "$CASE_DIR/crlf" "$CASE_DIR/lf"
  cp -r "$E2E_BIN/layout/default" "$E2E_BIN/layout/default-uninstall" "$lf/"
  sed -i 's/\r$//' "$lf"/default/*.txt "$lf"/default-uninstall/*.txt
  grep -q $'\r' "$lf/default/welcome.txt" && fail "the copy still has carriage returns"
  build_demo "$CASE_DIR/crlf/demo_setup.exe"
  "$E2E_BIN/setupbuild" -q --layouts "$lf" -o "$CASE_DIR/lf/demo_setup.exe" "$WIZARD_TOP/examples/demo/demo.script" \
    >"$CASE_LOG/setupbuild-lf.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild-lf.log")"
  [ -s "$CASE_LOG/setupbuild-lf.log" ] && fail "the builder said something: $(cat "$CASE_LOG/setupbuild-lf.log")"
  cmp -s "$CASE_DIR/crlf/demo_setup.exe" "$CASE_DIR/lf/demo_setup.exe" ||
    fail "the setup from line-feed layouts differs from the one from the shipped layouts"
  layout_pages_controls "$CASE_DIR/crlf/demo_setup.exe" crlf
  layout_pages_controls "$CASE_DIR/lf/demo_setup.exe" lf
  grep -q 'Welcome to the Demo Game Setup' "$CASE_LOG/lf.controls" || fail "no welcome text from the line-feed layout"
  diff "$CASE_LOG/crlf.controls" "$CASE_LOG/lf.controls" >"$CASE_LOG/controls.diff" ||
    fail "the pages differ: $(cat "$CASE_LOG/controls.diff")"
}

# A drive that reports itself as a CD-ROM is refused; a fixed drive is taken again and its free
# space is asked anew.
test_wizard_refuses_a_cd_rom_folder() {
  local disc=$CASE_DIR/disc
  mkdir -p "$disc/Games"
  ln -sfn "$disc" "$WINEPREFIX/dosdevices/r:"
  wine reg add 'HKLM\Software\Wine\Drives' /v 'r:' /t REG_SZ /d cdrom /f >"$CASE_LOG/reg.log" 2>&1 </dev/null
  wineserver -k >/dev/null 2>&1  # the drive types are read when Wine starts
  build_demo "$CASE_DIR/demo_setup.exe"
  start_setup "$CASE_DIR/demo_setup.exe"
  wizard_wait " Demo Game"
  wizard_press " Demo Game" "Next >"
  wizard_press " Demo Game" "Next >"
  wizard_set_text " Demo Game" Edit 'R:\Games'
  expect_button_enabled " Demo Game" "Next >" no
  wizard_set_text " Demo Game" Edit 'C:\Games\Demo'
  expect_button_enabled " Demo Game" "Next >" yes
  wizard_close " Demo Game"
  answer "Quit" Yes
  expect_exit 0
  rm -f "$WINEPREFIX/dosdevices/r:"
  wine reg delete 'HKLM\Software\Wine\Drives' /v 'r:' /f >"$CASE_LOG/reg.log" 2>&1 </dev/null
}

test_wizard_language_switch_retexts_labels_and_buttons() {
  build_demo "$CASE_DIR/demo_setup.exe"
  start_setup "$CASE_DIR/demo_setup.exe"
  wizard_wait " Demo Game"
  wizard_press " Demo Game" "Next >"
  wizard_press " Demo Game" "Next >"
  expect_label " Demo Game" "Choose Install Folder"
  wizard_choose_menu " Demo Game" "English" 1
  expect_label " Demo Game" "Zielordner wählen"
  expect_label " Demo Game" "Wo soll Demo Game installiert werden?"
  expect_button_enabled " Demo Game" "< Zurück" yes
  expect_button_enabled " Demo Game" "Weiter >" yes
  expect_button_enabled " Demo Game" "Abbrechen" yes
  expect_button_enabled " Demo Game" "Deutsch" yes
  # The quit question comes in the new language too (its buttons are the system's); No keeps
  # the window.
  wizard_press " Demo Game" "Abbrechen"
  answer "Beenden" No
  expect_eq "$MESSAGE" "Möchten Sie den Vorgang wirklich abbrechen?" "question"
  expect_window_visible " Demo Game" yes
  wizard_choose_menu " Demo Game" "Deutsch" 0
  expect_label " Demo Game" "Choose Install Folder"
  wizard_close " Demo Game"
  answer "Quit" Yes
  expect_exit 0
}

# The uninstaller speaks the language the player chose in the setup, though the script names
# only English for it: the German table goes along.
test_wizard_uninstaller_keeps_the_language_chosen_in_the_setup() {
  local folder
  build_demo "$CASE_DIR/demo_setup.exe"
  start_setup "$CASE_DIR/demo_setup.exe"
  wizard_wait " Demo Game"
  wizard_choose_menu " Demo Game" "English" 1
  wizard_press " Demo Game" "Weiter >"
  wizard_press " Demo Game" "Weiter >"
  wizard_set_text " Demo Game" Edit 'C:\Games\Demo Deutsch'
  wizard_press " Demo Game" "Weiter >"
  wizard_press " Demo Game" "Installieren"
  wait_control_text " Demo Game" Button "Fertig"
  wizard_press " Demo Game" "Fertig"
  expect_exit 0
  folder=$(unix_path 'C:\Games\Demo Deutsch')
  start_setup "$folder/demo_Uninstall.exe"
  wizard_wait " Demo Game deinstallieren"
  expect_button_enabled " Demo Game deinstallieren" "Weiter >" yes
  wizard_press " Demo Game deinstallieren" "Weiter >"
  wait_control_text " Demo Game deinstallieren" Button "Fertig"
  wizard_press " Demo Game deinstallieren" "Fertig"
  expect_exit 0
}

test_wizard_close_box_asks_and_no_keeps_the_window() {
  build_demo "$CASE_DIR/demo_setup.exe"
  start_setup "$CASE_DIR/demo_setup.exe"
  wizard_wait " Demo Game"
  wizard_close " Demo Game"
  answer "Quit" No
  expect_eq "$MESSAGE" "Are you sure you want to quit?" "question"
  sleep 0.5
  expect_window_visible " Demo Game" yes
  # Keys: Escape is Cancel (the same question), Enter presses Next, Tab moves the focus.
  wizard_key " Demo Game" Escape
  answer "Quit" No
  wizard_key " Demo Game" Return
  wait_for_label " Demo Game" "What's New"
  wizard_focus " Demo Game"
  local before=$WIZARD_FOCUS
  wizard_key " Demo Game" Tab
  wizard_focus " Demo Game"
  [ "$WIZARD_FOCUS" != "$before" ] || fail "Tab left the focus on $before"
  wizard_close " Demo Game"
  answer "Quit" Yes
  expect_exit 0
}

# wait_for_label CAPTION TEXT: a visible label shows TEXT within a few seconds.
wait_for_label() {
  local i
  for i in $(seq 1 50); do
    if windriver controls "$1" && awk -F'\t' -v t="$2" '$1 == "SetupLabel" && $3 == 1 && $9 == t { f = 1 } END { exit !f }' "$DRIVER_OUT"; then
      return 0
    fi
    sleep 0.1
  done
  fail "no label [$2] in \"$1\""
}

# pixel BMP X Y: "R G B" of a pixel of a 24-bit bottom-up BMP as windriver writes it.
pixel() {
  python3 - "$@" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
offset, = struct.unpack_from("<I", data, 10)
width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
x, y = int(sys.argv[2]), int(sys.argv[3])
assert bits == 24 and 0 <= x < width and 0 <= y < abs(height), (bits, width, height, x, y)
row = (width * 3 + 3) & ~3
line = y if height < 0 else height - 1 - y
b, g, r = data[offset + line * row + x * 3: offset + line * row + x * 3 + 3]
print(r, g, b)
EOF
}

# colour_of VALUE: "R G B" of a Windows colour value ($BBGGRR or decimal).
colour_of() {
  python3 -c 'import sys; v = sys.argv[1]; n = int(v[1:], 16) if v.startswith("$") else int(v); print(n & 255, n >> 8 & 255, n >> 16 & 255)' "$1"
}

# The pictures on screen: the welcome page's side picture, and the gauge of the patching page
# held half way by a question the script asks between two groups of files (1 file of 4 done).
test_wizard_draws_the_picture_and_the_gauge() {
  local src=$CASE_DIR/src shot=$CASE_LOG/welcome.bmp
  mkdir -p "$src/one" "$src/three"
  make_payload "$src/one/a.txt" a
  make_payload "$src/three/b.txt" b
  make_payload "$src/three/c.txt" c
  make_payload "$src/three/d.txt" d
  cat >"$src/pause.script" <<'SCRIPT'
name "Pause Demo"
outfile pause_setup.exe
installdir "C:\Pause Demo"
prefix pause
language English
pages default
file one
messagebox "Half way" "Pause" 0 0
file three
SCRIPT
  build_demo "$src/pause_setup.exe" "$src/pause.script"
  start_setup "$src/pause_setup.exe"
  wizard_wait " Pause Demo"
  sleep 0.5
  wizard_screenshot " Pause Demo" "$shot"
  read -r r g b <<<"$(pixel "$shot" 40 300)"
  [ "$b" -gt 80 ] && [ "$r" -lt 120 ] || fail "no side picture on the welcome page at (40, 300): $r $g $b"
  wizard_press " Pause Demo" "Next >"  # change log (empty)
  wizard_press " Pause Demo" "Next >"  # install folder
  wizard_press " Pause Demo" "Next >"  # patch
  wizard_press " Pause Demo" "Install"
  windriver wait "Pause" "$E2E_WINDOW_TIMEOUT_MS" >/dev/null || fail "the script's question did not come"
  sleep 0.3
  wizard_controls " Pause Demo"
  local left top width height caption
  read -r left top width height caption <<<"$(printf '%s\n' "$WIZARD_CONTROLS" | awk -F'\t' '$1 == "TGradGauge" { print $5, $6, $7, $8, $9 }')"
  expect_eq "$caption" "25%" "gauge caption with 1 of 4 files"
  shot=$CASE_LOG/gauge.bmp
  wizard_screenshot " Pause Demo" "$shot"
  local fore back border filled
  fore=$(colour_of "$(sed -n 's/^ForeColour=//Ip' "$WIZARD_TOP/layout/default/patching.txt" | tr -d '\r')")
  back=$(colour_of "$(sed -n 's/^BackColour=//Ip' "$WIZARD_TOP/layout/default/patching.txt" | tr -d '\r')")
  border=$(colour_of '$876E5A')
  filled=$(((width - 3) * 25 / 100))
  # Frame: a rectangle from (1, 1) to (W, H); the bar from x = 2 to f + 2; the rest background.
  expect_eq "$(pixel "$shot" $((left + 1)) $((top + height / 2)))" "$border" "left frame"
  expect_eq "$(pixel "$shot" $((left + width - 1)) $((top + height / 2)))" "$border" "right frame"
  expect_eq "$(pixel "$shot" $((left + width / 2)) $((top + 1)))" "$border" "top frame"
  expect_eq "$(pixel "$shot" $((left + 3)) $((top + 3)))" "$fore" "start of the bar"
  expect_eq "$(pixel "$shot" $((left + filled + 1)) $((top + 3)))" "$fore" "end of the bar"
  expect_eq "$(pixel "$shot" $((left + filled + 3)) $((top + 3)))" "$back" "after the bar"
  # The caption is written in the middle: some pixel there is neither bar nor background.
  local x dark=no
  for x in $(seq $((left + width / 2 - 8)) $((left + width / 2 + 8))); do
    case "$(pixel "$shot" "$x" $((top + height / 2)))" in
      "$back" | "$fore") ;;
      *) dark=yes ;;
    esac
  done
  expect_eq "$dark" yes "caption drawn in the middle"
  answer "Pause" OK
  wait_control_text " Pause Demo" Button "Finish"
  wizard_press " Pause Demo" "Finish"
  expect_exit 0
}

# Bad page files never bring the window down: controls outside the window, zero and negative
# sizes, a picture entry that is no picture, a damaged one, a binary rich-text entry and a page of
# a thousand controls.
test_wizard_survives_hostile_layouts() {
  local src=$CASE_DIR/hostile items=()
  mkdir -p "$src"
  python3 - "$src" <<'EOF'
import os, random, sys
out = sys.argv[1]
random.seed(7)
def write(name, text):
    open(os.path.join(out, name), "w", newline="").write(text.replace("\n", "\r\n"))
write("Pages.txt", "[Pages]\nhostile.txt\nmany.txt\nfinish.txt\n[PageTypes]\nWelcome\nWelcome\nFinish\n")
write("hostile.txt",
      "[FarAway]\nType=TLabel\nLeft=5000\nTop=-300\nCaption=far\n"
      "[Negative]\nType=TEdit\nLeft=10\nTop=10\nWidth=-50\nHeight=0\n"
      "[NoPicture]\nType=TImage\nLeft=10\nTop=40\nWidth=100\nHeight=100\nFile=notapicture.png\nTile=true\nStretch=true\n"
      "[HalfPicture]\nType=TImage\nLeft=120\nTop=40\nWidth=100\nHeight=100\nFile=half.bmp\n"
      "[Missing]\nType=TImage\nLeft=230\nTop=40\nWidth=100\nHeight=100\nFile=nosuch.png\n"
      "[Binary]\nType=TRichEdit\nLeft=10\nTop=150\nWidth=300\nHeight=100\nFile=binary.rtf\n"
      "[BadRtf]\nType=TRichEdit\nLeft=320\nTop=150\nWidth=200\nHeight=100\nFile=bad.rtf\n"
      "[Huge]\nType=TLabel\nLeft=10\nTop=260\nFontSize=100000\nFontFace=" + "X" * 300 + "\nCaption=huge\n"
      "[ZeroTile]\nType=TImage\nWidth=0\nHeight=0\nFile=half.bmp\nTile=true\n"
      "[Gauge]\nType=TProgressBar\nLeft=10\nTop=300\nWidth=-5\nHeight=-5\n"
      "[Tree]\nType=TShellTreeView\nLeft=600\nTop=400\nWidth=100000\nHeight=100000\n")
kinds = ["TLabel", "TEdit", "TButton", "TRadio", "TImage", "TBevel", "TPanel", "TMemo", "TProgressBar"]
write("many.txt", "".join("[C%d]\nType=%s\nLeft=%d\nTop=%d\nWidth=40\nHeight=12\nCaption=c%d\n"
                          % (i, kinds[i % len(kinds)], i * 13 % 578, i * 7 % 375, i) for i in range(1000)))
write("finish.txt", "[Done]\nType=TLabel\nCaption=done\n")
open(os.path.join(out, "notapicture.png"), "wb").write(b"plain text, not a picture")
header = b"BM" + (70 + 64 * 64 * 4).to_bytes(4, "little") + bytes(4) + (54).to_bytes(4, "little")
open(os.path.join(out, "half.bmp"), "wb").write(header + (40).to_bytes(4, "little") + (64).to_bytes(4, "little") * 2 + b"\x01\x00\x20\x00" + bytes(24) + bytes(100))
open(os.path.join(out, "binary.rtf"), "wb").write(bytes(random.randrange(256) for _ in range(5000)))
open(os.path.join(out, "bad.rtf"), "wb").write(b"{\\rtf1{{{{{{{{{\\fonttbl" + b"\\x" * 1000 + bytes(range(256)))
EOF
  local f
  for f in "$src"/*; do items+=(--file "$(basename "$f")" 0 "$f"); done
  pack "$CASE_DIR/Demo.exe" --setupinfo "$DEMO_INFO" --lines "${items[@]}"
  start_setup "$CASE_DIR/Demo.exe"
  wizard_wait " Demo"
  wizard_screenshot " Demo" "$CASE_LOG/hostile.png"
  wizard_press " Demo" "NOT FOUND 13"  # no language tables: the captions say so
  wizard_controls " Demo"
  [ "$(printf '%s\n' "$WIZARD_CONTROLS" | awk -F'\t' '$3 == 1' | wc -l)" -gt 500 ] || fail "the page of a thousand controls is not shown"
  wizard_press " Demo" "NOT FOUND 13"  # arriving at a finish page by Next ends the wizard
  expect_exit 0
}

# At 150 % the window grows with the system's scale; at 96 DPI every position is the layout's.
test_wizard_scales_with_the_system_dpi() {
  build_demo "$CASE_DIR/demo_setup.exe"
  start_setup "$CASE_DIR/demo_setup.exe"
  wizard_wait " Demo Game"
  wizard_client_size " Demo Game"
  expect_eq "$WIZARD_CLIENT_SIZE" "578x413" "client size at 96 DPI"
  wizard_controls " Demo Game"
  expect_eq "$(printf '%s\n' "$WIZARD_CONTROLS" | awk -F'\t' '$9 == "Next >" { print $5, $6, $7, $8 }')" "416 384 73 25" "Next at 96 DPI"
  wizard_close " Demo Game"
  answer "Quit" Yes
  expect_exit 0
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >"$CASE_LOG/reg.log" 2>&1 </dev/null
  wineserver -k >/dev/null 2>&1
  start_setup "$CASE_DIR/demo_setup.exe"
  wizard_wait " Demo Game"
  wizard_client_size " Demo Game"
  local size=$WIZARD_CLIENT_SIZE
  wizard_screenshot " Demo Game" "$CASE_LOG/scaled.png"
  wizard_controls " Demo Game"
  local next
  next=$(printf '%s\n' "$WIZARD_CONTROLS" | awk -F'\t' '$9 == "Next >" { print $5, $6, $7, $8 }')
  wizard_close " Demo Game"
  answer "Quit" Yes
  expect_exit 0
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >"$CASE_LOG/reg.log" 2>&1 </dev/null
  wineserver -k >/dev/null 2>&1
  expect_eq "$size" "867x620" "client size at 150 %"
  expect_eq "$next" "624 576 110 38" "Next at 150 %"
}
