#!/usr/bin/env bash
# Runs every fuzz target for a fixed time and reports one line per target.
#
#   tests/fuzz/run.sh BUILD_DIR SECONDS
#
# BUILD_DIR is the fuzz configuration (build/fuzz). Each target starts from a scratch copy of
# its committed seeds (tests/fuzz/corpus/<target>) plus a fresh set written by make_fuzz_seeds,
# so the committed corpus is never written to. Logs, the grown corpus and any crashing input
# stay under BUILD_DIR/fuzz-run/<target>/ until the next run. Targets run FUZZ_JOBS at a time
# (default: one per processor), each on one processor for SECONDS, so the whole run takes about
# SECONDS per target divided by FUZZ_JOBS; the lines come in target order. Exits non-zero when any
# target crashed, timed out, ran out of memory or broke one of its checks.
set -u -o pipefail

if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]] || [ "$2" -lt 1 ]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  exit 2
fi
BUILD_DIR=$(cd "$1" 2>/dev/null && pwd) || { echo "fuzz: no build folder $1 (run make fuzz)" >&2; exit 2; }
SECONDS_PER_TARGET=$2
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TARGETS=(fuzz_pak_directory fuzz_pe_image fuzz_setup_info fuzz_comp_lines fuzz_vfs_open fuzz_kzp_open fuzz_kzp_wav fuzz_page_layout)
# The install log, the language files and the icon file head.
TARGETS+=(fuzz_install_log fuzz_languages fuzz_icon_file)
# The rollback journal of archives changed in place.
TARGETS+=(fuzz_rollback_journal fuzz_inflate)
# The interpreter over an in-memory system.
TARGETS+=(fuzz_interpreter)
# Binary differences and patch manifests.
TARGETS+=(fuzz_difference fuzz_patch_manifest)

# Limits of one execution: a unit slower than UNIT_TIMEOUT seconds or a process above RSS_LIMIT
# MB is reported as a fault, as is a single allocation above MALLOC_LIMIT MB.
UNIT_TIMEOUT=${FUZZ_UNIT_TIMEOUT:-25}
RSS_LIMIT=${FUZZ_RSS_LIMIT_MB:-2048}
MALLOC_LIMIT=${FUZZ_MALLOC_LIMIT_MB:-256}

find_tool() {
  local name=$1 dir
  for dir in "$BUILD_DIR/tests/fuzz" "$BUILD_DIR/bin" "$BUILD_DIR"; do
    if [ -x "$dir/$name" ] && [ -f "$dir/$name" ]; then
      echo "$dir/$name"
      return 0
    fi
  done
  return 1
}

RUN_DIR=$BUILD_DIR/fuzz-run
rm -rf "$RUN_DIR"
mkdir -p "$RUN_DIR"

FRESH_SEEDS=$RUN_DIR/fresh-seeds
if SEEDER=$(find_tool make_fuzz_seeds); then
  "$SEEDER" "$FRESH_SEEDS" </dev/null || echo "fuzz: make_fuzz_seeds failed; using the committed seeds only" >&2
fi

# run_target TARGET: one target's run; its report goes to RUN_DIR/TARGET/report, its verdict
# ("ok" or not) to RUN_DIR/TARGET/verdict.
run_target() {
  local target=$1 binary work rc execs units artifacts result
  work=$RUN_DIR/$target
  mkdir -p "$work/corpus" "$work/artifacts"
  if ! binary=$(find_tool "$target"); then
    printf '%-20s MISSING  no executable under %s (run make fuzz)\n' "$target" "$BUILD_DIR" >"$work/report"
    echo failed >"$work/verdict"
    return
  fi
  [ -d "$HERE/corpus/$target" ] && cp -R "$HERE/corpus/$target/." "$work/corpus/"
  [ -d "$FRESH_SEEDS/$target" ] && cp -R "$FRESH_SEEDS/$target/." "$work/corpus/"

  # libFuzzer checks -max_total_time between units; the outer timeout only catches a run
  # that hangs outside them.
  timeout --kill-after=10 $((SECONDS_PER_TARGET + UNIT_TIMEOUT + 30)) \
    "$binary" "$work/corpus" \
      -max_total_time="$SECONDS_PER_TARGET" -timeout="$UNIT_TIMEOUT" \
      -rss_limit_mb="$RSS_LIMIT" -malloc_limit_mb="$MALLOC_LIMIT" \
      -use_value_profile=1 -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" \
      </dev/null >"$work/log" 2>&1
  rc=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  [ -n "$execs" ] || execs=$(grep -o '#[0-9]*' "$work/log" | tail -1 | tr -d '#')
  [ -n "$execs" ] || execs=0
  units=$(find "$work/corpus" -type f | wc -l)
  artifacts=$(find "$work/artifacts" -type f | wc -l)
  if [ $rc -eq 0 ] && [ "$artifacts" -eq 0 ]; then
    result=ok
  else
    case $rc in
      124|137) result="HUNG (killed after $((SECONDS_PER_TARGET + UNIT_TIMEOUT + 30)) s)" ;;
      *) result="FAILED (exit $rc, $artifacts crashing input(s) in $work/artifacts)" ;;
    esac
  fi
  {
    printf '%-20s %10s executions in %4s s, corpus %5s units: %s\n' \
      "$target" "$execs" "$SECONDS_PER_TARGET" "$units" "$result"
    if [ "$result" != ok ]; then
      # The sanitizer or check report: its headline and the first frames of the stack.
      grep -E -m 1 -A 14 '^==[0-9]+==ERROR|runtime error|^fuzz_[a-z_]+: |ALARM|out-of-memory|malloc\(' "$work/log" | sed 's/^/    /'
      echo "    full log: $work/log"
    fi
  } >"$work/report"
  [ "$result" = ok ] && echo ok >"$work/verdict" || echo failed >"$work/verdict"
}

JOBS=${FUZZ_JOBS:-$(nproc)}
running=0
for target in "${TARGETS[@]}"; do
  if [ "$running" -ge "$JOBS" ]; then
    wait -n
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
wait

failed=0
for target in "${TARGETS[@]}"; do
  cat "$RUN_DIR/$target/report"
  [ "$(cat "$RUN_DIR/$target/verdict" 2>/dev/null)" = ok ] || failed=1
done
exit $failed
