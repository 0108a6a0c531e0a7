# Sourced by the benchmark scripts: makes the deterministic game-patch payload when missing.
#
#   ensure_payload DIR MB
#
# DIR is made by make_payload.py (looked for beside the checkout, or SETUP_PAYLOAD_SCRIPT)
# unless DIR, DIR.stamp and DIR.manifest are all there already. Sets PAYLOAD_FILES and
# PAYLOAD_BYTES, the tree's file count and byte total.

ensure_payload() {
  local dir=$1 mb=$2
  if ! [ -d "$dir" ] || ! [ -f "$dir.stamp" ] || ! [ -f "$dir.manifest" ]; then
    make_payload "$dir" "$mb"
  fi
  PAYLOAD_FILES=$(find "$dir" -type f | wc -l)
  PAYLOAD_BYTES=$(find "$dir" -type f -printf '%s\n' | awk '{s += $1} END {printf "%d", s}')
}

make_payload() {
  local dir=$1 mb=$2 script candidate here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  script=${SETUP_PAYLOAD_SCRIPT:-}
  if [ -z "$script" ]; then
    for candidate in "$here/../shared/bench/make_payload.py" /work/shared/bench/make_payload.py; do
      if [ -f "$candidate" ]; then
        script=$candidate
        break
      fi
    done
  fi
  if [ -z "$script" ] || [ ! -f "$script" ]; then
    echo "bench: make_payload.py not found (set SETUP_PAYLOAD_SCRIPT)" >&2
    exit 1
  fi
  echo "bench: making the $mb MB payload in $dir"
  python3 "$script" --out "$dir" --mb "$mb" </dev/null
}
