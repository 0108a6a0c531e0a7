#!/usr/bin/env bash
# A patch setup as users build it: setupbuild compares two versions of a game, says what each way
# of storing saved, writes the same bytes for any -j and leaves no temporary differences behind
# (after a failed build neither); paktool lists which entries are differences and against what;
# bad folders are errors at their script line.
set -uo pipefail
build=$(realpath "${1:?usage: patch_test.sh SETUPBUILD PAKTOOL}")
paktool=$(realpath "${2:?usage: patch_test.sh SETUPBUILD PAKTOOL}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# Version 1 and 2: an unchanged file, a data file with a few bytes changed (a difference),
# noise replaced by other noise (whole), a new file, a removed one, a renamed letter case.
mkdir -p v1/data v2/Data languages layout
python3 - <<'PY'
import random
r = random.Random(3)
lines = "".join(f"record {i} holds {(i * 7919) % 100003}\r\n" for i in range(40000)).encode()
changed = bytearray(lines)
for at in (100, 200000, 700000):
    changed[at] ^= 0x20
open("v1/data/level.dat", "wb").write(lines)
open("v2/Data/LEVEL.dat", "wb").write(changed)
for v in ("v1", "v2"):
    open(f"{v}/readme.txt", "w").write("the same in both\n" * 50)
open("v1/noise.bin", "wb").write(bytes(r.getrandbits(8) for _ in range(50000)))
open("v2/noise.bin", "wb").write(bytes(r.getrandbits(8) for _ in range(50000)))
open("v1/gone.txt", "w").write("only in version 1\n")
open("v2/new.txt", "w").write("only in version 2\n" * 20)
PY
printf 'MZ' >stub.exe
printf 'name "Demo patch"\noutfile p.exe\nprefix demo\nuninstalllogload "$INSTDIR" demo_\npatch v2 v1\nuninstalllogsave "$INSTDIR" demo_\n' >p.script
opts=(--stub stub.exe --languages languages --layouts layout)

"$build" "${opts[@]}" -j 1 p.script 2>err.log || fail "patch build: $(cat err.log)"
grep -qF "patch (line 5): 1 unchanged (850 bytes, nothing stored); 1 new (360 bytes -> " err.log ||
  fail "no savings line: $(cat err.log)"
grep -qE "; 2 changed: 1 as differences \([0-9.]+ (KB|MB) -> [0-9]+ bytes\), 1 whole \(50\.0 KB -> 50\.0 KB\); 1 removed$" err.log ||
  fail "the savings line is not right: $(cat err.log)"
grep -qF "planning patch" err.log || fail "no planning progress: $(cat err.log)"
mkdir -p two
"$build" "${opts[@]}" -j 2 -q -o two/p.exe p.script 2>err.log || fail "patch build -j 2: $(cat err.log)"
[ -s err.log ] && fail "-q printed: $(cat err.log)"
cmp -s p.exe two/p.exe || fail "-j 1 and -j 2 give other bytes"
leftovers=$(find . -name '*.differences')
[ -z "$leftovers" ] || fail "temporary differences left: $leftovers"

"$paktool" verify p.exe >out.log 2>&1 || fail "paktool verify: $(cat out.log)"
"$paktool" list p.exe >list.log 2>&1 || fail "paktool list: $(cat list.log)"
old_sha=$(sha256sum v1/data/level.dat | cut -c1-16)
old_size=$(stat -c %s v1/data/level.dat)
new_size=$(stat -c %s v2/Data/LEVEL.dat)
grep -qF "patch group 1 (PATCH-1): 1 differences, 2 whole (1 new, 1 changed), 1 removed" list.log ||
  fail "no patch group summary: $(cat list.log)"
grep -qE "^  difference  Data\\\\LEVEL\.dat  [0-9]+ bytes, reference, against $old_size bytes sha256 $old_sha, gives $new_size bytes$" list.log ||
  fail "the difference is not listed with its old file: $(cat list.log)"
grep -qF "  whole       noise.bin  changed, 50000 bytes (was 50000)" list.log || fail "noise.bin is not whole: $(cat list.log)"
grep -qF "  whole       new.txt  new, 360 bytes" list.log || fail "new.txt is not listed new: $(cat list.log)"
grep -qF "  remove      gone.txt" list.log || fail "gone.txt is not listed removed: $(cat list.log)"
head -1 list.log | grep -q "^version 2, " || fail "a patch setup is not version 2: $(head -1 list.log)"
# A setup without patch lines lists as before.
printf 'name Plain\noutfile plain.exe\nfile v1\n' >plain.script
"$build" "${opts[@]}" -q plain.script || fail "plain build"
"$paktool" list plain.exe >plain.log 2>&1 || fail "paktool list plain"
grep -q "patch" plain.log && fail "a plain setup lists patch lines: $(cat plain.log)"

# Folders that are not there, files given as folders, names one file on Windows: errors at the line.
check() {  # WHAT EXPECTED_STDERR_PART SCRIPT_TEXT
  printf '%b' "$3" >bad.script
  "$build" "${opts[@]}" -q bad.script >/dev/null 2>err.log
  local status=$?
  if [ $status -ne 1 ] || ! grep -qF -- "$2" err.log; then
    fail "$1: status $status, stderr: $(cat err.log)"
  fi
}
check "missing old folder" "bad.script:2: patch folder not found: $work/v0" 'outfile bad.exe\npatch v2 v0\n'
check "file for a folder" "bad.script:1: patch takes folders, and $work/v1/gone.txt is a file" 'patch v2 v1/gone.txt\n'
mkdir -p twins && echo a >twins/Map.cfg && echo b >twins/map.cfg
check "case twins" "bad.script:3: \"Map.cfg\" and \"map.cfg\" in $work/twins differ only in letter case" 'outfile bad.exe\n\npatch twins v1\n'
check "one folder" "bad.script:1: 'patch' needs at least 2 parameter(s), got 1" 'patch v2\n'
[ -e bad.exe ] && fail "a bad script left bad.exe"

# A build that fails after planning (signing without osslsigncode) and one killed earlier leave
# no differences behind.
echo x >cert.p12
mkdir -p nothing
rm -f p.exe
env PATH="$work/nothing" "$build" "${opts[@]}" -q --sign-pkcs12 cert.p12 p.script >/dev/null 2>err.log &&
  fail "signing without osslsigncode succeeded"
grep -qF "osslsigncode was not found" err.log || fail "not the signing failure: $(cat err.log)"
leftovers=$(ls | grep '^p\.exe')
[ -z "$leftovers" ] || fail "the failed build left $leftovers"
mkdir -p p.exe.differences && echo x >p.exe.differences/4.kzpd
"$build" "${opts[@]}" -q p.script || fail "build over a killed build's differences"
[ -e p.exe.differences ] && fail "a killed build's differences were kept"
cmp -s p.exe two/p.exe || fail "the build over a killed build's differences gave other bytes"
exit $((failures > 0))
