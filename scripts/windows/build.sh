#!/usr/bin/env bash
# Cross-builds the station for 64-bit Windows (zelor-k3-tester on FTDI's D2XX,
# zelor-k3-tester-sim, zelor-k3-report, the tests) and its NSIS installer,
# against the Qt that build-qt.sh makes (built on first use, then cached).
# Usage: scripts/windows/build.sh [BUILD_DIR]   (default: build-windows)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-"$root/build-windows"}

ZELOR_EXTRA_PACKAGES="nsis fonts-dejavu-core libjs-chart.js" "$root/scripts/windows/build-qt.sh" > "$root/.qt-windows.log"
qt=$(tail -1 "$root/.qt-windows.log")
rm -f "$root/.qt-windows.log"

"$root/scripts/windows/build-libpq.sh" > "$root/.libpq-windows.log"
libpq=$(tail -1 "$root/.libpq-windows.log")
rm -f "$root/.libpq-windows.log"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELOR_LIBPQ_PREFIX="$libpq" \
  -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DQT_CHAINLOAD_TOOLCHAIN_FILE="$qt/share/zelor/mingw-w64.cmake" \
  -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64
cmake --build "$build" --parallel "$(nproc)"
(cd "$build" && cpack -G NSIS > /dev/null)
echo "Installer: $(ls "$build"/zelor-k3-tester-*-windows-x64.exe)"
