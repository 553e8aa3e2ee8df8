#!/usr/bin/env bash
# Measures batch conversion the way the manual page shows it: a folder of
# generated pictures converted one process per picture, with xargs -P and with
# make -j, and reports pictures per second.
#
# Usage: scripts/batch-throughput.sh [bravik] [jobs]
#   bravik  the binary to measure (default: build/default/bravik)
#   jobs    parallel runs (default: the number of cores)
#
# Two sets: 1000 small pictures (160 x 128) and 40 medium ones (1280 x 720),
# in a scratch folder under $TMPDIR that is removed at the end.
# Every method is checked for correct results before it is timed; each timing
# is the median of three runs, with the inputs in the page cache, so the
# figures are about the tool and process start-up, not the disk.
set -euo pipefail
cd "$(dirname "$0")/.."

tool=$(realpath "${1:-build/default/bravik}")
jobs=${2:-$(nproc)}
[[ -x $tool ]] || { echo "no bravik at $tool: build it first" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Writes `count` bottom-up 24-bit BMP files of width x height into a folder.
make_pictures() {
  /usr/bin/python3 - "$@" <<'PY'
import os, struct, sys
folder, count, width, height = sys.argv[1], *map(int, sys.argv[2:])
os.makedirs(folder, exist_ok=True)
stride = (width * 3 + 3) & ~3
size = stride * height
pattern = bytes(range(256)) * (size // 256 + 2)
for index in range(count):
    start = index % 256
    pixels = pattern[start:start + size]
    header = b"BM" + struct.pack("<IHHI", 54 + size, 0, 0, 54) + struct.pack(
        "<IiiHHIIiiII", 40, width, height, 1, 24, 0, size, 2835, 2835, 0, 0)
    with open(os.path.join(folder, f"picture{index:04}.bmp"), "wb") as out:
        out.write(header + pixels)
PY
}

# bravik started straight from xargs, without a shell or a check, for
# comparison with the recipes.
run_bare() {
  (cd "$1" && printf '%s\n' *.bmp | sed 's/\.bmp$//' |
    xargs -P "$jobs" -I{} "$tool" {}.bmp {}.raw >/dev/null)
}

# The manual page's recipes, with bravik taken from $tool.
run_xargs() {
  find "$1" -name '*.bmp' -print0 |
    BRAVIK=$tool xargs -0 -n 16 -P "$jobs" sh -c '
      for f; do
        result=$("$BRAVIK" "$f" "${f%.bmp}.raw")
        case $result in
          *"Image converted successfully") ;;
          *) printf "%s: " "$f"; printf "%s\n" "$result" | tail -n 1 ;;
        esac
      done' sh
}
cat >"$scratch/Makefile" <<'MK'
.DELETE_ON_ERROR:
all: $(patsubst %.bmp,%.raw,$(wildcard *.bmp))
%.raw: %.bmp
	@result=$$($(BRAVIK) $< $@); case $$result in \
	  *'Image converted successfully') ;; *) echo "$$result"; exit 1 ;; esac
MK
run_make() {
  make -s -C "$1" -f "$scratch/Makefile" -j "$jobs" BRAVIK="$tool"
}

# Fails unless every picture in the folder has its output, of the right size,
# and nothing was reported.
check() {
  local folder=$1 expected_size=$2 report=$3
  if [[ -s $report ]]; then
    echo "failures:"; cat "$report"; exit 1
  fi
  local bad
  bad=$(find "$folder" -name '*.bmp' | while read -r bmp; do
    raw=${bmp%.bmp}.raw
    [[ -f $raw && $(stat -c %s "$raw") == "$expected_size" ]] || echo "$raw"
  done)
  [[ -z $bad ]] || { echo "wrong or missing output: $bad"; exit 1; }
}

measure() {
  local label=$1 method=$2 folder=$3 count=$4 expected_size=$5
  find "$folder" -name '*.raw' -delete
  "$method" "$folder" >"$scratch/report" 2>&1
  check "$folder" "$expected_size" "$scratch/report"
  local times=()
  for _ in 1 2 3; do
    find "$folder" -name '*.raw' -delete
    sync
    local start end
    start=$(date +%s.%N)
    "$method" "$folder" >/dev/null 2>&1
    end=$(date +%s.%N)
    times+=("$(awk -v s="$start" -v e="$end" 'BEGIN { print e - s }')")
  done
  local median
  median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)
  printf '%-40s %6d pictures  %6.2f s  %8.0f pictures/s\n' "$label" "$count" \
    "$median" "$(awk -v n="$count" -v t="$median" 'BEGIN { print n / t }')"
}

echo "bravik: $tool"
echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'); jobs: $jobs"
# Other work on the machine slows process start-up most; say how busy it was.
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
make_pictures "$scratch/small" 1000 160 128
make_pictures "$scratch/medium" 40 1280 720
measure "small 160x128, bare xargs -P $jobs" run_bare "$scratch/small" 1000 $((160 * 128 * 2))
measure "small 160x128, xargs -P $jobs" run_xargs "$scratch/small" 1000 $((160 * 128 * 2))
measure "small 160x128, make -j $jobs" run_make "$scratch/small" 1000 $((160 * 128 * 2))
measure "medium 1280x720, bare xargs -P $jobs" run_bare "$scratch/medium" 40 $((1280 * 720 * 2))
measure "medium 1280x720, xargs -P $jobs" run_xargs "$scratch/medium" 40 $((1280 * 720 * 2))
measure "medium 1280x720, make -j $jobs" run_make "$scratch/medium" 40 $((1280 * 720 * 2))
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
