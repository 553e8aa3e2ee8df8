#!/usr/bin/env bash
# Builds the Debian package from a configured and built tree, unpacks it into
# a scratch root as dpkg would install it, and runs the installed tool on the
# bundled sample picture. The package's Depends must match how the tool is
# linked: nothing for a static tool, the C library alone for a dynamic one.
# Usage: check_package.sh <build dir> <source dir> <cpack> <static|dynamic>
set -euo pipefail
build_dir=$1
source_dir=$2
cpack=$3
linkage=$4
[[ $linkage == static || $linkage == dynamic ]] ||
  { echo "linkage must be static or dynamic, not '$linkage'"; exit 2; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail=0

# -B keeps cpack's staging files and the package out of the build tree.
if ! "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$scratch/out" \
  >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  exit 1
fi
packages=("$scratch"/out/*.deb)
if ((${#packages[@]} != 1)) || [[ ! -f ${packages[0]} ]]; then
  echo "expected one .deb, got: ${packages[*]}"
  exit 1
fi
deb=${packages[0]}

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == bravik ]] || { echo "Package: $(field Package)"; fail=1; }
[[ $(field Section) == graphics ]] || { echo "Section: $(field Section)"; fail=1; }
[[ -n $(field Maintainer) ]] || { echo "no Maintainer"; fail=1; }
[[ -n $(field Description) ]] || { echo "no Description"; fail=1; }
depends=$(field Depends)
if [[ $linkage == static ]]; then
  [[ -z $depends ]] || { echo "a static tool depends on nothing, not: $depends"; fail=1; }
else
  # The tool needs the C library and nothing else.
  [[ $depends =~ ^libc6(\ \(>=\ [0-9.]+\))?$ ]] || { echo "Depends: $depends"; fail=1; }
fi

# Exactly the tool and its page: anything else would be a stray install rule.
dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort >"$scratch/files"
printf '%s\n' ./usr/bin/bravik ./usr/share/man/man1/bravik.1 >"$scratch/expected"
if ! diff -u "$scratch/expected" "$scratch/files"; then
  echo "the package holds other files than expected"
  fail=1
fi

root=$scratch/root
dpkg -x "$deb" "$root"
tool=$root/usr/bin/bravik
[[ -x $tool ]] || { echo "$tool is not executable"; exit 1; }
# What the binary itself loads: a static one names no program interpreter and
# no shared library; a dynamic one the C library alone.
needed=$(readelf -dW "$tool" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
interpreter=$(readelf -lW "$tool" | grep -c 'program interpreter' || true)
if [[ $linkage == static ]]; then
  [[ -z $needed && $interpreter == 0 ]] ||
    { echo "the packaged tool is not static: needs '$needed', $interpreter interpreter"; fail=1; }
else
  [[ $needed == "libc.so.6 " && $interpreter == 1 ]] ||
    { echo "the packaged tool needs '$needed', not the C library alone"; fail=1; }
fi

cp "$source_dir/examples/sample.bmp" "$scratch/sample.bmp"
cd "$scratch"
status=0
"$tool" sample.bmp sample.raw >stdout 2>stderr || status=$?
# Byte for byte: the success line has no line feed after it.
printf 'Input file: sample.bmp\nOutput file: sample.raw\nImage converted successfully' >expected
if ! cmp -s expected stdout; then
  echo "installed bravik printed:"
  cat stdout
  fail=1
fi
[[ ! -s stderr ]] || { echo "installed bravik wrote to stderr:"; cat stderr; fail=1; }
((status == 0)) || { echo "installed bravik exited with $status"; fail=1; }
size=$(stat -c %s sample.raw)
((size == 150 * 100 * 2)) || { echo "sample.raw has $size bytes"; fail=1; }

if ! MANWIDTH=80 man -l "$root/usr/share/man/man1/bravik.1" >page.txt 2>man.err ||
  [[ -s man.err ]] || ! grep -q '^SYNOPSIS' page.txt; then
  echo "the installed manual page does not render cleanly:"
  cat man.err
  fail=1
fi

exit "$fail"
