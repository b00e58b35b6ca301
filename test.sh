#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   ./test.sh               Linux build and tests in build/, then the Windows builds (32- and
#                           64-bit) with their tests under Wine and Xvfb, and the release folder
#   ./test.sh --linux-only  without the Windows part
#   ./test.sh --sanitize    the Linux tests built with AddressSanitizer + UBSan, in build-sanitize/
# The first two also build the Debian package (build-release/) and check it.
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-all}
if [[ "$mode" == "all" ]]; then
  scripts/install-deps.sh --test --windows
else
  scripts/install-deps.sh --test
fi

# Where the 32-bit Wine suite will need the emulated 32-bit PC, it is made (or found in its cache)
# meanwhile: most of that is downloading and one core's work.
pc_build=
if [[ "$mode" == "all" ]] && ! tests/win/wine32-route.sh >/dev/null; then
  mkdir -p build
  setsid tests/win/i386-pc.sh build >build/i386-pc.log 2>&1 &
  pc_build=$!
  trap '[[ -z $pc_build ]] || kill -TERM -- -"$pc_build" 2>/dev/null' EXIT
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
scripts/npm-clients.sh "$dir"
# Qt runs without a display in tests.
QT_QPA_PLATFORM=offscreen ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"

# The Debian package, from a Release build of its own: contents, lintian, the systemd unit.
if [[ "$mode" != "--sanitize" ]]; then
  tests/package/check-deb.sh build-release
fi

if [[ "$mode" == "all" ]]; then
  # Windows: the 32-bit program (the one shipped to controller PCs) and the 64-bit one, each with
  # the stand-in control and the tests, each run under Wine; then the release folder.
  for bits in 32 64; do
    toolchain=cmake/mingw-i686.cmake
    [[ $bits == 64 ]] && toolchain=cmake/mingw-x86_64.cmake
    cmake -S . -B "build-win$bits" -G Ninja -DCMAKE_TOOLCHAIN_FILE=$toolchain \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "build-win$bits" -j "$(nproc)"
  done
  # What the 32-bit program imports, checked without running it, so on every machine: only
  # what Windows XP SP3 has. The check must also refuse a planted Vista+ import.
  tests/win/check-shipped-exe.py build-win32/Jointcast.exe \
    --planted build-win32/tests/planted_import.exe
  # The 32-bit suite runs natively, or in an emulated 32-bit PC where this kernel runs no 32-bit
  # program or 32-bit Wine is missing. It fails like any other, except where neither route can
  # start, which it says on a NOT RUN line with the reason (exit 3).
  status=0
  if [[ -n $pc_build ]]; then
    wait "$pc_build" || true  # what went wrong, the suite says
    pc_build=
  fi
  tests/win/run-wine-tests.sh 32 build-win32 build || status=$?
  [[ $status -eq 0 || $status -eq 3 ]] || exit "$status"
  tests/win/run-wine-tests.sh 64 build-win64 build
  scripts/package-windows.sh build-win32
fi
