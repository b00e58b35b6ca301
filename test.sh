#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   ./test.sh               Linux build and tests in build/, then the Windows build (64- and
#                           32-bit) and its tests under Wine and Xvfb
#   ./test.sh --linux-only  without the Windows part
#   ./test.sh --sanitize    the Linux tests built with AddressSanitizer + UBSan, in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-all}
if [[ "$mode" == "all" ]]; then
  scripts/install-deps.sh --test --windows
else
  scripts/install-deps.sh --test
fi

dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [[ "$mode" == "--sanitize" ]]; then
  dir=build-sanitize
  flags=(-DCMAKE_BUILD_TYPE=Debug -DJOINTCAST_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
# Qt runs without a display in tests.
QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"

if [[ "$mode" == "all" ]]; then
  # Windows: the 64-bit build with its tests, run under Wine; the 32-bit one (the one shipped to
  # controller PCs) is built only, as 32-bit programs cannot run on every Linux kernel.
  cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build-win64 -j "$(nproc)"
  cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release -DJOINTCAST_TESTS=OFF >/dev/null
  cmake --build build-win32 -j "$(nproc)"
  tests/in-own-network.sh tests/win/run-wine-tests.sh build-win64 build
fi
