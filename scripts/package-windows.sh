#!/usr/bin/env bash
# Writes the release folder for controller PCs from a 32-bit release build:
#   dist/jointcast-windows-x86/  Jointcast.exe, README.txt, SHA256SUMS
# The stand-in control is never part of it. Checks that the exe carries its version resource,
# passes the import check (imports, subsystem, manifest: tests/win/check-shipped-exe.py), and
# that building it again from the same sources gives the same bytes.
# Usage: scripts/package-windows.sh BUILD_WIN32_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
out=dist/jointcast-windows-x86
exe=$build/Jointcast.exe

fail() { echo "package-windows: $*" >&2; exit 1; }
[[ -f $exe ]] || fail "$exe is missing: build the 32-bit release first"
i686-w64-mingw32-objdump -f "$exe" | grep -q 'file format pei-i386' || fail "$exe is not 32-bit"
if i686-w64-mingw32-objdump -h "$exe" | grep -q '\.debug'; then fail "$exe is not stripped"; fi
python3 -c 'import sys; sys.exit(sys.argv[2].encode("utf-16-le") not in open(sys.argv[1], "rb").read())' \
  "$exe" 'Jointcast V3: robot joint angles' || fail "no version resource"
tests/win/check-shipped-exe.py "$exe" >/dev/null || fail "$exe fails the import check (tests/win/check-shipped-exe.py)"

# Reproducible: the same sources built in another folder give the same bytes.
again=$(mktemp -d)
trap 'rm -rf "$again"' EXIT
cmake -S . -B "$again" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release -DJOINTCAST_TESTS=OFF >/dev/null
cmake --build "$again" --target Jointcast >/dev/null
cmp -s "$exe" "$again/Jointcast.exe" || fail "two builds of the same sources differ"

rm -rf "$out"
mkdir -p "$out"
cp "$exe" "$out/Jointcast.exe"
# The technician's README, as plain text with Windows line ends. It speaks to the person at the
# controller PC: no build paths, nothing about other systems, at most 80 columns.
readme=packaging/windows/README.txt
LC_ALL=C grep -qP '[^\x20-\x7e]' "$readme" && fail "$readme has characters that are not plain ASCII"
awk 'length > 80 { exit 1 }' "$readme" || fail "$readme has lines longer than 80 columns"
grep -qiE 'linux|build-win|dist/|cmake' "$readme" && fail "$readme names a build path or another system"
sed -e 's/$/\r/' "$readme" >"$out/README.txt"
(cd "$out" && sha256sum Jointcast.exe README.txt | sed -e 's/$/\r/' >SHA256SUMS)
size=$(stat -c %s "$out/Jointcast.exe")
echo "package-windows: $out written; Jointcast.exe is $size bytes"
