#!/usr/bin/env python3
"""The installed station starts, shows its window and exits cleanly when the
window is closed. Run under an X server: installed_station.py STATION"""

import os
import re
import subprocess
import sys
import tempfile

from x11window import close_window, station_window



def main():
    station = sys.argv[1]
    work = tempfile.mkdtemp()
    env = dict(os.environ, QT_QPA_PLATFORM="xcb")
    process = subprocess.Popen([station], cwd=work, env=env)
    try:
        window = station_window()
        close_window(int(window))
        process.wait(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
    if process.returncode != 0:
        raise SystemExit(f"FAIL: the installed station exited with {process.returncode}")
    log = open(os.path.join(work, "TestingLog.txt"), newline="").read()
    if not re.fullmatch(r"Starting app .+\r\nClosing app .+\r\n\r\n", log):
        raise SystemExit(f"FAIL: the log is {log!r}")
    print("installed_station: 1 passed, 0 failed")


if __name__ == "__main__":
    main()
