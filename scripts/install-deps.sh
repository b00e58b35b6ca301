#!/usr/bin/env bash
# Installs what building and testing Jointcast needs on Debian, skipping what is already there.
# Usage: scripts/install-deps.sh [--test] [--windows]
#   --test     adds what only the tests need
#   --windows  adds the MinGW-w64 cross compilers, Wine (64- and 32-bit) and Xvfb for the Windows
#              build and its tests
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config qt6-base-dev libglib2.0-dev fonts-liberation libmosquitto-dev
  libcli11-dev libsystemd-dev help2man libcivetweb-dev libjs-dygraphs)
test=false
windows=false
for arg in "$@"; do
  case "$arg" in
    --test)
      test=true
      packages+=(libgtest-dev googletest locales python3 clang libclang-rt-14-dev iproute2 mosquitto mosquitto-clients
        dpkg-dev lintian systemd openssl chromium python3-websocket)
      ;;
    --windows)
      packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 googletest wine wine64 wine32:i386 fonts-wine
        xvfb xauth)
      windows=true
      ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

as_root() { if [[ $(id -u) -eq 0 ]]; then "$@"; else sudo "$@"; fi; }

# The shipped Windows program is 32-bit: its tests need the i386 Wine.
if $windows && ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
fi

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The tests check a locale whose decimal separator is a comma.
if $test && ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  echo "Generating the de_DE.UTF-8 locale"
  as_root sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen >/dev/null
fi
