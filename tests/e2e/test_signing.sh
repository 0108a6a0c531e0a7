# Signed setups: setupbuild signs with a throw-away certificate that the case makes with
# openssl; the signature checks out, and the setup starts, verifies, installs and builds an
# unsigned uninstaller that removes the install again. (Failed signings: tests/builder/cli_test.sh.)

# make_certificate DIR: DIR/cert.pem, DIR/cert.p12 (the key and certificate, password in
# DIR/pass.txt).
make_certificate() {
  command -v openssl >/dev/null && command -v osslsigncode >/dev/null ||
    fail "openssl and osslsigncode are needed (make bootstrap installs them)"
  printf 'throw-away\n' >"$1/pass.txt"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1/key.pem" -out "$1/cert.pem" -days 2 \
    -subj "/CN=Setup Test Signer" >"$CASE_LOG/openssl.log" 2>&1 &&
    openssl pkcs12 -export -inkey "$1/key.pem" -in "$1/cert.pem" -out "$1/cert.p12" \
      -passout "file:$1/pass.txt" >>"$CASE_LOG/openssl.log" 2>&1 ||
    fail "openssl could not make the certificate: $(cat "$CASE_LOG/openssl.log")"
}

# security_directory FILE: the position and size the PE header's security directory names.
security_directory() {
  python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read(4096)
pe = struct.unpack_from("<I", data, 0x3C)[0]
optional = pe + 24
entry = optional + (128 if struct.unpack_from("<H", data, optional)[0] == 0x10B else 144)
print("%d %d" % struct.unpack_from("<II", data, entry))
EOF
}

test_signed_setup_installs_and_makes_an_unsigned_uninstaller() {
  local src=$CASE_DIR/src install
  mkdir -p "$src/files"
  make_payload "$src/files/readme.txt" signed
  make_certificate "$CASE_LOG"
  cat >"$src/signed.script" <<'SCRIPT'
name "Signed Demo"
shortname "Signed Demo"
outfile signed_setup.exe
installdir "C:\Signed Demo"
prefix signed
language English
uninstalllanguage English
pages default
uninstallpages default-uninstall
file files
SCRIPT
  "$E2E_BIN/setupbuild" -q --sign-pkcs12 "$CASE_LOG/cert.p12" --sign-pass-file "$CASE_LOG/pass.txt" \
    "$src/signed.script" >"$CASE_LOG/setupbuild.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  [ -x "$src/signed_setup.exe" ] || fail "no executable signed_setup.exe"
  osslsigncode verify -in "$src/signed_setup.exe" -CAfile "$CASE_LOG/cert.pem" >"$CASE_LOG/verify.log" 2>&1 ||
    fail "osslsigncode verify: $(cat "$CASE_LOG/verify.log")"
  "$E2E_BIN/paktool" list "$src/signed_setup.exe" >"$CASE_LOG/list.log" 2>&1 || fail "paktool list: $(cat "$CASE_LOG/list.log")"
  grep -q 'readme.txt' "$CASE_LOG/list.log" || fail "paktool list shows no readme.txt: $(cat "$CASE_LOG/list.log")"

  start_setup "$src/signed_setup.exe" -silent
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0
  install=$(unix_path 'C:\Signed Demo')
  cmp -s "$src/files/readme.txt" "$install/readme.txt" || fail "readme.txt was not installed"
  expect_file "$install/signed_Uninstall.exe"
  expect_eq "$(security_directory "$install/signed_Uninstall.exe")" "0 0" "the uninstaller's security directory"
  "$E2E_BIN/paktool" verify "$install/signed_Uninstall.exe" >"$CASE_LOG/uninstaller.log" 2>&1 ||
    fail "paktool verify of the uninstaller: $(cat "$CASE_LOG/uninstaller.log")"

  start_setup "$install/signed_Uninstall.exe" -silent
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "uninstall message"
  expect_exit 0
  [ -e "$install/readme.txt" ] && fail "readme.txt is still there"
  return 0
}

test_signed_setup_with_data_files_refuses_a_swapped_data_file() {
  local src=$CASE_DIR/src other=$CASE_DIR/other install
  mkdir -p "$src/files" "$other/files"
  python3 - "$src/files" "$other/files" <<'EOF2'
import random, sys
for folder, seed in zip(sys.argv[1:], (1, 2)):
    r = random.Random(seed)
    for i in range(4):
        open(f"{folder}/part{i}.dat", "wb").write(bytes(r.getrandbits(8) for _ in range(150000)))
EOF2
  make_certificate "$CASE_LOG"
  local script
  for script in "$src" "$other"; do
    cat >"$script/sliced.script" <<'SCRIPT'
name "Sliced Demo"
shortname "Sliced Demo"
outfile sliced_setup.exe
installdir "C:\Sliced Demo"
language English
pages default
file files
SCRIPT
    "$E2E_BIN/setupbuild" -q --slice-size 256K --sign-pkcs12 "$CASE_LOG/cert.p12" --sign-pass-file "$CASE_LOG/pass.txt" \
      "$script/sliced.script" >"$CASE_LOG/setupbuild.log" 2>&1 || fail "setupbuild failed: $(cat "$CASE_LOG/setupbuild.log")"
  done
  expect_file "$src/sliced_setup-3.bin"
  osslsigncode verify -in "$src/sliced_setup.exe" -CAfile "$CASE_LOG/cert.pem" >"$CASE_LOG/verify.log" 2>&1 ||
    fail "osslsigncode verify: $(cat "$CASE_LOG/verify.log")"
  "$E2E_BIN/paktool" verify "$src/sliced_setup.exe" >"$CASE_LOG/paktool.log" 2>&1 ||
    fail "paktool verify: $(cat "$CASE_LOG/paktool.log")"

  # Another build's data file of the same length in place of the second: refused, named.
  cp "$src/sliced_setup-2.bin" "$CASE_LOG/kept.bin"
  cp "$other/sliced_setup-2.bin" "$src/sliced_setup-2.bin"
  start_setup "$src/sliced_setup.exe" -silent
  answer "Verification Error" OK
  case "$MESSAGE" in
    "Error: Verification Failed. Setup is corrupt."*"Data file: sliced_setup-2.bin"*) ;;
    *) fail "unexpected box: $MESSAGE" ;;
  esac
  expect_exit 1
  install=$(unix_path 'C:\Sliced Demo')
  [ -e "$install" ] && fail "a refused setup installed something"

  cp "$CASE_LOG/kept.bin" "$src/sliced_setup-2.bin"
  start_setup "$src/sliced_setup.exe" -silent
  answer "Information" OK
  expect_eq "$MESSAGE" "Compleated" "message"
  expect_exit 0
  local i
  for i in 0 1 2 3; do
    cmp -s "$src/files/part$i.dat" "$install/part$i.dat" || fail "part$i.dat was not installed whole"
  done
  return 0
}
