# Setups whose payload lies in data files beside the setup (setupbuild --slice-size): installed
# silently and through the wizard and removed by their uninstallers; missing, cut, lengthened and
# changed data files refused at start-up; a copy-marked set found again; an install of 70,000
# files and its removal; and the free space shown by a layout without the install-folder page.

DF_STEM=SliceDemo_setup

# df_make_tree DIR: the payload in DIR/files: texts, two incompressible files (1.5 MB and
# 1.1 MB, so each runs through several data files of 256 KiB), a copy of each (stored once), an
# empty file and names with blanks. The same bytes on every run.
df_make_tree() {
  python3 - "$1/files" <<'EOF' || fail "cannot write the payload"
import os, random, sys
root = sys.argv[1]
random.seed(20261208)
def write(path, data):
    path = os.path.join(root, path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "wb").write(data)
def text(tag, lines):
    return "".join("%s line %d of the text\r\n" % (tag, i) for i in range(lines)).encode()
noise1 = random.randbytes(1500000)
write("readme.txt", text("readme", 300))
write("docs/manual.txt", text("manual", 2000))
write("docs/My Notes/notes.txt", text("notes", 50))
write("data/noise1.bin", noise1)
write("data/noise2.bin", random.randbytes(1100000))
write("data/copies/noise1 copy.bin", noise1)
write("docs/readme copy.txt", text("readme", 300))
write("data/empty.dat", b"")
EOF
}

# df_build_setup DIR INSTALLDIR: the payload and a script in DIR, built with data files of
# 256 KiB into DIR/SliceDemo_setup.exe and DIR/SliceDemo_setup-N.bin; the setup installs into
# INSTALLDIR and leaves slice_install.log and the uninstaller slice_Uninstall.exe there.
df_build_setup() {
  df_make_tree "$1"
  cat >"$1/slice.script" <<SCRIPT
name "Slice Demo"
shortname "Slice Demo"
outfile $DF_STEM.exe
installdir "$2"
prefix slice
language English
uninstalllanguage English
pages default
uninstallpages default-uninstall
file files
SCRIPT
  "$E2E_BIN/setupbuild" --slice-size 256K "$1/slice.script" >"$CASE_LOG/setupbuild.log" 2>&1 ||
    fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
}

# df_data_files DIR: how many data files the setup in DIR has (numbered from 1 without a gap).
df_data_files() {
  local n=0
  while [ -f "$1/$DF_STEM-$((n + 1)).bin" ]; do n=$((n + 1)); done
  echo "$n"
}

# df_sums DIR: each file's relative path and digest, without the install log and uninstaller.
df_sums() {
  (cd "$1" && find . -type f ! -name '*_install.log' ! -name '*_Uninstall.exe' -print0 | sort -z | xargs -0 -r sha256sum)
}

# df_expect_installed SOURCE INSTALL: INSTALL holds SOURCE's files with the same bytes, and the
# install log and the uninstaller.
df_expect_installed() {
  [ -d "$2" ] || fail "nothing installed in $2"
  df_sums "$1" >"$CASE_LOG/source.sums"
  df_sums "$2" >"$CASE_LOG/installed.sums"
  diff "$CASE_LOG/source.sums" "$CASE_LOG/installed.sums" >"$CASE_LOG/sums.diff" ||
    fail "the installed files differ from the source: $(head -n 20 "$CASE_LOG/sums.diff")"
  expect_file "$2/slice_install.log"
  expect_file "$2/slice_Uninstall.exe"
}

# df_answer CAPTION BUTTON: what answer does, for a box that may come late: waits for the window
# while setup.exe runs (a setup that ends without showing it fails the case at once, with its
# exit code and output), then presses BUTTON, trying again while the box is listed but its
# buttons are not shown yet. The box's text is left in MESSAGE (CR as \r).
df_answer() {
  local deadline=$((SECONDS + E2E_WINDOW_TIMEOUT_MS / 1000))
  note "answer \"$1\" with $2"
  until windriver list && cut -f3 "$DRIVER_OUT" | grep -qxF -- "$1"; do
    if ! kill -0 "$SETUP_PID" 2>/dev/null; then
      wait_setup
      fail "setup.exe ended (exit code $SETUP_EXIT) without showing \"$1\": $(cat "$CASE_LOG/setup.$SETUP_RUNS.log")"
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      save_window_list "unanswered"
      fail "no window \"$1\" within $((E2E_WINDOW_TIMEOUT_MS / 1000)) s"
    fi
    sleep 0.5
  done
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    if windriver answer "$1" "$2" 5000; then
      MESSAGE=$(sed -n 's/^Static\t65535\t//p' "$DRIVER_OUT")
      note "message: $MESSAGE"
      return 0
    fi
    sleep 0.3
  done
  save_window_list "unanswered"
  fail "cannot press \"$2\" in \"$1\": $(cat "$CASE_LOG/windriver.$DRIVER_RUNS.err")"
}

