#!/usr/bin/env bash
# The publisher beside a peer: for each controller latency (0, 5, 50 and 300 ms) the headless
# publisher (jointcastd), the Qt window offscreen, the Qt window painting on a real X server
# (Xvfb), the Windows program under Wine and
# bench/peer.py, a minimal Python poller, each against its own controller (jointcast-sim; under
# Wine the stand-in control's simulated one), one after the other in the same run (in parallel the
# two-core machine's scheduling noise swamps the tail figures). Each run has a network namespace
# of its own where the machine allows. Prints a table and the ratios publisher / peer.
# CPU is counted in nanoseconds (the scheduler's per-thread counters).
# Usage: bench/run.sh [SECONDS]   (default 60 per run; about 22 minutes in all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/install-deps.sh --test >/dev/null
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DJOINTCAST_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" --target jointcast jointcastd jointcast-sim >/dev/null

# Under Wine: the shipped 32-bit program where this kernel runs 32-bit programs, else the
# 64-bit one; with the stand-in control, registered in a prefix of the benchmark's own.
bits=64 wine=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64
if /usr/lib/wine/wine --version >/dev/null 2>&1; then bits=32 wine=wine server=wineserver; fi
toolchain=cmake/mingw-x86_64.cmake
[[ $bits == 32 ]] && toolchain=cmake/mingw-i686.cmake
win=build-bench-win$bits
scripts/install-deps.sh --windows >/dev/null
cmake -S . -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE=$toolchain -DCMAKE_BUILD_TYPE=Release \
  -DJOINTCAST_TESTS=OFF >/dev/null
cmake --build "$win" -j "$(nproc)" >/dev/null
export WINEPREFIX=$PWD/$win/wineprefix WINEDEBUG=-all DISPLAY=:$((90 + RANDOM % 100)) BENCH_WINE=$wine
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
results=$(mktemp)
trap 'rm -f "$results"; "$server" -k >/dev/null 2>&1 || true; kill $xvfb 2>/dev/null || true' EXIT
rm -rf "$WINEPREFIX"
timeout 300 "$wine" wineboot -i >/dev/null 2>&1
mkdir -p "$WINEPREFIX/drive_c/jointcast"
cp "$win/Jointcast.exe" "$win/CrossStandIn.dll" "$WINEPREFIX/drive_c/jointcast/"
timeout 120 "$wine" regsvr32 /s 'C:\jointcast\CrossStandIn.dll'
"$server" -w  # the registry on disk; each run then starts a server in its own namespace
export BENCH_WINESERVER=$server

for latency in 0 5 50 300; do
  for sender in headless offscreen xvfb peer wine; do
    tests/in-own-network.sh python3 bench/measure.py "$sender" "$latency" "$seconds" build-bench \
      "$win" >>"$results"
  done
done
echo "Under Wine: the ${bits}-bit Jointcast.exe with the stand-in control (its own simulated controller)."

PYTHONPATH=bench python3 - "$results" <<'PY'
import json, sys
from table import cell, ratio, print_table
rows = [json.loads(line) for line in open(sys.argv[1]) if line.startswith("{")]
by = {(r["sender"], r["latency"]): r for r in rows}
order = ["headless", "offscreen", "xvfb", "wine", "peer"]
print_table(
    ["latency", "sender", "datagrams", "interval median / p99 / max (ms)",
     "CPU per datagram (µs)", "wake-ups per datagram", "reply to datagram median / p99 (ms)",
     "peak RSS (MiB)", "start to first datagram (s)"],
    [[f"{r['latency']} ms", r["sender"], str(r["datagrams"]),
      f"{cell(r['interval_median'])} / {cell(r['interval_p99'])} / {cell(r['interval_max'])}",
      cell(r["cpu_us_per_datagram"], ".0f"), cell(r["wakeups_per_datagram"], ".2f"),
      f"{cell(r['reply_to_datagram_median'], '.3f')} / {cell(r['reply_to_datagram_p99'], '.3f')}",
      cell(r["peak_rss_mib"]), cell(r["start_to_first_datagram"], ".2f")]
     for r in sorted(rows, key=lambda r: (r["latency"], order.index(r["sender"])))])
print()
print("Ratios publisher / peer (CPU per datagram, wake-ups per datagram, reply to datagram p99, peak RSS):")
for latency in sorted({r["latency"] for r in rows}):
    peer = by.get(("peer", latency))
    for sender in order[:-1]:
        r = by.get((sender, latency))
        if not (r and peer):
            continue
        part = lambda key: cell(ratio(r[key], peer[key]), ".2f")
        print(f"- {latency} ms, {sender}: CPU {part('cpu_us_per_datagram')}, wake-ups "
              f"{part('wakeups_per_datagram')}, latency p99 {part('reply_to_datagram_p99')}, "
              f"RSS {part('peak_rss_mib')}")
PY
