#!/usr/bin/env bash
# The manual page renders without a warning, both through groff's own checks
# and through man as a user would read it, and lists every message that the
# tool's sources can print, exactly as printed.
# Usage: check_man_page.sh <page> <source dir>
set -euo pipefail
page=$1
source_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail=0

if ! groff -man -z -wall "$page" 2>"$scratch/groff.err" || [[ -s $scratch/groff.err ]]; then
  echo "groff -man -z -wall complains about $page:"
  cat "$scratch/groff.err"
  fail=1
fi

# man -l runs the page through the same pipeline as an installed one; a file
# as output keeps it from paging and leaves plain text.
if ! MANWIDTH=80 man -l "$page" >"$scratch/page.txt" 2>"$scratch/man.err" ||
  [[ -s $scratch/man.err ]]; then
  echo "man -l complains about $page:"
  cat "$scratch/man.err"
  fail=1
fi
if ! grep -q '^SYNOPSIS' "$scratch/page.txt"; then
  echo "man -l rendered no SYNOPSIS section"
  fail=1
fi

# Every message the tool prints is a string literal handed to fputs or printf
# in src/. Each must stand on a line of its own in the rendered page, with a
# placeholder (%s, %d) standing for one word.
grep -ohE '(fputs|printf)\("[^"]*' "$source_dir"/src/*.cpp |
  sed -E 's/^[a-z]+\("//; s/\\n$//' >"$scratch/messages"
if [[ ! -s $scratch/messages ]]; then
  echo "found no messages in $source_dir/src"
  fail=1
fi
while IFS= read -r message; do
  pattern=$(printf '%s' "$message" | sed -e 's/[][\.*^$+?(){}|/]/\\&/g' -e 's/%[sd]/[^ ]+/g')
  if ! grep -Eqx "[[:space:]]*${pattern}[[:space:]]*" "$scratch/page.txt"; then
    echo "the manual page does not show the message: $message"
    fail=1
  fi
done <"$scratch/messages"

exit "$fail"
