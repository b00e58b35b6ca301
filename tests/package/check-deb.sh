#!/usr/bin/env bash
# Builds the Debian package from a Release build and checks it as an admin would meet it: its
# contents, the programs run from an unpacked copy, lintian, the systemd unit (verify, and an
# exposure of 2.0 at most by systemd-analyze security), and cmake --install to another prefix.
# Usage: tests/package/check-deb.sh RELEASE_BUILD_DIR
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() {  # check NAME COMMAND...
  if "${@:2}" >>"$work/checks.log" 2>&1; then
    echo "ok   $1"; passed=$((passed + 1))
  else
    echo "FAIL $1"; failed=$((failed + 1)); tail -n 20 "$work/checks.log" | sed 's/^/     /'
  fi
  : >"$work/checks.log"
}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DJOINTCAST_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null || { echo "FAIL release build"; exit 1; }
(cd "$build" && rm -f ./*.deb && cpack >/dev/null 2>&1) || { echo "FAIL cpack"; exit 1; }
deb=$(ls "$build"/jointcast_*_amd64.deb 2>/dev/null | head -n 1)
[[ -f $deb ]] || { echo "FAIL no jointcast_*_amd64.deb in $build"; exit 1; }
echo "     $(basename "$deb"): $(stat -c %s "$deb") bytes"

contents() {
  local listing
  listing=$(dpkg-deb -c "$deb")
  for path in usr/bin/jointcastd usr/bin/jointcast usr/bin/jointcast-listen usr/bin/jointcast-replay \
    usr/bin/jointcast-sim usr/lib/systemd/system/jointcastd@.service \
    usr/share/doc/jointcast/copyright usr/share/doc/jointcast/changelog.gz \
    usr/share/doc/jointcast/README.md usr/share/doc/jointcast/examples/robot1.conf \
    usr/share/man/man1/jointcastd.1.gz; do
    grep -q " \./$path\$" <<<"$listing" || { echo "missing: $path"; return 1; }
  done
}
check "the package holds the programs, the unit, the docs and the manual pages" contents
depends() {
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libmosquitto1 libsystemd0 libqt6widgets6 libc6; do
    grep -q "$library" <<<"$depends" || { echo "no $library in: $depends"; return 1; }
  done
}
check "its dependencies come from the binaries" depends

dpkg-deb -x "$deb" "$work/root"
check "jointcastd --version runs from the unpacked package" \
  sh -c "'$work/root/usr/bin/jointcastd' --version | grep -q '^jointcast 3\.0\.0 '"
stripped() {
  for program in "$work"/root/usr/bin/*; do
    if objdump -h "$program" | grep -q '\.debug_'; then echo "not stripped: $program"; return 1; fi
  done
}
check "the programs are stripped" stripped
lintian_clean() {
  command -v lintian >/dev/null || { echo "lintian is not installed"; return 1; }
  local report
  report=$(lintian --no-tag-display-limit "$deb" 2>/dev/null)
  ! grep -E '^[EW]: ' <<<"$report"
}
check "lintian finds nothing to complain of" lintian_clean

# The unit as installed, its command found where the package put it.
unit=$work/jointcastd@.service
sed "s|^ExecStart=jointcastd |ExecStart=$work/root/usr/bin/jointcastd |" \
  "$work/root/usr/lib/systemd/system/jointcastd@.service" >"$unit"
check "systemd-analyze verify accepts the unit" systemd-analyze verify "$unit"
exposure() {
  local level
  level=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  echo "     exposure $level"
  [[ -n $level ]] && awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }'
}
check "systemd-analyze security rates the unit 2.0 or less" exposure

check "cmake --install to another prefix" \
  sh -c "DESTDIR='$work/staged' cmake --install '$build' --prefix /usr/local >/dev/null &&
         test -x '$work/staged/usr/local/bin/jointcastd' &&
         test -f '$work/staged/usr/local/lib/systemd/system/jointcastd@.service'"

echo "package: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
