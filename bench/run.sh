#!/usr/bin/env bash
# Benchmark of the publisher against the simulated controller, at two controller latencies.
# For each: datagram intervals as received by jointcast-listen, the publisher's CPU use and peak
# RSS, and (from an instrumented run of the same loop) the time from a read's completion event to
# its datagram leaving. Usage: bench/run.sh [SECONDS]   (default 30 per latency)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DJOINTCAST_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null
export QT_QPA_PLATFORM=offscreen
hz=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

echo "| controller latency | datagrams | interval mean | median | p99 | max | event to send median / p99 | CPU (% of one core) | peak RSS |"
echo "|---|---|---|---|---|---|---|---|---|"
for latency in 5 300; do
  out=$(mktemp)
  build-bench/jointcast-listen --bind 127.0.0.1 --quiet --seconds "$((seconds + 2))" >"$out" 2>/dev/null &
  listener=$!
  sleep 0.5
  JOINTCAST_SIM_LATENCY_MS=$latency build-bench/jointcast 2>/dev/null &
  publisher=$!
  sleep 2  # start-up and connection are not what is measured
  t0=$(cpu_ticks $publisher); s0=$(date +%s.%N)
  sleep "$seconds"
  t1=$(cpu_ticks $publisher); s1=$(date +%s.%N)
  rss=$(awk '/VmHWM/ {print $2}' "/proc/$publisher/status")
  kill $publisher; wait $publisher 2>/dev/null || true
  wait $listener
  summary=$(tail -n 1 "$out"); rm -f "$out"
  cpu=$(awk -v a="$t0" -v b="$t1" -v s="$s0" -v e="$s1" -v hz="$hz" 'BEGIN {printf "%.1f", 100 * (b - a) / hz / (e - s)}')
  lat=$(build-bench/jointcast-bench-latency --latency "$latency" --seconds "$seconds" 2>/dev/null | tail -n 1)
  read -r n mean median p99 max < <(echo "$summary" | sed -E 's/summary: ([0-9]+) datagrams.*mean ([0-9.]+) ms, median ([0-9.]+) ms, p99 ([0-9.]+) ms, max ([0-9.]+) ms/\1 \2 \3 \4 \5/')
  read -r lmed lp99 < <(echo "$lat" | sed -E 's/.*median ([0-9.]+) ms, p99 ([0-9.]+) ms.*/\1 \2/')
  echo "| $latency ms | $n | $mean ms | $median ms | $p99 ms | $max ms | $lmed / $lp99 ms | $cpu % | $((rss / 1024)) MiB |"
done
