#!/usr/bin/env bash
# Builds the decoder fuzzer with clang's libFuzzer and runs it for a bounded time.
# Usage: fuzz/run.sh [SECONDS]   (default 30)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
out=build-fuzz
mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -I. \
  fuzz/ProxyDecoderFuzz.cpp lib/proxy/ProxyProtocol.cpp -o "$out/proxy-decoder-fuzz"
"$out/proxy-decoder-fuzz" -max_total_time="$seconds" -max_len=70000 "$out/corpus" 2>&1 | tail -n 3
