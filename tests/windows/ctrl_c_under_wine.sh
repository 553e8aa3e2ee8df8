#!/usr/bin/env bash
# Ctrl-C mid-conversion on Windows, as wine delivers it: wine turns SIGINT
# into the console's Ctrl-C event. The tool reads a FIFO that holds part of a
# large picture, has written its first rows and waits for more; after the
# event the output must be empty and the tool ended with the status Ctrl-C
# gives (STATUS_CONTROL_C_EXIT, of which a Unix parent sees the low byte).
# Usage: ctrl_c_under_wine.sh <wine> <bravik.exe>
set -euo pipefail
wine=$1
tool=$2
scratch=$(mktemp -d)
trap 'kill "${feeder:-}" 2>/dev/null || true; rm -rf "$scratch"' EXIT

# 1000 x 1200 pixels, bottom row first: 3.6 MB of pixels behind 54 bytes.
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 24 & 255)))"; }
{
  printf 'BM'; le32 $((54 + 3600000)); le32 0; le32 54
  le32 40; le32 1000; le32 1200; printf '\x01\x00\x18\x00'; le32 0
  le32 3600000; le32 0; le32 0; le32 0; le32 0
  head -c 3600000 /dev/urandom
} >"$scratch/big.bmp"
mkfifo "$scratch/in.fifo"
# Two megabytes, more than one block of rows, then the writer waits.
# (The sleep takes the subshell's place, so that killing it ends the writer
# and nothing is left holding ctest's streams.)
(head -c 2000000 "$scratch/big.bmp" && exec sleep 120) >"$scratch/in.fifo" 2>/dev/null &
feeder=$!

WINEDEBUG=-all "$wine" "$tool" "$scratch/in.fifo" "$scratch/out.raw" \
  >"$scratch/stdout" &
converter=$!
for _ in $(seq 600); do
  [[ -s $scratch/out.raw ]] && break
  sleep 0.1
done
[[ -s $scratch/out.raw ]] || { echo "the tool wrote nothing"; exit 1; }
pkill -INT -f "$tool $scratch/in.fifo"
status=0
wait "$converter" || status=$?

fail=0
[[ $status == 58 ]] || { echo "exit status $status, expected 58"; fail=1; }
size=$(stat -c %s "$scratch/out.raw")
[[ $size == 0 ]] || { echo "output holds $size bytes, expected none"; fail=1; }
expected=$(printf 'Input file: %s\nOutput file: %s' "$scratch/in.fifo" "$scratch/out.raw")
[[ $(cat "$scratch/stdout") == "$expected" ]] ||
  { echo "printed:"; cat "$scratch/stdout"; fail=1; }
exit $fail
