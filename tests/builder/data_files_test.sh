#!/usr/bin/env bash
# setupbuild's data files and its first-version output, as users run it:
# - a setup that fits the first package version is byte for byte what the builder wrote before
#   data files existed, at the level it used by default (the hash below was taken from that
#   builder; it depends on the deflate library's level-9 output, which Debian's libdeflate fixes);
# - --slice-size: its refusals, data files beside the setup that paktool reads and verifies,
#   the same bytes for any -j, stale data files of an earlier build removed, none left by a
#   failed build;
# - identical files stored once;
# - a UTF-8 script and files named in four scripts: the setup says its texts are UTF-8, and
#   paktool lists and extracts the names in UTF-8; a Windows-1252 script and a file named in
#   Windows-1252 on disk give the same names.
set -uo pipefail
build=$(realpath "${1:?usage: data_files_test.sh SETUPBUILD PAKTOOL}")
paktool=$(realpath "${2:?usage: data_files_test.sh SETUPBUILD PAKTOOL}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

# A small tree without two files alike: text, bytes that do not compress, an empty file, a file
# in a subfolder with a long name.
mkdir -p files/data/sub languages layout
python3 - <<'PY'
import random
r = random.Random(7)
open("files/readme.txt", "w").write("".join(f"line {i} of the readme\n" for i in range(300)))
open("files/data/noise.bin", "wb").write(bytes(r.getrandbits(8) for _ in range(70000)))
open("files/data/records.dat", "wb").write(b"".join(bytes([i % 251, 0, 0, 7]) + r.getrandbits(16).to_bytes(2, "little") for i in range(20000)))
open("files/data/sub/a file with a rather long name.cfg", "w").write("[game]\nspeed=3\n")
open("files/empty.txt", "w").close()
PY
printf 'MZ' >stub.exe
printf 'name Golden\noutfile golden.exe\ninstalldir "C:\\Golden"\nfile files\n' >golden.script
opts=(--stub stub.exe --languages languages --layouts layout -q)

"$build" "${opts[@]}" --level 9 golden.script || fail "golden build"
hash=$(sha256sum golden.exe | cut -d' ' -f1)
[ "$hash" = d97c618736f766e6726065419c54c1363ca9c566e90c38335430047aadd6084e ] ||
  fail "a setup that fits the first version changed: sha256 $hash"
"$paktool" list golden.exe | head -1 | grep -q "^version 1, 7 entries, 0 data files" || fail "golden is not version 1"

# --slice-size refusals.
for bad in 0 12Q 1K 63K -5 K 99999999999999999999; do
  "$build" "${opts[@]}" --slice-size "$bad" golden.script >/dev/null 2>err.log
  status=$?
  { [ $status -eq 2 ] && grep -qF -- "--slice-size takes" err.log; } || fail "--slice-size $bad: status $status, $(cat err.log)"
done

# Data files of 64 KiB: several, readable and verified by paktool, one byte apart for any -j.
mkdir -p one two
"$build" "${opts[@]}" --slice-size 64K -j 1 -o one/golden.exe golden.script || fail "sliced build -j 1"
"$build" "${opts[@]}" --slice-size 64K -j 2 -o two/golden.exe golden.script || fail "sliced build -j 2"
count=$(ls one | grep -c '^golden-[0-9]*\.bin$')
[ "$count" -ge 2 ] || fail "expected several data files, got $count: $(ls one)"
for f in $(ls one); do cmp -s "one/$f" "two/$f" || fail "-j 1 and -j 2 differ in $f"; done
"$paktool" verify one/golden.exe >out.log 2>&1 || fail "paktool verify: $(cat out.log)"
"$paktool" list one/golden.exe | head -1 | grep -q "^version 2, 7 entries, $count data files" ||
  fail "listing: $("$paktool" list one/golden.exe | head -1)"
mkdir -p out && "$paktool" extract one/golden.exe out >out.log 2>&1 || fail "paktool extract: $(cat out.log)"
cmp -s out/1/data/noise.bin files/data/noise.bin || fail "noise.bin extracted from data files differs"

# A rebuild with larger data files removes the earlier build's surplus ones and says so.
"$build" --stub stub.exe --languages languages --layouts layout --slice-size 1M -o one/golden.exe golden.script \
  2>err.log || fail "rebuild"
[ "$(ls one | grep -c '^golden-[0-9]*\.bin$')" -eq 1 ] || fail "stale data files left: $(ls one)"
grep -qF "removed one/golden-2.bin of an earlier build" err.log || fail "no note of the removal: $(cat err.log)"
grep -qF "one/golden-1.bin" err.log || fail "the data file is not listed: $(cat err.log)"

# A failed build leaves neither a setup nor data files.
printf 'name Bad\noutfile bad.exe\nfile files\nfile missing\n' >bad.script
"$build" "${opts[@]}" --slice-size 64K bad.script >/dev/null 2>&1 && fail "bad script built"
leftovers=$(ls | grep '^bad' | grep -v '^bad\.script$')
[ -z "$leftovers" ] || fail "a failed build left $leftovers"

# Identical files are stored once: the setup grows by a directory record, not by the copy.
mkdir -p twice && cp -r files twice/a && cp -r files twice/b
printf 'name Twice\noutfile twice.exe\nfile twice\n' >twice.script
"$build" --stub stub.exe --languages languages --layouts layout twice.script 2>err.log || fail "twice build"
grep -qF "4 identical files stored once" err.log || fail "no note of identical files: $(cat err.log)"
single=$(stat -c %s golden.exe)
double=$(stat -c %s twice.exe)
[ $((double - single)) -lt 2000 ] || fail "copies stored again: $single against $double bytes"
"$paktool" verify twice.exe >out.log 2>&1 || fail "verify twice: $(cat out.log)"

# Names in Cyrillic, Greek, Japanese and U+1F3AE, in the script and on disk.
mkdir -p "Игра/данные" "Игра/Ελληνικά"
echo map >"Игра/данные/карта.dat"
echo text >"Игра/Ελληνικά/αρχείο.txt"
echo bin >"Игра/ゲーム.bin"
echo pad >"Игра/🎮.cfg"
printf '\xEF\xBB\xBFname "Игра 🎮"\noutfile Игра_setup.exe\ninstalldir "C:\\Игры"\nfile Игра\n' >unicode.script
"$build" "${opts[@]}" unicode.script || fail "unicode build"
"$paktool" list Игра_setup.exe >list.log 2>&1 || fail "paktool list: $(cat list.log)"
head -1 list.log | grep -q "^version 2, 6 entries, 0 data files, texts in UTF-8$" || fail "unicode listing: $(head -1 list.log)"
for name in 'данные\карта.dat' 'Ελληνικά\αρχείο.txt' 'ゲーム.bin' '🎮.cfg'; do
  grep -qF "  $name" list.log || fail "paktool list lacks $name: $(cat list.log)"
done
rm -rf out && "$paktool" extract Игра_setup.exe out >out.log 2>&1 || fail "paktool extract unicode: $(cat out.log)"
cmp -s "out/1/данные/карта.dat" "Игра/данные/карта.dat" || fail "карта.dat not extracted: $(find out)"
cmp -s "out/1/🎮.cfg" "Игра/🎮.cfg" || fail "🎮.cfg not extracted: $(find out)"

# An older script in Windows-1252 naming a folder an older system made, with a file named in
# Windows-1252: the setup holds the same characters in UTF-8.
mkdir -p "$(printf 'Donn\xe9es')"
echo old >"$(printf 'Donn\xe9es/caf\xe9.txt')"
printf 'name "Caf\xe9"\noutfile legacy.exe\nfile Donn\xe9es\n' >legacy.script
"$build" "${opts[@]}" legacy.script || fail "Windows-1252 script build"
"$paktool" list legacy.exe >list.log 2>&1 || fail "paktool list legacy: $(cat list.log)"
grep -qF "  café.txt" list.log || fail "the Windows-1252 file name is not café.txt: $(cat list.log)"
exit $((failures > 0))
