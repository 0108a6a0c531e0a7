# Every language's names: a setup titled in Cyrillic with files and folders named in Greek,
# Japanese and with a character outside the Basic Multilingual Plane, installed from the wizard
# into a folder typed in Cyrillic, on a system whose code page is Western; the same title on a
# system whose code page is Russian; and an install folder longer than the classic path limit.

UNICODE_TOP=$(cd "$E2E_DIR/../.." && pwd)
UNI_TITLE='Уни Game'
UNI_KEY='SOFTWARE\Уни Компания\Уни Game'

# unicode_payload DIR: the files of the setup, each with bytes of its own.
unicode_payload() {
  mkdir -p "$1/Δεδομένα/χάρτες" "$1/日本語"
  printf 'readme\r\n' >"$1/readme.txt"
  printf 'map %s\n' "χάρτης" >"$1/Δεδομένα/χάρτες/χάρτης.dat"
  printf 'save %s\n' "セーブ" >"$1/日本語/セーブ.txt"
  head -c 70000 /dev/urandom >"$1/🎮 save.dat"
  # The shortcut's target: it leaves a mark beside itself when it is opened.
  printf '@echo opened> "%%~dp0opened.txt"\r\n' >"$1/Уни.bat"
}

# unicode_script FILE INSTALLDIR: a UTF-8 script (with a byte-order mark) for the payload beside it.
unicode_script() {
  {
    printf '\xEF\xBB\xBF; Уни Game: every name in another script\n'
    cat <<EOF
name "$UNI_TITLE"
shortname "$UNI_TITLE"
outfile uni_setup.exe
installdir "$2"
prefix uni
language English
uninstalllanguage English
pages default
uninstallpages default-uninstall
file payload
writeregstr HKLM "$UNI_KEY" "Путь" "\$INSTDIR"
writeregstr HKLM "$UNI_KEY" "Ключ" "Значение ✓ 日本 🎮"
createshortcut "\$DESKTOP\\Уни Ярлык.lnk" "\$INSTDIR\\Уни.bat" ""
EOF
  } >"$1"
}

# build_unicode DIR INSTALLDIR: payload, script and setup in DIR; the setup is DIR/uni_setup.exe.
build_unicode() {
  unicode_payload "$1/payload"
  unicode_script "$1/uni.script" "$2"
  "$E2E_BIN/setupbuild" -q --layouts "$UNICODE_TOP/layout" "$1/uni.script" >"$CASE_LOG/setupbuild.log" 2>&1 ||
    fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
}

# reg_export KEY: the key and its values as UTF-8 text (reg export writes UTF-16 and keeps
# every character), or nothing when the key is not there.
reg_export() {
  rm -f "$CASE_LOG/export.reg"
  wine reg export "$1" "$(win_path "$CASE_LOG/export.reg")" /y >"$CASE_LOG/export.out" 2>&1 </dev/null || return 0
  iconv -f UTF-16 -t UTF-8 "$CASE_LOG/export.reg" | tr -d '\r'
}

# win_path UNIX_PATH: the Windows name of a Unix path (through the Z: drive).
win_path() { printf 'Z:%s' "${1//\//\\}"; }

# The files of the payload with their digests, to compare with what was installed.
payload_digest() {
  (cd "$1" && find . -type f ! -name '*install.log' ! -name '*Uninstall.exe' ! -name opened.txt -print0 | sort -z |
    xargs -0 sha256sum)
}

# link_holds LINK TEXT: the shell link holds TEXT in UTF-16.
link_holds() {
  python3 -c 'import sys; sys.exit(sys.argv[2].encode("utf-16-le") not in open(sys.argv[1], "rb").read())' "$1" "$2"
}

