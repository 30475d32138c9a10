#!/usr/bin/env bash
# Sets up, builds and launches the station. Needs a display (X11 or Wayland).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=${ZELOR_PROGRAM:-zelor-k3-tester}

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  cat >&2 <<MSG
No display found: the station is a desktop program and needs one.
On a machine without a screen, run it inside a virtual X server:
    apt-get install -y xvfb xauth
    xvfb-run -a $0 $*
MSG
  exit 1
fi

# Builds only the program it launches.
ZELOR_BUILD_TARGETS=$program "$root/scripts/setup.sh" "$root/build"
# The log file TestingLog.txt is written to the directory the station is started in.
exec "$root/build/$program" "$@"
