#!/usr/bin/env bash
# Installs the tools' own clients that the end-to-end tests use (tests/e2e/npm/package.json, at
# the versions its lock file pins) into BUILD_DIR/npm, never globally; again only when the lock
# file changed.
#   scripts/npm-clients.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
target=$1/npm
mkdir -p "$target"
if cmp -s "$here/tests/e2e/npm/package-lock.json" "$target/package-lock.json" &&
  [[ -d $target/node_modules ]]; then
  exit 0
fi
cp "$here/tests/e2e/npm/package.json" "$here/tests/e2e/npm/package-lock.json" "$target/"
# No install scripts: the clients are plain JavaScript.
npm ci --prefix "$target" --ignore-scripts --no-audit --no-fund --loglevel=error