# open_link LINK MARK: opens the shell link as the desktop does and waits for MARK to appear.
open_link() {
  local name=${1#"$WINEPREFIX/drive_c/"}
  wine start /wait "C:\\${name//\//\\}" >"$CASE_LOG/start.log" 2>&1 </dev/null
  local i
  for i in $(seq 1 50); do
    [ -f "$2" ] && return 0
    sleep 0.2
  done
  fail "the shortcut did not open its target: $(cat "$CASE_LOG/start.log")"
}

desktop_link() {
  find -L "$WINEPREFIX/drive_c/users" -maxdepth 4 -name "$1" 2>/dev/null | head -n 1
}

test_unicode_names_install_from_the_wizard_and_uninstall() {
  build_unicode "$CASE_DIR" '$PROGRAMFILES\Уни Game'
  local setup=$CASE_DIR/uni_setup.exe caption=" $UNI_TITLE" typed
  start_setup "$setup"
  wizard_wait "$caption"
  wizard_press "$caption" "Next >"
  wizard_press "$caption" "Next >"
  expect_control_text "$caption" Edit 'C:\Program Files\Уни Game'
  wizard_set_text "$caption" Edit 'C:\Игры\Уни Game'
  wizard_press "$caption" "Next >"
  wizard_press "$caption" "Install"
  wait_control_text "$caption" Button "Finish"
  wizard_press "$caption" "Finish"
  expect_exit 0

  typed=$(unix_path 'C:\Игры\Уни Game')
  [ -d "$typed" ] || fail "nothing in the typed folder: $(ls "$(unix_path 'C:\')")"
  payload_digest "$CASE_DIR/payload" >"$CASE_LOG/payload.sums"
  payload_digest "$typed" >"$CASE_LOG/installed.sums"
  diff "$CASE_LOG/payload.sums" "$CASE_LOG/installed.sums" >"$CASE_LOG/sums.diff" ||
    fail "installed files differ from the payload: $(cat "$CASE_LOG/sums.diff")"
  expect_file "$typed/uni_install.log"
  expect_file "$typed/uni_Uninstall.exe"

  local values
  values=$(reg_export "HKLM\\$UNI_KEY")
  # The install folder page ends the folder with a backslash; reg export doubles each one.
  grep -qF '"Путь"="C:\\Игры\\Уни Game\\"' <<<"$values" || fail "the path value: $values"
  grep -qF '"Ключ"="Значение ✓ 日本 🎮"' <<<"$values" || fail "the Unicode value: $values"
  local registration
  registration=$(reg_export "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$UNI_TITLE")
  grep -qF "\"DisplayName\"=\"$UNI_TITLE\"" <<<"$registration" || fail "the registration: $registration"

  local link
  link=$(desktop_link 'Уни Ярлык.lnk')
  [ -n "$link" ] || fail "no desktop shortcut"
  # Wine opens a link through its ANSI part, which a Western code page cannot give these names
  # (Windows reads the item list); the link holds them in UTF-16 there and in its working
  # folder. The Russian case below, whose code page has the letters, opens one.
  link_holds "$link" 'Уни.bat' || fail "the shortcut does not name its target in UTF-16"
  link_holds "$link" 'C:\Игры\Уни Game' || fail "the shortcut does not name its working folder"

  start_setup "$typed/uni_Uninstall.exe" -silent
  answer "Information" OK
  expect_exit 0
  wait_gone "$typed"
  [ -e "$link" ] && fail "the shortcut is still there"
  # The uninstaller removes the values it wrote (their emptied key stays, as ever).
  grep -qF '"Ключ"' <<<"$(reg_export "HKLM\\$UNI_KEY")" && fail "the values are still there"
  grep -qF 'DisplayName' <<<"$(reg_export "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$UNI_TITLE")" &&
    fail "still in the list of installed programs"
  return 0
}

# The title is stored as UTF-8, so a system with another code page shows it as written: the
# Cyrillic title, and a Western one built from a Windows-1252 script ("Café", which a Russian
# system used to show as "Cafй").
test_unicode_title_reads_the_same_with_a_russian_code_page() {
  build_unicode "$CASE_DIR" '$PROGRAMFILES\Уни Game'
  mkdir -p "$CASE_DIR/cafe"
  printf 'name "Caf\xe9 Game"\nshortname "Caf\xe9 Game"\noutfile cafe_setup.exe\ninstalldir "C:\\Caf\xe9"\nlanguage English\npages default\n' \
    >"$CASE_DIR/cafe/cafe.script"
  "$E2E_BIN/setupbuild" -q --layouts "$UNICODE_TOP/layout" "$CASE_DIR/cafe/cafe.script" >"$CASE_LOG/setupbuild.log" 2>&1 ||
    fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  # The code page is the locale's that the prefix's Wine server starts in.
  wineserver -k
  wineserver -w
  { export LC_ALL=ru_RU.UTF-8; } 2>/dev/null
  # The console speaks Russian (in the OEM code page that goes with the Russian ANSI one).
  wine cmd /c chcp 2>&1 </dev/null | iconv -f CP866 -t UTF-8 >"$CASE_LOG/chcp.txt"
  grep -q "страница" "$CASE_LOG/chcp.txt" || fail "not a Russian system: $(cat "$CASE_LOG/chcp.txt")"
  local caption=" $UNI_TITLE"
  start_setup "$CASE_DIR/uni_setup.exe"
  wizard_wait "$caption"
  wizard_screenshot "$caption" "$CASE_LOG/russian-code-page.png"
  wizard_close "$caption"
  # The system's own buttons speak Russian now.
  answer "Quit" "Да"
  expect_exit 0
  # A Russian code page has the letters of the shortcut's target: Wine opens it.
  start_setup "$CASE_DIR/uni_setup.exe" -silent
  answer "Information" "ОК"
  expect_exit 0
  local installed link
  installed=$(unix_path 'C:\Program Files\Уни Game')
  link=$(desktop_link 'Уни Ярлык.lnk')
  [ -n "$link" ] || fail "no desktop shortcut"
  open_link "$link" "$installed/opened.txt"
  rm -f "$installed/opened.txt"
  start_setup "$installed/uni_Uninstall.exe" -silent
  answer "Information" "ОК"
  expect_exit 0
  start_setup "$CASE_DIR/cafe/cafe_setup.exe"
  wizard_wait " Café Game"
  wizard_screenshot " Café Game" "$CASE_LOG/russian-code-page-cafe.png"
  wizard_close " Café Game"
  answer "Quit" "Да"
  expect_exit 0
  wineserver -k
  wineserver -w
  { unset LC_ALL; } 2>/dev/null
}

# A folder path of more than 260 characters (a deep user folder and long mod names).
test_unicode_long_install_folder_installs_and_uninstalls() {
  local deep='C:\e2e\long' part i
  for i in 1 2 3 4 5 6; do
    deep="$deep\\Ein sehr langer Ordnername für Mods Nummer $i"
  done
  [ ${#deep} -gt 260 ] || fail "the folder is only ${#deep} characters"
  build_unicode "$CASE_DIR" "$deep"
  start_setup "$CASE_DIR/uni_setup.exe" -silent
  answer "Information" OK
  expect_exit 0
  part=$(unix_path "$deep")
  payload_digest "$CASE_DIR/payload" >"$CASE_LOG/payload.sums"
  payload_digest "$part" >"$CASE_LOG/installed.sums"
  diff "$CASE_LOG/payload.sums" "$CASE_LOG/installed.sums" >"$CASE_LOG/sums.diff" ||
    fail "installed files differ from the payload: $(cat "$CASE_LOG/sums.diff")"
  start_setup "$part/uni_Uninstall.exe" -silent
  answer "Information" OK
  expect_exit 0
  wait_gone "$part"
  return 0
}
