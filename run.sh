#!/usr/bin/env bash
# Installs what is missing, builds, and starts the publisher against the simulated controller,
# with jointcast-listen showing the datagrams as they arrive on port 4849. Close the window (or
# press Ctrl-C) to stop both.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
echo "run.sh: building (a first build takes a few minutes)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
# What this script and the README's next steps use, with ninja's progress on the terminal.
cmake --build build -j "$(nproc)" --target jointcast jointcastd jointcast-listen jointcast-replay \
  jointcast-sim

build/jointcast-listen --bind 127.0.0.1 &
listener=$!
trap 'kill -INT $listener 2>/dev/null; wait $listener 2>/dev/null || true' EXIT
echo "run.sh: streaming; Ctrl-C (or closing the window) stops both. Then try:" \
  "'build/jointcast-listen --csv session.csv' to record a session, and" \
  "'build/jointcast-sim & build/jointcast --controller localhost:7000' for the proxy protocol"
build/jointcast
