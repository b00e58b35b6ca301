#!/usr/bin/env bash
# Builds the Debian package from a Release build and checks it as an admin would meet it: its
# contents, the programs run from an unpacked copy, lintian, the manual pages (man --warnings),
# both systemd units (verify, and an exposure of 2.0 at most by systemd-analyze security), the
# maintainer scripts (shellcheck, and each run against stand-ins of systemctl and
# deb-systemd-invoke), the logrotate rule, and cmake --install to another prefix.
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
    usr/lib/systemd/system/jointcast-listen.service etc/jointcast/listen.conf \
    etc/logrotate.d/jointcast usr/share/doc/jointcast/copyright usr/share/doc/jointcast/changelog.gz \
    usr/share/doc/jointcast/README.md usr/share/doc/jointcast/examples/robot1.conf \
    usr/share/man/man1/jointcastd.1.gz usr/share/man/man1/jointcast-listen.1.gz; do
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

manual_pages() {
  local page warnings
  for page in "$work"/root/usr/share/man/man1/*.1.gz; do
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES ENVIRONMENT EXAMPLES "SEE ALSO"; do
      zcat "$page" | grep -q "^\.SH \"\?$section\"\?\$" || { echo "$page: no $section"; return 1; }
    done
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || { echo "$page: $warnings"; return 1; }
  done
}
check "each manual page has its sections, and man finds nothing to warn of" manual_pages

# The units as installed, their commands found where the package put them.
for name in jointcastd@ jointcast-listen; do
  unit=$work/$name.service
  sed "s|^ExecStart=\(jointcast[a-z-]*\) |ExecStart=$work/root/usr/bin/\1 |" \
    "$work/root/usr/lib/systemd/system/$name.service" >"$unit"
  check "systemd-analyze verify accepts $name.service" systemd-analyze verify "$unit"
  exposure() {
    local level
    level=$(systemd-analyze security --offline=true "$1" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    echo "     exposure $level"
    [[ -n $level ]] && awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }'
  }
  check "systemd-analyze security rates $name.service 2.0 or less" exposure "$unit"
done

# The maintainer scripts, as dpkg would run them, against stand-ins that write down each call;
# in a mount namespace whose /run says systemd runs, and with the package's files in a root of
# their own (DPKG_ROOT is where dpkg would install them; empty for the calls).
dpkg-deb -e "$deb" "$work/control"
check "the maintainer scripts pass shellcheck" shellcheck "$work/control/postinst" \
  "$work/control/prerm" "$work/control/postrm"
check "the listener's settings and the logrotate rule are configuration files" \
  diff <(sort "$work/control/conffiles") <(printf '/etc/jointcast/listen.conf\n/etc/logrotate.d/jointcast\n')
mkdir -p "$work/stand-ins"
for tool in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/calls" >"$work/stand-ins/$tool"
  chmod +x "$work/stand-ins/$tool"
done
maintainer() {  # maintainer SCRIPT ARGS...: what it called, one line each
  : >"$work/calls"
  unshare --mount sh -c 'mount -t tmpfs none /run && mkdir -p /run/systemd/system && exec "$@"' \
    sh env PATH="$work/stand-ins:$PATH" "$work/control/$1" "${@:2}" >/dev/null || return 1
  paste -sd ';' "$work/calls"
}
scripts() {
  local got
  got=$(maintainer postinst configure) || return 1
  [[ $got == "systemctl --system daemon-reload" ]] || { echo "install: $got"; return 1; }
  got=$(maintainer postinst configure 2.9.0) || return 1
  [[ $got == "systemctl --system daemon-reload;deb-systemd-invoke try-restart jointcastd@*.service jointcast-listen.service" ]] ||
    { echo "upgrade: $got"; return 1; }
  got=$(maintainer prerm upgrade 3.0.0) || return 1
  [[ -z $got ]] || { echo "prerm upgrade: $got"; return 1; }
  got=$(maintainer prerm remove) || return 1
  [[ $got == "deb-systemd-invoke stop jointcastd@*.service jointcast-listen.service" ]] ||
    { echo "remove: $got"; return 1; }
  mkdir -p "$work/scratch/etc/jointcast" "$work/scratch/etc/systemd/system/multi-user.target.wants"
  touch "$work/scratch/etc/jointcast/robot1.conf" \
    "$work/scratch/etc/systemd/system/multi-user.target.wants/jointcastd@robot1.service"
  DPKG_ROOT=$work/scratch "$work/control/postrm" remove
  [[ -f $work/scratch/etc/jointcast/robot1.conf ]] || { echo "remove took the settings"; return 1; }
  DPKG_ROOT=$work/scratch "$work/control/postrm" purge
  [[ ! -e $work/scratch/etc/jointcast ]] || { echo "purge left /etc/jointcast"; return 1; }
  [[ ! -e $work/scratch/etc/systemd/system/multi-user.target.wants/jointcastd@robot1.service ]] ||
    { echo "purge left an enabled instance's link"; return 1; }
}
if unshare --mount true 2>/dev/null; then
  check "maintainer scripts: reload, restart on upgrade, stop on remove, settings kept until purge" scripts
else
  echo "NOT RUN maintainer scripts' runs: no mount namespace here ($(unshare --mount true 2>&1))"
fi
logrotate_rule() {
  command -v logrotate >/dev/null || { echo "logrotate is not installed"; return 1; }
  local rule=$work/logrotate.conf
  mkdir -p "$work/rotate"
  printf 'unix_time,sender\n1,x\n' >"$work/rotate/plant.csv"
  sed "s|/var/lib/jointcast/|$work/rotate/|; s|systemctl kill .*|echo reopened >$work/rotate/signalled|" \
    "$work/root/etc/logrotate.d/jointcast" >"$rule"
  logrotate --force --state "$work/rotate/state" "$rule" &&
    [[ -f $work/rotate/plant.csv.1 && ! -e $work/rotate/plant.csv && -f $work/rotate/signalled ]]
}
check "the logrotate rule renames the recording and signals the listener" logrotate_rule

check "cmake --install to another prefix" \
  sh -c "DESTDIR='$work/staged' cmake --install '$build' --prefix /usr/local >/dev/null &&
         test -x '$work/staged/usr/local/bin/jointcastd' &&
         test -f '$work/staged/usr/local/lib/systemd/system/jointcastd@.service' &&
         test -f '$work/staged/usr/local/lib/systemd/system/jointcast-listen.service'"

echo "package: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
