#!/usr/bin/env bash
# The headless publisher against jointcast-sim for MINUTES (default 60), the simulator restarted
# every 2 minutes, in a network namespace of its own where the machine allows. See bench/soak.py.
# Usage: bench/soak.sh [MINUTES]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-60}
scripts/install-deps.sh --test >/dev/null
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DJOINTCAST_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" --target jointcastd jointcast-sim >/dev/null
exec tests/in-own-network.sh python3 bench/soak.py "$minutes" build-bench
