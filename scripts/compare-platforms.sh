#!/usr/bin/env bash
# Runs every built tool on the same pictures and checks that each prints the
# same messages and writes the same bytes as the native one: the sample, the
# fuzz corpus (pictures of every accepted layout and headers that must be
# refused) and a missing input. The names are relative and the same for
# every run, so even the echo lines must match byte for byte.
# Usage: scripts/compare-platforms.sh   (after the presets' builds)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
native=$root/build/default/bravik
[[ -x $native ]] || { echo "build the default preset first"; exit 1; }
others=()
[[ -x build/linux-aarch64/bravik ]] &&
  others+=("qemu-aarch64-static $root/build/linux-aarch64/bravik")
[[ -x build/linux-s390x/bravik ]] &&
  others+=("qemu-s390x-static $root/build/linux-s390x/bravik")
[[ -f build/windows-x64/bravik.exe ]] &&
  others+=("wine $root/build/windows-x64/bravik.exe")
((${#others[@]})) || { echo "no cross-built tool to compare"; exit 1; }
export WINEDEBUG=-all WINEPREFIX=$root/build/windows-x64/wine

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
pictures=("$root/examples/sample.bmp" "$root"/fuzz/corpus/* "")

# run <command words...>: the tool on in.bmp -> out.raw in the scratch
# directory; leaves the messages in stdout and the bytes, if any, in out.raw.
run() {
  rm -f "$scratch/out.raw"
  (cd "$scratch" && "$@" in.bmp out.raw >stdout 2>stderr) || true
}

failures=0
compared=0
for picture in "${pictures[@]}"; do
  rm -f "$scratch/in.bmp"
  [[ -n $picture ]] && cp "$picture" "$scratch/in.bmp"
  run "$native"
  mv "$scratch/stdout" "$scratch/want.stdout"
  rm -f "$scratch/want.raw"
  [[ -f $scratch/out.raw ]] && mv "$scratch/out.raw" "$scratch/want.raw"
  for tool in "${others[@]}"; do
    # shellcheck disable=SC2086  # the emulator and the tool, as two words
    run $tool
    label="${tool%% *} on ${picture:-a missing input}"
    if ! cmp -s "$scratch/stdout" "$scratch/want.stdout"; then
      echo "$label: different messages"
      diff "$scratch/want.stdout" "$scratch/stdout" || true
      failures=$((failures + 1))
    fi
    if [[ -f $scratch/want.raw ]]; then
      cmp -s "$scratch/out.raw" "$scratch/want.raw" ||
        { echo "$label: different output bytes"; failures=$((failures + 1)); }
    elif [[ -f $scratch/out.raw ]]; then
      echo "$label: made an output file the native tool did not"
      failures=$((failures + 1))
    fi
    compared=$((compared + 1))
  done
done
echo "$compared runs compared with the native tool, $failures differ"
((failures == 0))
