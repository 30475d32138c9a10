#!/usr/bin/env bash
# Cross-builds the part of Qt the station needs for 64-bit Windows, from
# Debian's own qt6-base source, with Debian's mingw-w64 and the host's Qt tools
# of the same version. The result is cached outside the clone and reused:
#   ${XDG_CACHE_HOME:-~/.cache}/zelor-k3-tester/qt-<version>-mingw64-<key>
# where <key> follows this script's configure options and toolchain file.
# Prints the prefix on its last line.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/zelor-k3-tester
as_root=(); [ "$(id -u)" = 0 ] || as_root=(sudo)

packages=(g++-mingw-w64-x86-64-posix cmake ninja-build dpkg-dev perl xz-utils qt6-base-dev
          qt6-base-dev-tools)
# shellcheck disable=SC2206
packages+=(${ZELOR_EXTRA_PACKAGES:-})
# shellcheck source=scripts/lib/packages.sh
. "$here/../lib/packages.sh"
# shellcheck source=scripts/lib/prebuilt.sh
. "$here/../lib/prebuilt.sh"
install_missing "${packages[@]}" > /dev/null

# The source must be the host tools' own version.
host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
qt_version=${host_version%%+*}

# Only what the station, its simulated bench, its report and its tests use.
options=(
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DQT_QMAKE_TARGET_MKSPEC=win32-g++
  -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF -DFEATURE_dbus=OFF
  -DFEATURE_icu=OFF -DFEATURE_zstd=OFF -DFEATURE_sql=OFF -DFEATURE_network=OFF
  -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
  -DFEATURE_direct2d=OFF -DFEATURE_directwrite3=OFF -DFEATURE_jpeg=OFF
  # Debian's source drops src/3rdparty/wintab (licence), which tablet support needs.
  -DFEATURE_tabletevent=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_system_doubleconversion=OFF
)
key=$( (printf '%s\n' "${options[@]}"; cat "$here/mingw-w64.cmake") | sha256sum | cut -c1-12)
prefix="$cache/qt-$qt_version-mingw64-$key"
[ -f "$prefix/.complete" ] || use_prebuilt "$prefix" || true
if [ -f "$prefix/.complete" ]; then
  echo "Qt for Windows already built:"
  echo "$prefix"
  exit 0
fi

work="$cache/work-$key"
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix/share/zelor"
# The installed Qt remembers its toolchain file: keep a copy beside it.
cp "$here/mingw-w64.cmake" "$prefix/share/zelor/mingw-w64.cmake"

enable_sources qt6-base "$host_version"
(cd "$work" && apt-get source -q --download-only "qt6-base=$host_version" \
  && dpkg-source -x qt6-base_*.dsc src > /dev/null)

start=$(date +%s)
cmake -S "$work/src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$prefix/share/zelor/mingw-w64.cmake" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$prefix" "${options[@]}" > "$work/configure.log"
nice -n 19 cmake --build "$work/build" --parallel "$(nproc)" > "$work/build.log" \
  || { tail -40 "$work/build.log"; exit 1; }
cmake --install "$work/build" --strip > /dev/null
echo "Qt $qt_version for Windows built in $(( $(date +%s) - start )) s" | tee "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