# df_wait_gone PATH: the finishing program removes the ended uninstaller and the emptied folder
# within a few seconds.
df_wait_gone() {
  for _ in $(seq 1 100); do
    [ -e "$1" ] || return 0
    sleep 0.2
  done
  fail "left behind in $1: $(cd "$1" && find . | head -n 20)"
}

# df_uninstall_silently INSTALL: runs INSTALL's uninstaller with -silent; the folder goes.
df_uninstall_silently() {
  start_setup "$1/slice_Uninstall.exe" -silent
  df_answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "uninstall message"
  expect_exit 0
  df_wait_gone "$1"
}

test_data_files_install_silently_and_uninstall() {
  local install
  install=$(unix_path 'C:\Program Files\Slice Silent')
  df_build_setup "$CASE_DIR" '$PROGRAMFILES\Slice Silent'
  local count
  count=$(df_data_files "$CASE_DIR")
  [ "$count" -ge 4 ] || fail "only $count data files: $(ls "$CASE_DIR")"
  local n size sum=0
  for n in $(seq 1 "$count"); do
    size=$(stat -c %s "$CASE_DIR/$DF_STEM-$n.bin")
    [ "$size" -le 262144 ] || fail "$DF_STEM-$n.bin has $size bytes, more than the 256 KiB asked for"
    [ "$n" -eq "$count" ] || expect_eq "$size" 262144 "size of the full data file $n"
    sum=$((sum + size))
  done
  # The payload stays out of the setup, and the copies of the incompressible files are stored
  # once: 2.6 MB of noise in the data files, not 4.1 MB.
  size=$(stat -c %s "$CASE_DIR/$DF_STEM.exe")
  [ "$size" -lt 1000000 ] || fail "the setup holds $size bytes: the payload did not leave it"
  [ "$sum" -ge 2600000 ] && [ "$sum" -lt 2800000 ] || fail "the data files hold $sum bytes, not the payload once"
  "$E2E_BIN/paktool" verify "$CASE_DIR/$DF_STEM.exe" >"$CASE_LOG/verify.log" 2>&1 ||
    fail "paktool verify: $(cat "$CASE_LOG/verify.log")"

  start_setup "$CASE_DIR/$DF_STEM.exe" -silent
  df_answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "install message"
  expect_exit 0
  df_expect_installed "$CASE_DIR/files" "$install"
  [ -f "$install/data/empty.dat" ] && [ ! -s "$install/data/empty.dat" ] || fail "the empty file is not there empty"
  df_uninstall_silently "$install"
}

test_data_files_install_and_uninstall_through_the_wizard() {
  local install
  install=$(unix_path 'C:\Program Files\Slice Wizard')
  df_build_setup "$CASE_DIR" '$PROGRAMFILES\Slice Wizard'
  start_setup "$CASE_DIR/$DF_STEM.exe"
  wizard_wait " Slice Demo"
  wizard_press " Slice Demo" "Next >"  # change log
  wizard_press " Slice Demo" "Next >"  # install folder
  expect_control_text " Slice Demo" Edit 'C:\Program Files\Slice Wizard'
  wizard_press " Slice Demo" "Next >"  # ready to install
  expect_button_enabled " Slice Demo" "Install" yes
  wizard_press " Slice Demo" "Install"
  wait_control_text " Slice Demo" Button "Finish"
  wizard_press " Slice Demo" "Finish"
  expect_exit 0
  df_expect_installed "$CASE_DIR/files" "$install"

  start_setup "$install/slice_Uninstall.exe"
  wizard_wait " Slice Demo Uninstall"
  wizard_press " Slice Demo Uninstall" "Next >"
  wait_control_text " Slice Demo Uninstall" Button "Finish"
  wizard_press " Slice Demo Uninstall" "Finish"
  expect_exit 0
  df_wait_gone "$install"
}

