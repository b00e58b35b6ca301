#!/usr/bin/env bash
# Runs a Windows build under Wine and Xvfb: the core's unit tests, then Jointcast.exe hosting the
# stand-in control, checked from outside by winprobe.exe and by jointcast-listen on the Linux
# side. Usage: tests/win/run-wine-tests.sh 32|64 WIN_BUILD_DIR LINUX_BUILD_DIR
# The 32-bit suite runs natively where this kernel runs 32-bit programs and 32-bit Wine is
# installed; elsewhere the same checks run in an emulated 32-bit PC (tests/win/i386-pc.sh), with a
# counter of its own in place of jointcast-listen. The route is said on one line.
# Exit status: 0 all passed, 1 a check failed, 3 neither route can start here (why, on stdout).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bits=$1
win=$(cd "$2" && pwd)
linux=$(cd "$3" && pwd)
listen=${JOINTCAST_WINE_LISTENER:-$linux/jointcast-listen}

if [[ $bits == 32 && -z ${JOINTCAST_IN_I386_PC:-} ]] && ! why=$("$here/wine32-route.sh"); then
  echo "32-bit Wine suite: in an emulated 32-bit PC, as $why"
  pc_status=0
  "$here/i386-pc.sh" build >"$win/i386-pc-build.log" 2>&1 || pc_status=$?
  if ((pc_status)); then
    cat "$win/i386-pc-build.log"
    ((pc_status == 3)) && echo "NOT RUN 32-bit Wine suite: the emulated 32-bit PC $(sed -n 's/^i386-pc: //p' "$win/i386-pc-build.log" | tail -n 1)"
    exit "$pc_status"
  fi
  job=$(mktemp -d)
  trap 'rm -rf "$job"' EXIT
  mkdir -p "$job/win/tests"
  cp "$win/Jointcast.exe" "$win/CrossStandIn.dll" "$job/win/"
  cp "$win/tests/winprobe.exe" "$win/tests/atl.dll" "$job/win/tests/"
  cp "$here/run-wine-tests.sh" "$here/count-datagrams.py" "$here/../../scripts/runs-32-bit.sh" "$job/"
  # On a 32-bit kernel the test program that tells whether one runs here must run.
  cat >"$job/run" <<'EOF'
#!/bin/sh
./runs-32-bit.sh >/dev/null || { echo "FAIL scripts/runs-32-bit.sh: its test program does not run on a 32-bit kernel"; exit 1; }
JOINTCAST_IN_I386_PC=1 JOINTCAST_WINE_LISTENER=/job/count-datagrams.py ./run-wine-tests.sh 32 win .
status=$?
[ $status -eq 0 ] || { echo "---- checks.log"; tail -n 150 win/wine-logs/checks.log; }
exit $status
EOF
  chmod +x "$job/run"
  "$here/i386-pc.sh" run "$job" 1800
  exit
fi

# Fixed ports: the native suites run in a network namespace of their own.
if [[ -z ${JOINTCAST_IN_I386_PC:-}${JOINTCAST_OWN_NETWORK:-} ]]; then
  JOINTCAST_OWN_NETWORK=1 exec "$here/../in-own-network.sh" "$0" "$@"
fi

export WINEPREFIX=$win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [[ $bits == 64 ]]; then
  wine=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64
else
  wine=wine server=wineserver
  [[ -n ${JOINTCAST_IN_I386_PC:-} ]] || echo "32-bit Wine suite: natively, on this machine"
fi
logs=$win/wine-logs
rm -rf "$WINEPREFIX" "$logs"
mkdir -p "$logs"

