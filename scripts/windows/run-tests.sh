#!/usr/bin/env bash
# Builds the Windows programs and their installer (build.sh), then tests them
# under wine: the Qt Test suites and fuzz replays that need no libftdi1 or
# libusb, on Qt's offscreen platform; then, under a virtual X server, the
# installer and the installed station clicked on the D2XX double.
# Usage: scripts/windows/run-tests.sh [BUILD_DIR]   (default: build-windows)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-"$root/build-windows"}

# shellcheck source=scripts/lib/packages.sh
. "$root/scripts/lib/packages.sh"
install_missing wine wine64 xvfb xauth xdotool python3 postgresql-15 openssl

"$root/scripts/windows/build.sh" "$build"
ZELOR_LIBPQ_PREFIX=$("$root/scripts/windows/build-libpq.sh" | tail -1)
export ZELOR_LIBPQ_PREFIX

wine=/usr/lib/wine/wine64
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
quietly() { "$@" < /dev/null > /dev/null 2>&1; }
setenv() { quietly "$wine" reg add 'HKCU\Environment' /v "$1" /d "$2" /f; }
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  quietly "$wine" wineboot --init
  quietly /usr/lib/wine/wineserver -w # the new prefix written out
fi
# A server and wine's own services started here, not by a test whose output
# they would then hold open; none left from an earlier run.
quietly /usr/lib/wine/wineserver -k || true
quietly /usr/lib/wine/wineserver -p
trap 'quietly /usr/lib/wine/wineserver -k || true' EXIT
# Wine hands Windows programs no QT_* variables: they go in the prefix's
# environment. Qt Test speaks to stderr, not to the debugger channel.
setenv QT_FORCE_STDERR_LOGGING 1
setenv QT_QPA_PLATFORM offscreen

(cd "$build" && ctest --output-on-failure --timeout 600)

quietly /usr/lib/wine/wineserver -k || true
# A prefix of its own, made afresh on the X server the windows will use.
rm -rf "$build/wineprefix-gui"
WINEPREFIX="$build/wineprefix-gui" \
  xvfb-run -a -s "-screen 0 800x600x24" python3 "$root/tests/station_under_wine.py" \
  "$(ls "$build"/zelor-k3-tester-*-windows-x64.exe)" "$build/tests/d2xxdouble/ftd2xx.dll" \
  "$root/tests/data/ft232r-factory-eeprom.hex"