# df_expect_refused SETUP TEXT INSTALL: started with the wizard and with -silent, the setup
# shows TEXT (CR as \r) in a "Verification Error" box and installs nothing; -silent ends with
# exit code 1.
df_expect_refused() {
  start_setup "$1"
  df_answer "Verification Error" OK
  expect_eq "$MESSAGE" "$2" "message"
  wait_setup
  [ -e "$3" ] && fail "the refused setup installed into $3"
  start_setup "$1" -silent
  df_answer "Verification Error" OK
  expect_eq "$MESSAGE" "$2" "message with -silent"
  expect_exit 1
  [ -e "$3" ] && fail "the refused silent setup installed into $3"
  return 0
}

# df_flip_middle SETUP NUMBER: inverts the middle byte of data file NUMBER and sets EXPECTED to
# the box the setup must show: every entry stored at the place the byte lies in, and the data
# files those bytes run through. Reads the package's directory here, independently of the program.
df_flip_middle() {
  python3 - "$1" "$2" >"$CASE_LOG/expected.txt" <<'EOF' || fail "cannot damage data file $2"
import os, struct, sys
setup, wanted = sys.argv[1], int(sys.argv[2])
data = open(setup, "rb").read()
datastart, diroffset, count, files, table, magic, version = struct.unpack_from("<QQIIQ4sH", data, len(data) - 48)
assert magic == b"KZPF" and version == 2, (magic, version)
(stem_length,) = struct.unpack_from("<H", data, table)
stem = data[table + 2:table + 2 + stem_length].decode()
sizes = [struct.unpack_from("<Q", data, table + 2 + stem_length + 40 * i)[0] for i in range(files)]
starts = [sum(sizes[:i]) for i in range(files)]  # where each data file begins in their run
entries, at = [], diroffset
for index in range(count):
    (length,) = struct.unpack_from("<H", data, at)
    name = data[at + 2:at + 2 + length].decode("latin-1")
    at += 2 + length
    crc, offset, packed, size, group, datafile = struct.unpack_from("<IQQQHH", data, at)
    at += 32
    entries.append((index, name, datafile, offset, packed if packed else size))
path = os.path.join(os.path.dirname(setup), "%s-%d.bin" % (stem, wanted))
body = bytearray(open(path, "rb").read())
assert len(body) == sizes[wanted - 1]
middle = len(body) // 2
body[middle] ^= 0xFF
open(path, "wb").write(body)
spot = starts[wanted - 1] + middle
hit = [e for e in entries if e[2] and e[4] and starts[e[2] - 1] + e[3] <= spot < starts[e[2] - 1] + e[3] + e[4]]
assert hit, "no entry holds the byte"
place = hit[0][2:]
text = "Error: Verification Failed. Setup is corrupt."
for index, name, *_ in entries:
    if tuple(_) == place:
        text += "\\rID: %d Filename: %s" % (index, name)
first, last = starts[place[0] - 1] + place[1], starts[place[0] - 1] + place[1] + place[2] - 1
for n in range(1, files + 1):
    if starts[n - 1] <= last and first < starts[n - 1] + sizes[n - 1]:
        text += "\\rData file: %s-%d.bin" % (stem, n)
print(text)
EOF
  EXPECTED=$(cat "$CASE_LOG/expected.txt")
}

