#!/usr/bin/env bash
# Builds the Debian package. With --install, also installs it on this machine
# and checks the installed station: its desktop entry validates, and it starts
# under a virtual X server and exits cleanly when its window is closed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
as_root=(); [ "$(id -u)" = 0 ] || as_root=(sudo)

ZELOR_NEED_XVFB=1 ZELOR_EXTRA_PACKAGES="dpkg-dev desktop-file-utils" \
  "$root/scripts/setup.sh" "$root/build"
(cd "$root/build" && cpack)
deb="$root/build/zelor-k3-tester_1.0.0_amd64.deb"
echo "Package: $deb"
[ "${1:-}" = --install ] || exit 0

"${as_root[@]}" apt-get install -y -q --reinstall "$deb"
desktop-file-validate /usr/share/applications/zelor-k3-tester.desktop
test -f /usr/lib/udev/rules.d/70-zelor-k3-tester.rules
# Chart.js is built into the report: its licence goes with the package.
grep -q "Chart.js" /usr/share/doc/zelor-k3-tester/copyright
grep -q "Permission is hereby granted" /usr/share/doc/zelor-k3-tester/copyright
xvfb-run -a -s "-screen 0 800x600x24" python3 "$root/tests/installed_station.py" /usr/bin/zelor-k3-tester
