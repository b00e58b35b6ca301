#!/usr/bin/env bash
# Runs the Windows build under Wine and Xvfb: the core's unit tests, then Jointcast.exe hosting
# the stand-in control, checked from outside by winprobe.exe and by jointcast-listen on the
# Linux side. Usage: tests/win/run-wine-tests.sh WIN64_BUILD_DIR LINUX_BUILD_DIR
set -uo pipefail
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
# The 64-bit loader and server themselves: 32-bit programs cannot run on every kernel.
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver64
export WINEPREFIX=$win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
logs=$win/wine-logs
rm -rf "$WINEPREFIX" "$logs"
mkdir -p "$logs"

passed=0
failed=0
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

# One wineserver for every step; a prefix of our own.
"$server" -p >/dev/null 2>&1 || true
"$wine" wineboot -i >"$logs/wineboot.log" 2>&1
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts" "$WINEPREFIX/drive_c/jointcast"
cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
cp "$win/Jointcast.exe" "$win/CrossStandIn.dll" "$win/tests/winprobe.exe" "$WINEPREFIX/drive_c/jointcast/"
app='C:\jointcast\Jointcast.exe'
probe='C:\jointcast\winprobe.exe'

check "stand-in control registers with regsvr32" "$wine" regsvr32 /s 'C:\jointcast\CrossStandIn.dll'
check "core unit tests built for Windows" "$wine" "$win/tests/jointcast_tests.exe" --gtest_brief=1

export JOINTCAST_STANDIN_LOG=$logs/standin.log

# Start the program, wait for it to end by itself within some seconds; returns 0 when it did.
start_app() { "$wine" "$app" >"$logs/app-$1.log" 2>&1 & app_pid=$!; }
ended_within() {
  for _ in $(seq $(($1 * 10))); do kill -0 "$app_pid" 2>/dev/null || return 0; sleep 0.1; done
  kill "$app_pid" 2>/dev/null; return 1
}

# A healthy controller: green indicators, datagrams to the Linux side, Exit once on close.
: >"$JOINTCAST_STANDIN_LOG"
"$linux/jointcast-listen" --bind 127.0.0.1 --count 12 --seconds 40 >"$logs/listen.log" 2>&1 &
listener=$!
start_app healthy
check "window layout, placement and green indicators" "$wine" "$probe" window green
wait "$listener"
summary=$(tail -n 1 "$logs/listen.log")
echo "     $summary"
stream_ok() {
  [[ "$summary" =~ ^summary:\ 12\ datagrams,\ 0\ malformed.*median\ ([0-9.]+)\ ms ]] &&
    awk -v m="${BASH_REMATCH[1]}" 'BEGIN { exit !(m >= 150 && m <= 350) }'
}
check "well-formed datagrams about five times a second" stream_ok
check "closing through the system menu" "$wine" "$probe" close
check "the program ends after closing" ended_within 10
check "Exit is called once on close" test "$(grep -c '^Exit' "$JOINTCAST_STANDIN_LOG")" -eq 1

# Registered but never ready: yellow.
JOINTCAST_STANDIN_FAULTS=notReady start_app notready
check "Cross indicator yellow while the controller is not ready" "$wine" "$probe" window yellow
"$wine" "$probe" close >/dev/null 2>&1; ended_within 10

# Registration refused: red.
JOINTCAST_STANDIN_FAULTS=refuseInit start_app refused
check "Cross indicator red while registration is refused" "$wine" "$probe" window red
"$wine" "$probe" close >/dev/null 2>&1; ended_within 10

# A read that is never answered ends the program by itself, without Exit.
: >"$JOINTCAST_STANDIN_LOG"
JOINTCAST_STANDIN_FAULTS=readsNeverComplete start_app timeout
check "a read time-out ends the program" ended_within 20
check "no Exit after a read time-out" test "$(grep -c '^Exit' "$JOINTCAST_STANDIN_LOG")" -eq 0

# Control not registered: the error box, and no window.
"$wine" regsvr32 /s /u 'C:\jointcast\CrossStandIn.dll' >/dev/null 2>&1
start_app missing
check "missing control: error box and no window" "$wine" "$probe" errorbox
check "missing control: the program ends" ended_within 10
cat "$logs/checks.log" | grep -E "^error box" | sed 's/^/     /'

echo "wine: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
