#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer (and ASan, UBSan) and runs each in turn, from the
# committed seed corpora in fuzz/corpus/.
#   fuzz/run.sh [SECONDS]   each target for SECONDS (default 20), as CI does
#   fuzz/run.sh --long      each target until at least 10 million executions
# Prints a table: target, executions, seconds, findings. Exits non-zero on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=(-max_total_time="${1:-20}")
[[ ${1:-} == --long ]] && limit=(-runs=10000000)
out=build-fuzz
mkdir -p "$out"

declare -A sources=(
  [reply-scan]="fuzz/ReplyScanFuzz.cpp app/AxisReply.cpp app/PositionDatagram.cpp app/FixedDecimal.cpp"
  [datagram-format]="fuzz/DatagramFormatFuzz.cpp app/PositionDatagram.cpp app/FixedDecimal.cpp tools/listen/StreamStats.cpp"
  [proxy-reply-decoder]="fuzz/ProxyReplyDecoderFuzz.cpp lib/proxy/ProxyProtocol.cpp"
  [proxy-request-decoder]="fuzz/ProxyRequestDecoderFuzz.cpp lib/proxy/ProxyProtocol.cpp"
  [listen-check]="fuzz/ListenCheckFuzz.cpp tools/listen/StreamStats.cpp"
  [settings]="fuzz/SettingsFuzz.cpp portable/ReceiverList.cpp tools/listen/SenderNames.cpp -lmosquitto"
)
targets=(reply-scan datagram-format proxy-reply-decoder proxy-request-decoder listen-check settings)

for target in "${targets[@]}"; do
  # shellcheck disable=SC2086  # the list of sources is meant to split
  clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I. \
    ${sources[$target]} -o "$out/$target"
done

found=0
echo "| target | executions | seconds | findings |"
echo "|---|---|---|---|"
for target in "${targets[@]}"; do
  corpus=$out/corpus-$target
  mkdir -p "$corpus" "$out/findings-$target"
  status=0
  "$out/$target" "${limit[@]}" -max_len=4096 -artifact_prefix="$out/findings-$target/" \
    "$corpus" "fuzz/corpus/$target" >"$out/$target.log" 2>&1 || status=$?
  done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$out/$target.log" | tail -n 1 || true)
  runs=$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\1/' <<<"$done_line")
  secs=$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\2/' <<<"$done_line")
  findings=$(find "$out/findings-$target" -type f | wc -l)
  if ((status != 0 || findings > 0)); then
    found=1
    findings="$findings (see $out/$target.log)"
  fi
  echo "| $target | ${runs:-?} | ${secs:-?} | $findings |"
done
exit "$found"
