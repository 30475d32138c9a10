#!/usr/bin/env bash
# Installs what the build needs (Debian 12 packages) and builds the station.
# Usage: scripts/setup.sh [BUILD_DIR] [extra cmake options...]
# ZELOR_BUILD_TARGETS="a b" builds only those targets (default: everything).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-"$root/build"}
shift || true

packages=(cmake ninja-build g++ pkg-config qt6-base-dev libftdi1-dev libusb-1.0-0-dev libpq-dev libjs-chart.js libbenchmark-dev fonts-dejavu-core bc)
if [ "${ZELOR_NEED_XVFB:-0}" = 1 ]; then  # the tests: a real window, third-party FTDI clients, a real PostgreSQL
  packages+=(xvfb xauth xdotool python3 ftdi-eeprom python3-ftdi1 python3-usb postgresql-15 openssl chromium)
fi
# shellcheck disable=SC2206
packages+=(${ZELOR_EXTRA_PACKAGES:-})

# shellcheck source=scripts/lib/packages.sh
. "$root/scripts/lib/packages.sh"
install_missing "${packages[@]}"

cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
targets=()
for target in ${ZELOR_BUILD_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build_dir" --parallel "$(nproc)" "${targets[@]}"
