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
