#!/usr/bin/env bash
# Installs what building and testing Jointcast needs on Debian, skipping what is already there.
# Usage: scripts/install-deps.sh [--test] [--windows]
#   --test     adds what only the tests need
#   --windows  adds the MinGW-w64 cross compilers, 64-bit Wine, Xvfb and the emulated 32-bit PC's
#              tools for the Windows build and its tests; and 32-bit Wine (wine32:i386), but only
#              on a kernel that runs 32-bit programs, and only as an optional package
# A package that the build or a test needs fails the install. An optional one that cannot be had
# is named on one line with the reason, and the install goes on: the suite that wanted it says
# NOT RUN or takes its other route. So does an index that could not be fetched: apt decides
# whether what it had is enough.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(cmake ninja-build g++ pkg-config qt6-base-dev libglib2.0-dev fonts-liberation libmosquitto-dev
  libcli11-dev libsystemd-dev help2man libcivetweb-dev libjs-dygraphs protobuf-compiler libprotobuf-dev
  nlohmann-json3-dev)
optional=()
test=false
windows=false
for arg in "$@"; do
  case "$arg" in
    --test)
      test=true
      packages+=(libgtest-dev googletest locales python3 clang libclang-rt-14-dev iproute2 mosquitto mosquitto-clients
        dpkg-dev lintian shellcheck logrotate systemd openssl chromium python3-websocket prometheus
        nodejs)
      ;;
    --windows)
      # debootstrap, qemu and cpio make and start the emulated 32-bit PC, the 32-bit suite's
      # route on a kernel that runs no 32-bit program.
      packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 googletest wine wine64 fonts-wine
        xvfb xauth debootstrap qemu-system-x86 qemu-user-static cpio gzip wget ca-certificates)
      windows=true
      ;;
  esac
done

as_root() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# 32-bit Wine only where the kernel runs a 32-bit program at all: otherwise the i386 architecture
# and its index are a cost (and a failure when that index is out of sync) for nothing.
if $windows; then
  if reason=$("$here/runs-32-bit.sh"); then
    optional+=(wine32:i386)
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      as_root dpkg --add-architecture i386
    fi
  elif ! installed wine32:i386; then
    echo "install-deps: 32-bit Wine left out: $reason"
  fi
fi

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
missing_optional=()
for p in ${optional[@]+"${optional[@]}"}; do installed "$p" || missing_optional+=("$p"); done

# apt's messages in English, for the lines below that read them.
apt() { as_root env LC_ALL=C DEBIAN_FRONTEND=noninteractive apt-get "$@"; }
install() { apt install -y -qq --no-install-recommends "$@"; }

if ((${#missing[@]} + ${#missing_optional[@]})); then
  echo "Installing: ${missing[*]} ${missing_optional[*]}"
  # apt-get update fails as a whole when one index cannot be fetched (a mirror in the middle of a
  # sync, say): name those and go on with what was fetched.
  # (It only warns when it cannot reach a mirror at all.)
  log=$(mktemp)
  updated=0
  apt update -qq >"$log" 2>&1 || updated=$?
  failed=$(grep -oE "Failed to fetch [^ ]+" "$log" | sed 's/^Failed to fetch //' | sort -u | paste -sd ' ' || true)
  if [[ $updated -ne 0 || -n $failed ]]; then
    echo "install-deps: apt-get update could not fetch: ${failed:-$(tail -n 1 "$log")}; going on with the indexes it has"
  fi
  rm -f "$log"
  ((${#missing[@]})) && install "${missing[@]}"
  for p in ${missing_optional[@]+"${missing_optional[@]}"}; do
    # -q, not -qq: only then does apt say which dependency cannot be had.
    if ! out=$(apt install -y -q --no-install-recommends "$p" 2>&1); then
      why=$(grep -E '^E: |Depends:' <<<"$out" | head -n 2 | sed 's/^ *//' | paste -sd ';' || true)
      echo "install-deps: optional $p not installed: ${why:-apt-get install failed}"
    fi
  done
fi

# npm, for the tools' own clients the tests use: a Node.js from elsewhere (NodeSource's) brings
# its own and conflicts with Debian's package, which is installed only where the command is missing.
if $test && ! command -v npm >/dev/null; then
  echo "Installing: npm"
  install npm
fi

# The tests check a locale whose decimal separator is a comma.
if $test && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  echo "Generating the de_DE.UTF-8 locale"
  as_root sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen >/dev/null
fi