passed=0
failed=0
exec 3>&1
check() {  # check NAME COMMAND...
  if "${@:2}" >>"$logs/checks.log" 2>&1; then
    echo "ok   $1"; passed=$((passed + 1))
  else
    echo "FAIL $1 (see $logs/checks.log)"; failed=$((failed + 1))
  fi
}

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$logs/xvfb.log" 2>&1 &
xvfb=$!
export DISPLAY=$display
cleanup() {
  "$server" -k >/dev/null 2>&1 || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
sleep 1
if ! kill -0 "$xvfb" 2>/dev/null; then
  echo "FAIL Xvfb did not start on $display (see $logs/xvfb.log)"
  exit 1
fi

# One wineserver for every step; a prefix of our own.
"$server" -p >/dev/null 2>&1 || true
timeout 300 "$wine" wineboot -i >"$logs/wineboot.log" 2>&1
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts" "$WINEPREFIX/drive_c/jointcast"
cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
folder=$WINEPREFIX/drive_c/jointcast
cp "$win/Jointcast.exe" "$win/CrossStandIn.dll" "$win/tests/winprobe.exe" "$folder/"
# An atl.dll of our own beside the program: it must never be the one loaded.
cp "$win/tests/atl.dll" "$folder/"
app='C:\jointcast\Jointcast.exe'
probe='C:\jointcast\winprobe.exe'

check "stand-in control registers with regsvr32" timeout 120 "$wine" regsvr32 /s 'C:\jointcast\CrossStandIn.dll'
if [[ -f $win/tests/jointcast_tests.exe ]]; then
  check "core unit tests built for Windows" timeout 300 "$wine" "$win/tests/jointcast_tests.exe" --gtest_brief=1
else
  # The XP build's thread model has no std::mutex, which GoogleTest needs.
  echo "skip core unit tests: not built for $bits bits (they run in the 64-bit suite)"
fi

export JOINTCAST_STANDIN_LOG=$logs/standin.log

# Start the program, wait for it to end by itself within some seconds; returns 0 when it did.
start_app() { "$wine" "$app" "${@:2}" >"$logs/app-$1.log" 2>&1 & app_pid=$!; }
ended_within() {
  for _ in $(seq $(($1 * 10))); do kill -0 "$app_pid" 2>/dev/null || return 0; sleep 0.1; done
  kill "$app_pid" 2>/dev/null; return 1
}
close_app() { "$wine" "$probe" close >/dev/null 2>&1; ended_within 10; }

# Twelve datagrams received on the Linux side while the program runs, from a listener started
# beforehand; the check is on their count, form and interval.
start_listener() {
  "$listen" --bind 127.0.0.1 --count 12 --seconds 40 >"$logs/listen-$1.log" 2>&1 &
  listener=$!
}
stream_ok() {  # stream_ok NAME [LOWEST HIGHEST]: the median interval in ms, 150 to 350 unless said
  wait "$listener"
  local summary
  summary=$(tail -n 1 "$logs/listen-$1.log")
  echo "     $summary" >&3  # beside the check's line, not only in its log
  [[ "$summary" =~ ^summary:\ 12\ datagrams,\ 0\ malformed.*median\ ([0-9.]+)\ ms ]] &&
    awk -v m="${BASH_REMATCH[1]}" -v low="${2:-150}" -v high="${3:-350}" \
      'BEGIN { exit !(m >= low && m <= high) }'
}

# A healthy controller: green indicators, datagrams to the Linux side, keyboard focus in the
# address field, Enter and the status line, Exit once on close.
: >"$JOINTCAST_STANDIN_LOG"
start_listener healthy
# Native before builtin for atl, as on Windows: a planted atl.dll would win the plain search.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;atl=n,b" start_app healthy
check "window layout, placement and green indicators" "$wine" "$probe" window green
check "well-formed datagrams about five times a second" stream_ok healthy
check "an atl.dll beside the program is not loaded" test ! -e "$folder/planted-dll-was-loaded"
check "keyboard focus: the address field, and back where it was" "$wine" "$probe" focus
check "Enter runs Set; the status line's error and its 5 s" "$wine" "$probe" status
check "closing through the system menu" "$wine" "$probe" close
check "the program ends after closing" ended_within 10
check "Exit is called once on close" test "$(grep -c '^Exit' "$JOINTCAST_STANDIN_LOG")" -eq 1

# The user's locale: a decimal comma in the labels. Every Wine process writes its own Unix
# locale into the prefix's user locale as it starts, and the program reads the separator live, so
# the probe runs in the same locale (in another one it would switch the labels to a point). So do
# the helper processes a session starts on demand (the COM server the control needs, say), in
# the locale of the session's first process: the session begins anew in the locale under test,
# and after it anew in the default one. Left to chance, a slower machine loses that race.
new_session() { "$server" -k 2>/dev/null; "$server" -w; "$server" -p; }
LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8 new_session
LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8 start_app comma
check "labels use the locale's decimal comma" env LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8 \
  "$wine" "$probe" decimal ,
close_app
new_session

# The Windows the prefix reports: the oldest the build is for, and Windows 7. The program must
# not depend on it (no Vista+ import, the safe DLL search looked up at run time).
default_version=$("$wine" winecfg -v 2>/dev/null | tr -d '\r')
versions=(winxp win7)
[[ $bits == 64 ]] && versions=(winxp64 win7)
for version in "${versions[@]}"; do
  if ! "$wine" winecfg -v "$version" >>"$logs/checks.log" 2>&1; then
    check "Wine reports $version" false
    continue
  fi
  start_listener "$version"
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;atl=n,b" start_app "$version"
  check "as $version: green indicators" "$wine" "$probe" window green
  check "as $version: well-formed datagrams about five times a second" stream_ok "$version"
  close_app
done
"$wine" winecfg -v "${default_version:-win10}" >/dev/null 2>&1

# --period: a faster stream when asked for; a bad value is a message box, and no window.
start_listener period
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;atl=n,b" start_app period --period 50
check "--period 50: a datagram every 50 ms" stream_ok period 40 80
close_app
start_app badperiod --period=fast
check "--period with a bad value: message box" "$wine" "$probe" errorbox "--period takes"
check "--period with a bad value: the program ends" ended_within 10

# Without ATL the program hosts the control itself, as a host must: it still streams.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;atl=" start_app noatl
check "without atl.dll the control is hosted directly and streams" "$wine" "$probe" window green
close_app

# Registered but never ready: yellow.
JOINTCAST_STANDIN_FAULTS=notReady start_app notready
check "Cross indicator yellow while the controller is not ready" "$wine" "$probe" window yellow
close_app

# Registration refused: red.
JOINTCAST_STANDIN_FAULTS=refuseInit start_app refused
check "Cross indicator red while registration is refused" "$wine" "$probe" window red
close_app

# An automation exception from the control: its own description in the error box, and on.
JOINTCAST_STANDIN_FAULTS=raiseOnInit start_app raises
check "a control's exception shows its description" "$wine" "$probe" runerror \
  "controller refused the client name"
# The state stays where the exception left it, so the next idle call raises again, box after
# box (as any error raised while the window runs): the program is ended from outside.
ended_within 1 || true

# A read that is never answered ends the program by itself, without Exit.
: >"$JOINTCAST_STANDIN_LOG"
JOINTCAST_STANDIN_FAULTS=readsNeverComplete start_app timeout
check "a read time-out ends the program" ended_within 20
check "no Exit after a read time-out" test "$(grep -c '^Exit' "$JOINTCAST_STANDIN_LOG")" -eq 0

# A control whose events cannot be received: a start-up error that names it, no window.
for fault in noEvents refuseAdvise; do
  JOINTCAST_STANDIN_FAULTS=$fault start_app "$fault"
  check "control without events ($fault): start-up error box" "$wine" "$probe" errorbox \
    "CrossLib control does not deliver its events"
  check "control without events ($fault): the program ends" ended_within 10
done

# Control not registered: the error box, and no window.
"$wine" regsvr32 /s /u 'C:\jointcast\CrossStandIn.dll' >/dev/null 2>&1
start_app missing
check "missing control: error box and no window" "$wine" "$probe" errorbox \
  "CrossLib control is not registered"
check "missing control: the program ends" ended_within 10
grep -E "^error box" "$logs/checks.log" | sort -u | sed 's/^/     /'

echo "wine ($bits-bit): $passed passed, $failed failed"
[[ $failed -eq 0 ]]
