#!/usr/bin/env bash
# paktool and vfstool extract onto a full disk: each says which file it could not write on
# stderr and ends with 1, and the files that could be written are there.
set -uo pipefail
paktool=$(realpath "${1:?usage: extract_failure_test.sh PAKTOOL VFSTOOL}")
vfstool=$(realpath "${2:?usage: extract_failure_test.sh PAKTOOL VFSTOOL}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
echo small >a.txt
echo other >b.txt
failures=0
check() {  # WHAT FILE_THAT_FILLS_THE_DISK TOOL ARGS...
  local what=$1 full=$2
  shift 2
  "$@" >out.log 2>err.log
  local got=$?
  if [ "$got" -ne 1 ] || ! grep -qF -- "cannot write $full" err.log; then
    echo "FAIL $what: status $got (want 1), stderr: $(cat err.log)"
    failures=$((failures + 1))
  fi
}

"$paktool" build demo.pak --file a.txt 1 a.txt --file b.txt 1 b.txt || { echo "FAIL paktool build"; exit 1; }
mkdir -p pak/1
ln -s /dev/full pak/1/a.txt
check "paktool extract" pak/1/a.txt "$paktool" extract demo.pak pak
cmp -s b.txt pak/1/b.txt || { echo "FAIL paktool extract: b.txt not written"; failures=$((failures + 1)); }

"$vfstool" create demo.vfs 512 64 8 && "$vfstool" add demo.vfs a.txt a.txt b.txt b.txt || { echo "FAIL vfstool create"; exit 1; }
mkdir -p vfs
ln -s /dev/full vfs/a.txt
check "vfstool extract" vfs/a.txt "$vfstool" extract demo.vfs vfs
cmp -s b.txt vfs/b.txt || { echo "FAIL vfstool extract: b.txt not written"; failures=$((failures + 1)); }
exit $((failures > 0))
