#!/usr/bin/env bash
# Installs what is missing, builds, and starts the publisher against the simulated controller,
# with jointcast-listen showing the datagrams as they arrive on port 4849. Close the window (or
# press Ctrl-C) to stop both.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target jointcast jointcast-listen

build/jointcast-listen --bind 127.0.0.1 &
listener=$!
trap 'kill -INT $listener 2>/dev/null; wait $listener 2>/dev/null || true' EXIT
build/jointcast
