#!/usr/bin/env bash
# A faster stream: the headless publisher (jointcastd --period P) beside the peer (bench/peer.py
# --period P, a request every P ms, back to back for 0), each against its own jointcast-sim
# answering in 2 ms, at periods 0, 10, 20, 50 and the default 200, one after the other in the
# same run, each in a network namespace of its own where the machine allows. CPU is counted in
# nanoseconds (the scheduler's per-thread counters), all threads.
# Usage: bench/rate.sh [SECONDS]   (default 30 per run; about 6 minutes in all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

scripts/install-deps.sh --test >/dev/null
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DJOINTCAST_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" --target jointcastd jointcast-sim >/dev/null
results=$(mktemp)
trap 'rm -f "$results"' EXIT

for period in 0 10 20 50 200; do
  for sender in headless peer; do
    tests/in-own-network.sh python3 bench/measure.py "$sender" 2 "$seconds" build-bench \
      --period "$period" >>"$results"
  done
done

PYTHONPATH=bench python3 - "$results" <<'PY'
import json, sys
from table import cell, ratio, print_table
rows = [json.loads(line) for line in open(sys.argv[1]) if line.startswith("{")]
by = {(r["sender"], r["period"]): r for r in rows}
print_table(
    ["period", "sender", "datagrams/s", "interval median / p99 (ms)", "CPU per datagram (µs)",
     "wake-ups per datagram", "CPU / peer's"],
    [[f"{r['period']} ms", r["sender"], cell(r["per_second"]),
      f"{cell(r['interval_median'], '.2f')} / {cell(r['interval_p99'], '.2f')}",
      cell(r["cpu_us_per_datagram"], ".0f"), cell(r["wakeups_per_datagram"], ".2f"),
      cell(ratio(r["cpu_us_per_datagram"],
                 by.get(("peer", r["period"]), {}).get("cpu_us_per_datagram")), ".2f")
      if r["sender"] != "peer" else ""]
     for r in sorted(rows, key=lambda r: (r["period"], r["sender"]))])

def verdict(met):
    return "met" if met else "NOT met"

print()
print("Targets (headless publisher):")
p20, peer20 = by.get(("headless", 20)), by.get(("peer", 20))
if p20 and peer20:
    print(f"- 20 ms: {p20['per_second']:.2f}/s >= 49.5: {verdict(p20['per_second'] >= 49.5)}; "
          f"interval p99 {p20['interval_p99']:.2f} ms <= 22: {verdict(p20['interval_p99'] <= 22)}; "
          f"CPU {p20['cpu_us_per_datagram']:.0f} <= peer's {peer20['cpu_us_per_datagram']:.0f} µs: "
          f"{verdict(p20['cpu_us_per_datagram'] <= peer20['cpu_us_per_datagram'])}")
p0, peer0 = by.get(("headless", 0)), by.get(("peer", 0))
if p0 and peer0:
    print(f"- 0 ms: {p0['per_second']:.0f}/s >= peer's {peer0['per_second']:.0f}/s: "
          f"{verdict(p0['per_second'] >= peer0['per_second'])}; CPU {p0['cpu_us_per_datagram']:.0f} "
          f"<= half the peer's {peer0['cpu_us_per_datagram']:.0f} µs: "
          f"{verdict(p0['cpu_us_per_datagram'] <= peer0['cpu_us_per_datagram'] / 2)}")
p200 = by.get(("headless", 200))
if p200:
    print(f"- 200 ms: {p200['per_second']:.2f}/s, interval median {p200['interval_median']:.1f} ms "
          f"(5/s as before)")
PY
