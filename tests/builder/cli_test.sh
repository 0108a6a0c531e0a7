#!/usr/bin/env bash
# setupbuild as users run it: exit codes, "SCRIPT:LINE: message" errors and no output on failure.
set -uo pipefail
build=$(realpath "${1:?usage: cli_test.sh SETUPBUILD VERSION}")
version=${2:?usage: cli_test.sh SETUPBUILD VERSION}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p files languages layout/un
echo data >files/a.txt
printf 'MZ' >stub.exe
printf 'x' >notexe.exe
printf '\xff\xfeE\x00\r\x00\n\x000\x004\x000\x009\x00;\x00\r\x00\n\x001\x00 \x00x\x00' >languages/English.wri
failures=0
check() {  # WHAT EXPECTED_STATUS EXPECTED_STDERR_PART ARGS...
  local what=$1 want=$2 part=$3
  shift 3
  "$build" "$@" >out.log 2>err.log
  local got=$?
  if [ "$got" -ne "$want" ] || { [ -n "$part" ] && ! grep -qF -- "$part" err.log; }; then
    echo "FAIL $what: status $got (want $want), stderr: $(cat err.log)"
    failures=$((failures + 1))
  fi
}
printf 'name Demo\noutfile demo.exe\nfile files\n' >good.script
check "good script" 0 "" --stub stub.exe --languages languages --layouts layout -q good.script
[ -f demo.exe ] || { echo "FAIL good script: no demo.exe"; failures=$((failures + 1)); }
[ -s err.log ] && { echo "FAIL -q printed: $(cat err.log)"; failures=$((failures + 1)); }

printf 'name Demo\noutfile bad.exe\nfile files\nlanguage Nope\n' >bad.script
check "missing language" 1 "bad.script:4: language file not found" --stub stub.exe --languages languages -q bad.script
[ -e bad.exe ] && { echo "FAIL bad script left bad.exe"; failures=$((failures + 1)); }
printf 'outfile bad.exe\nfile missing-folder\n' >bad2.script
check "missing source" 1 "bad2.script:2: source not found" --stub stub.exe -q bad2.script
printf 'outfile bad.exe\n' >nostub.script
check "missing stub" 1 "stub not found" --stub nowhere.exe -q nostub.script
check "stub that is no program" 1 "the stub notexe.exe is not a Windows program" --stub notexe.exe -q good.script
: >empty.exe
check "empty stub" 1 "the stub empty.exe is not a Windows program" --stub empty.exe -q good.script
check "-o into a missing folder" 1 "cannot write nowhere/demo.exe: its folder does not exist" --stub stub.exe \
  --languages languages --layouts layout -o nowhere/demo.exe -q good.script
check "unknown option" 2 "unknown option" --frob good.script
check "level 0" 2 "--level takes 1 to 12, not 0" --level 0 good.script
check "level x" 2 "--level takes 1 to 12, not 9x" --level 9x good.script
check "level 12" 0 "" --stub stub.exe --languages languages --layouts layout --level 12 -q good.script
check "version" 0 "" --version
[ "$(cat out.log)" = "setupbuild $version" ] || { echo "FAIL version: $(cat out.log)"; failures=$((failures + 1)); }
check "help" 0 "" --help
check "-o" 0 "" --stub stub.exe -o other.exe -j 2 good.script
[ -f other.exe ] || { echo "FAIL -o: no other.exe"; failures=$((failures + 1)); }

# The uninstaller is named after the prefix; an uninstall layout without the finishing program
# is reported at its line unless -q.
printf 'name Demo\noutfile u.exe\nuninstallpages un\n' >noprefix.script
check "uninstallpages without prefix" 1 "noprefix.script:3: 'uninstallpages' needs a 'prefix'" \
  --stub stub.exe --layouts layout -q noprefix.script
printf 'name Demo\noutfile u.exe\nprefix demo\nuninstallpages un\n' >u.script
check "uninstall layout note" 0 "u.script:4: layout un has no FINALISE.EXE" --stub stub.exe --layouts layout u.script
check "no note under -q" 0 "" --stub stub.exe --layouts layout -q u.script
[ -s err.log ] && { echo "FAIL -q printed: $(cat err.log)"; failures=$((failures + 1)); }

# Signing: the options' checks, then failures that leave no setup: no osslsigncode on the PATH,
# and osslsigncode refusing the stub, which is no executable (its words are shown).
check "timestamp alone" 2 "need --sign-pkcs12" --timestamp http://time.example good.script
check "missing certificate" 2 "cannot read nowhere.p12" --sign-pkcs12 nowhere.p12 good.script
rm -f demo.exe
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=Test" >/dev/null 2>&1 &&
  openssl pkcs12 -export -inkey key.pem -in cert.pem -out cert.p12 -passout pass:pw >/dev/null 2>&1 &&
  echo pw >pass.txt || { echo "FAIL openssl could not make a certificate"; failures=$((failures + 1)); }
mkdir -p nothing
env PATH="$work/nothing" "$build" --stub stub.exe --languages languages --layouts layout -q \
  --sign-pkcs12 cert.p12 good.script >out.log 2>err.log
if [ $? -ne 1 ] || ! grep -qF "osslsigncode was not found" err.log; then
  echo "FAIL no osslsigncode: $(cat err.log)"
  failures=$((failures + 1))
fi
check "signing refused" 1 "signing failed: osslsigncode exit code" --stub stub.exe --languages languages \
  --layouts layout -q --sign-pkcs12 cert.p12 --sign-pass-file pass.txt good.script
leftovers=$(ls | grep '^demo\.exe')
[ -n "$leftovers" ] && { echo "FAIL failed signings left $leftovers"; failures=$((failures + 1)); }
exit $((failures > 0))