test_data_files_missing_cut_or_changed_stop_the_setup() {
  local install pristine=$CASE_LOG/pristine count n
  install=$(unix_path 'C:\Program Files\Slice Damaged')
  df_build_setup "$CASE_DIR" '$PROGRAMFILES\Slice Damaged'
  count=$(df_data_files "$CASE_DIR")
  mkdir -p "$pristine"
  cp "$CASE_DIR"/*.bin "$pristine/"

  note "the last data file deleted"
  rm "$CASE_DIR/$DF_STEM-$count.bin"
  df_expect_refused "$CASE_DIR/$DF_STEM.exe" \
    "Error: Data File Missing. Setup is incomplete.\\rFilename: $DF_STEM-$count.bin" "$install"
  cp "$pristine"/*.bin "$CASE_DIR/"

  note "data file 2 cut to half its length"
  truncate -s $((262144 / 2)) "$CASE_DIR/$DF_STEM-2.bin"
  df_expect_refused "$CASE_DIR/$DF_STEM.exe" \
    "Error: Data File Incomplete. Setup is corrupt.\\rFilename: $DF_STEM-2.bin" "$install"
  cp "$pristine"/*.bin "$CASE_DIR/"

  note "data file 1 one byte longer"
  printf 'x' >>"$CASE_DIR/$DF_STEM-1.bin"
  df_expect_refused "$CASE_DIR/$DF_STEM.exe" \
    "Error: Data File Incomplete. Setup is corrupt.\\rFilename: $DF_STEM-1.bin" "$install"
  cp "$pristine"/*.bin "$CASE_DIR/"

  note "one byte changed in the middle of data file 2"
  df_flip_middle "$CASE_DIR/$DF_STEM.exe" 2
  note "expected: $EXPECTED"
  "$E2E_BIN/paktool" verify "$CASE_DIR/$DF_STEM.exe" >"$CASE_LOG/verify.log" 2>&1 &&
    fail "paktool verify passes the changed data file"
  df_expect_refused "$CASE_DIR/$DF_STEM.exe" "$EXPECTED" "$install"
  cp "$pristine"/*.bin "$CASE_DIR/"

  for n in $(seq 1 "$count"); do
    cmp -s "$pristine/$DF_STEM-$n.bin" "$CASE_DIR/$DF_STEM-$n.bin" || fail "data file $n not restored"
  done
  "$E2E_BIN/paktool" verify "$CASE_DIR/$DF_STEM.exe" >"$CASE_LOG/verify.log" 2>&1 ||
    fail "paktool verify of the restored set: $(cat "$CASE_LOG/verify.log")"
}

# A browser keeps a second download of the set as "NAME (1).exe" and "NAME-N (1).bin"; a user
# may name the data files after the renamed setup instead ("NAME (1)-N.bin"). Either set installs.
test_data_files_with_copy_marks_are_found() {
  local install count n marked="$DF_STEM (1)"
  install=$(unix_path 'C:\Program Files\Slice Renamed')
  df_build_setup "$CASE_DIR" '$PROGRAMFILES\Slice Renamed'
  count=$(df_data_files "$CASE_DIR")
  mkdir -p "$CASE_DIR/set"
  mv "$CASE_DIR/$DF_STEM.exe" "$CASE_DIR/set/$marked.exe"
  for n in $(seq 1 "$count"); do
    mv "$CASE_DIR/$DF_STEM-$n.bin" "$CASE_DIR/set/$DF_STEM-$n (1).bin"
  done
  start_setup "$CASE_DIR/set/$marked.exe" -silent
  df_answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "install message (copy mark after the number)"
  expect_exit 0
  df_expect_installed "$CASE_DIR/files" "$install"
  df_uninstall_silently "$install"

  for n in $(seq 1 "$count"); do
    mv "$CASE_DIR/set/$DF_STEM-$n (1).bin" "$CASE_DIR/set/$marked-$n.bin"
  done
  start_setup "$CASE_DIR/set/$marked.exe" -silent
  df_answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "install message (the setup's own name)"
  expect_exit 0
  df_expect_installed "$CASE_DIR/files" "$install"
  df_uninstall_silently "$install"
}

# An install log of more than 65,535 files: 70,000 files of a few bytes in 350 folders are
# installed, counted, and all removed again by the uninstaller, folders included.
test_data_files_seventy_thousand_files_install_and_uninstall() {
  local src=$CASE_DIR/src install started
  # Each step may take minutes under Wine; the limits are for a hung program, not a slow one.
  E2E_PROCESS_TIMEOUT_S=900
  E2E_WINDOW_TIMEOUT_MS=900000
  install=$(unix_path 'C:\Program Files\Many Files')
  python3 - "$src/files" <<'EOF' || fail "cannot write the files"
import os, sys
root = sys.argv[1]
for folder in range(350):
    path = os.path.join(root, "folder%03d" % folder)
    os.makedirs(path)
    for n in range(200):
        with open(os.path.join(path, "f%03d.txt" % n), "w") as f:
            f.write("%d.%d\n" % (folder, n))
EOF
  cat >"$src/many.script" <<'SCRIPT'
name "Many Files"
outfile many_setup.exe
installdir "$PROGRAMFILES\Many Files"
prefix many
language English
uninstalllanguage English
pages default
uninstallpages default-uninstall
file files
SCRIPT
  started=$SECONDS
  "$E2E_BIN/setupbuild" -j 2 "$src/many.script" >"$CASE_LOG/setupbuild.log" 2>&1 ||
    fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  note "build: $((SECONDS - started)) s"

  started=$SECONDS
  start_setup "$src/many_setup.exe" -silent
  df_answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "install message"
  expect_exit 0
  note "install of 70,000 files: $((SECONDS - started)) s"
  expect_eq "$(find "$install" -type f -name 'f*.txt' | wc -l)" 70000 "files installed"
  expect_eq "$(find "$install" -mindepth 1 -type d | wc -l)" 350 "folders installed"
  df_sums "$src/files" >"$CASE_LOG/source.sums"
  df_sums "$install" >"$CASE_LOG/installed.sums"
  cmp -s "$CASE_LOG/source.sums" "$CASE_LOG/installed.sums" || fail "the installed files differ from the source"
  expect_file "$install/many_install.log"
  note "install log: $(stat -c %s "$install/many_install.log") bytes, starting $(head -c 8 "$install/many_install.log" | od -An -tx1)"

  started=$SECONDS
  start_setup "$install/many_Uninstall.exe" -silent
  df_answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "uninstall message"
  expect_exit 0
  note "uninstall of 70,000 files: $((SECONDS - started)) s"
  if [ -e "$install" ]; then
    expect_eq "$(find "$install" -name 'f*.txt' | wc -l)" 0 "files left after the uninstall"
    expect_eq "$(find "$install" -mindepth 1 -type d | wc -l)" 0 "folders left after the uninstall"
  fi
  df_wait_gone "$install"
}

# A layout without the install-folder page: the ready page measures the free space of the
# script's install folder with its variables expanded, shows it and lets Install go.
test_data_files_space_available_without_the_install_folder_page() {
  local layouts=$CASE_DIR/layouts src=$CASE_DIR/src install space
  install=$(unix_path 'C:\Program Files\Something')
  mkdir -p "$layouts" "$src/files"
  cp -r "$E2E_BIN/layout/default" "$layouts/nofolder"
  python3 - "$layouts/nofolder/Pages.txt" <<'EOF' || fail "cannot edit Pages.txt"
import sys
path = sys.argv[1]
lines = open(path, newline="").read().splitlines()
pages = lines.index("[Pages]")
types = lines.index("[PageTypes]")
position = lines.index("installdir.txt") - pages
assert lines[types + position] == "InstallDir", lines[types + position]
del lines[types + position]
del lines[pages + position]
open(path, "w", newline="").write("\r\n".join(lines) + "\r\n")
EOF
  grep -qi installdir "$layouts/nofolder/Pages.txt" && fail "the install-folder page is still listed"
  make_payload "$src/files/readme.txt" readme
  cat >"$src/something.script" <<'SCRIPT'
name "Something"
outfile something_setup.exe
installdir "$PROGRAMFILES\Something"
prefix something
language English
pages nofolder
file files
SCRIPT
  "$E2E_BIN/setupbuild" -q --layouts "$layouts" "$src/something.script" >"$CASE_LOG/setupbuild.log" 2>&1 ||
    fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  start_setup "$src/something_setup.exe"
  wizard_wait " Something"
  wizard_press " Something" "Next >"  # change log
  wizard_press " Something" "Next >"  # ready to install
  wizard_controls " Something"
  space=$(printf '%s\n' "$WIZARD_CONTROLS" | awk -F'\t' '$1 == "SetupLabel" && $3 == 1 && index($9, "Space available:") == 1 { print $9; exit }')
  note "free space line: [$space]"
  wizard_screenshot " Something" "$CASE_LOG/space.png"
  case "$space" in
    "Space available: "[0-9]*.[0-9][0-9]" "[KMG]B) ;;
    *) fail "the free-space line reads [$space]" ;;
  esac
  expect_button_enabled " Something" "Install" yes
  wizard_press " Something" "Install"
  wait_control_text " Something" Button "Finish"
  wizard_press " Something" "Finish"
  expect_exit 0
  cmp -s "$src/files/readme.txt" "$install/readme.txt" || fail "readme.txt not installed in $install"
  rm -rf "$install"
}
