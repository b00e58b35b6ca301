#!/usr/bin/env bash
# Where the 32-bit Wine suite runs: exit 0 natively (this kernel runs 32-bit programs and 32-bit
# Wine starts), exit 1 in the emulated 32-bit PC, with the reason on stdout.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if ! "$here/../../scripts/runs-32-bit.sh"; then
  exit 1
elif [[ ! -x /usr/lib/wine/wine ]]; then
  echo "32-bit Wine (wine32:i386) is not installed"
  exit 1
elif ! refusal=$(/usr/lib/wine/wine --version 2>&1); then
  echo "32-bit Wine does not start: $(tail -n 1 <<<"$refusal")"
  exit 1
fi
