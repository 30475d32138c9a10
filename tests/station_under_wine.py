#!/usr/bin/env python3
"""The Windows station as a bench PC gets it, under wine on an X server.

Installs it silently from its installer, puts the D2XX double where FTDI's
driver puts ftd2xx.dll (the system folder), clicks "Start test" on an emulated
pair seeded with a real factory image and checks the log (CR LF lines), the
run record and both chips' EEPROMs (only the description's descriptor, its
length and the checksum changed). A second start writes no EEPROM word and is
closed by the end of the Windows session, as logging off closes it. The
Start-menu shortcut starts it in the user's own folder. The station ships its
records over TLS (verify-full) to a PostgreSQL server of the test's own, and
an openssl.cnf planted where a user could put one (the working folder, the
folder OpenSSL's build would name by default) changes nothing, while one in
the folder the build names (under Program Files) is read. Without ftd2xx.dll in
the system folder the station starts, names the missing library and fails its
run, even with an ftd2xx.dll planted in its working folder. The uninstaller
removes it and leaves the user's log.

Usage: station_under_wine.py INSTALLER D2XX_DOUBLE_DLL FACTORY_EEPROM_HEX_FILE
WINEPREFIX names the wine prefix to use; ZELOR_LIBPQ_PREFIX the folder libpq
and OpenSSL for Windows were built in.
"""

import datetime
import json
import os
import socket
import re
import shutil
import subprocess
import sys
import tempfile
import time

from station_on_emulator import PASSING_LOG, description, descriptor_span, factory_image
from x11window import close_window, station_window, wait_for

WINE = "/usr/lib/wine/wine64"
BUTTON = (233, 472)
PREFIX = os.environ["WINEPREFIX"]
DRIVE_C = os.path.join(PREFIX, "drive_c")
INSTALLED = os.path.join(DRIVE_C, "Program Files", "ZELOR-K3 Tester")
MENU = os.path.join(DRIVE_C, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs",
                    "ZELOR-K3 Tester")
SYSTEM_DLL = os.path.join(DRIVE_C, "windows", "system32", "ftd2xx.dll")
STATION = "C:\\Program Files\\ZELOR-K3 Tester\\zelor-k3-tester.exe"
DATE = re.compile(r" \w{3} \w{3} {1,2}\d{1,2} \d\d:\d\d:\d\d \d{4}")
HERE = os.path.dirname(os.path.abspath(__file__))
# An OpenSSL configuration that would take TLS 1.3 away, were it read.
DOWNGRADE = """openssl_conf = openssl_init
[openssl_init]
ssl_conf = ssl_sect
[ssl_sect]
system_default = system_default_sect
[system_default_sect]
MaxProtocol = TLSv1.2
"""


class LineDatabase:
    """A PostgreSQL server of the test's own (pgserver.sh), with TLS."""

    def __init__(self):
        self.dir = tempfile.mkdtemp()
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        subprocess.run([os.path.join(HERE, "pgserver.sh"), "init", self.dir, str(self.port)],
                       check=True, cwd=self.dir)

    def conninfo(self):
        return (f"host=localhost port={self.port} dbname=postgres user=owner "
                f"sslmode=verify-full sslrootcert=Z:{self.dir}/ca.crt")

    def environment(self):
        return {"ZELOR_RECORDS_DATABASE": self.conninfo(),
                "PGPASSFILE": "Z:" + os.path.join(self.dir, "pgpass").replace("/", "\\")}

    def query(self, sql):
        done = subprocess.run(["psql", "-Atq", f"host=localhost port={self.port} dbname=postgres "
                               "user=owner sslmode=require", "-c", sql], capture_output=True,
                              text=True, env=dict(os.environ, PGPASSFILE=os.path.join(
                                  self.dir, "pgpass")), timeout=60)
        return done.stdout.strip()

    def last_station_tls(self):
        """The TLS protocol of the station's last connection, from the server's log."""
        with open(os.path.join(self.dir, "server.log"), errors="replace") as f:
            lines = [l for l in f if "application_name=zelor-k3-tester" in l]
        found = re.search(r"SSL enabled \(protocol=([^,]+)", lines[-1]) if lines else None
        return found.group(1) if found else None

    def stop(self):
        subprocess.run([os.path.join(HERE, "pgserver.sh"), "stop", self.dir], cwd=self.dir)


def wine(*arguments, **options):
    return subprocess.run([WINE, *arguments], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=120, **options)


def fail(message):
    raise SystemExit("FAIL: " + message)


def start(work, images=None, program=STATION, extra=None):
    env = dict(os.environ, **(extra or {}))
    if images:
        bench = {"chips": [{"serial": s, "image": i.hex()} for s, i in images.items()],
                 "links": [list(images)], "controlTransferUs": 0}
        with open(os.path.join(work, "bench.json"), "w") as f:
            json.dump(bench, f)
        env["FT232R_EMULATOR_BENCH"] = "Z:" + os.path.join(work, "bench.json")
        env["FT232R_EMULATOR_DUMP"] = "Z:" + os.path.join(work, "dump.json")
    return subprocess.Popen([WINE, program], cwd=work, env=env, stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(work, "stderr.txt"), "w"))


def click_and_wait(work):
    window = station_window()
    subprocess.run(["xdotool", "mousemove", "--window", window, str(BUTTON[0]), str(BUTTON[1]),
                    "click", "1"], check=True)
    log = os.path.join(work, "TestingLog.txt")
    wait_for(lambda: re.search(r"^TEST ", open(log, newline="").read(), re.M), 60,
             "a verdict in the log")
    return window


def log_lines(work):
    """The log's lines, split at CR LF; a line feed inside a line (the device
    listing's) stays bare, as no text-mode translation touches it."""
    data = open(os.path.join(work, "TestingLog.txt"), "rb").read()
    if not data.endswith(b"\r\n") or b"\r\r" in data:
        fail(f"the log's lines do not end in exactly CR LF: {data[-200:]!r}")
    return DATE.sub(" <date>", data.decode("latin-1")).split("\r\n")


def dumped(work, what="image"):
    with open(os.path.join(work, "dump.json")) as f:
        chips = json.load(f)["chips"]
    return {c["serial"]: (bytes.fromhex(c["image"]) if what == "image" else c[what]) for c in chips}


def install(installer):
    wine("wineboot", "--init")
    # Qt's traces to stderr, not to the debugger channel.
    wine("reg", "add", "HKCU\\Environment", "/v", "QT_FORCE_STDERR_LOGGING", "/d", "1", "/f")
    wine(installer, "/S")
    for part in ("zelor-k3-tester.exe", "zelor-k3-tester-sim.exe", "zelor-k3-report.exe",
                 "Qt6Core.dll", "Qt6Gui.dll", "Qt6Widgets.dll", "libstdc++-6.dll",
                 "libgcc_s_seh-1.dll", "libwinpthread-1.dll", "platforms/qwindows.dll",
                 "styles/qwindowsvistastyle.dll", "Chart.js-LICENSE.txt", "Uninstall.exe"):
        if not os.path.exists(os.path.join(INSTALLED, part)):
            fail(f"the installer did not install {part}")
    if not os.path.exists(os.path.join(MENU, "ZELOR-K3 Tester.lnk")):
        fail("no Start-menu shortcut")


def passing_run(images, database):
    work = tempfile.mkdtemp()
    # Where a user could put one, and where OpenSSL's build would look by
    # default: on the current drive, which here is the drive of the work folder.
    planted = [os.path.join(work, "openssl.cnf"),
               os.path.join(os.environ["ZELOR_LIBPQ_PREFIX"], "ssl", "openssl.cnf")]
    for path in planted:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(DOWNGRADE)
    process = start(work, images, extra=database.environment())
    window = click_and_wait(work)
    close_window(int(window))
    if process.wait(timeout=30) != 0:
        fail(f"the station exited with {process.returncode}")
    lines = log_lines(work)
    if lines != PASSING_LOG:
        fail("the log is\n" + "\n".join(repr(l) for l in lines))
    records = open(os.path.join(work, "TestingRecords.jsonl"), "rb").read()
    if not records.endswith(b"\r\n") or records.count(b"\n") != records.count(b"\r\n"):
        fail(f"the record's line does not end in CR LF: {records[-40:]!r}")
    dump = dumped(work)
    for serial, before in images.items():
        after = dump[serial]
        begin, end = descriptor_span(before, 1)
        changed = [b for b in range(128)
                   if before[b] != after[b] and not (begin <= b < end or b == 0x11 or b >= 126)]
        if changed or description(after) != "ZELOR-K3":
            fail(f"EEPROM of {serial}: bytes {changed} changed, {description(after)!r}")
    record = json.loads(records)
    stored = database.query(f"SELECT verdict || ' ' || station FROM zelor_runs "
                            f"WHERE id = '{record['id']}'")
    if stored != f"PASSED {record['station']}":
        fail(f"the record did not reach the line database: {stored!r}")
    if database.last_station_tls() != "TLSv1.3":
        fail(f"a planted openssl.cnf was read: the station's TLS was {database.last_station_tls()}")
    for path in planted:
        os.remove(path)
    shutil.rmtree(work)
    return dump


def second_run_writes_nothing(programmed, database):
    """And the folder OpenSSL's build names is read: the planted file above
    would have mattered there."""
    work = tempfile.mkdtemp()
    ssl_dir = os.path.join(DRIVE_C, "Program Files", "Common Files", "SSL")
    os.makedirs(ssl_dir, exist_ok=True)
    with open(os.path.join(ssl_dir, "openssl.cnf"), "w") as f:
        f.write(DOWNGRADE)
    process = start(work, programmed, extra=database.environment())
    close_window(int(click_and_wait(work)))
    process.wait(timeout=30)
    written = dumped(work, "eepromWordsWritten")
    if "TEST PASSED" not in log_lines(work) or any(written.values()):
        fail(f"a second start wrote EEPROM words: {written}")
    os.remove(os.path.join(ssl_dir, "openssl.cnf"))
    if database.last_station_tls() != "TLSv1.2":
        fail("OpenSSL's own configuration folder was not read: "
             f"TLS was {database.last_station_tls()}")
    if database.query("SELECT count(*) FROM zelor_runs") != "2":
        fail("the second run's record did not reach the line database")
    shutil.rmtree(work)


def session_end_closes_the_station(programmed):
    work = tempfile.mkdtemp()
    process = start(work, programmed)
    station_window()
    wine("wineboot", "--end-session")
    process.wait(timeout=30)
    lines = log_lines(work)
    if lines[-3:] != ["Closing app <date>", "", ""]:
        fail("the session's end did not close the station: " + repr(lines[-4:]))
    shutil.rmtree(work)


def plug_in_starts_a_run(programmed):
    """With start=plug-in, the pair on the D2XX double starts a run unclicked."""
    work = tempfile.mkdtemp()
    with open(os.path.join(work, "zelor-k3-tester.ini"), "w") as f:
        f.write("[station]\r\nstart=plug-in\r\n")
    process = start(work, programmed)
    window = station_window()
    log = os.path.join(work, "TestingLog.txt")
    wait_for(lambda: re.search(r"^TEST ", open(log, newline="").read(), re.M), 60,
             "a verdict in the log of a run nobody clicked")
    close_window(int(window))
    process.wait(timeout=30)
    lines = log_lines(work)
    if "Test run 1 started <date>" not in lines or "TEST PASSED" not in lines \
            or "Test run 2 started <date>" in lines:
        fail("a seated pair did not start exactly one passing run: " + repr(lines))
    shutil.rmtree(work)


def a_bounce_is_noticed(images):
    """With start=plug-in, a pair plugged in after the start whose chip B is
    pulled and seated again at once: Windows' device-change message (the
    double sends it as Windows does) restarts the second of stillness, which
    the refresh each 0.2 s alone would miss."""
    work = tempfile.mkdtemp()
    with open(os.path.join(work, "zelor-k3-tester.ini"), "w") as f:
        f.write("[station]\r\nstart=plug-in\r\n")
    (a, image_a), (b, image_b) = images.items()
    chips = [{"name": "A", "serial": a, "image": image_a.hex(), "absent": True},
             {"name": "B", "serial": b, "image": image_b.hex(), "absent": True}]
    timeline = [[3000, "plug", "A"], [3000, "plug", "B"], [3500, "unplug", "B"],
                [3500, "plug", "B"]]
    with open(os.path.join(work, "bench.json"), "w") as f:
        json.dump({"chips": chips, "links": [["A", "B"]], "controlTransferUs": 0,
                   "timeline": timeline}, f)
    env = {"FT232R_EMULATOR_BENCH": "Z:" + os.path.join(work, "bench.json")}
    process = subprocess.Popen([WINE, STATION], cwd=work, env=dict(os.environ, **env),
                               stdout=subprocess.DEVNULL,
                               stderr=open(os.path.join(work, "stderr.txt"), "w"))
    window = station_window()
    records = os.path.join(work, "TestingRecords.jsonl")
    wait_for(lambda: os.path.exists(records) and open(records).read().strip(), 60,
             "the record of a run nobody clicked")
    time.sleep(2)
    close_window(int(window))
    process.wait(timeout=30)
    stderr = open(os.path.join(work, "stderr.txt"), errors="replace").read()
    runs = [json.loads(line) for line in open(records) if line.strip()]
    bounced = re.findall(r"^bench: plug B at (\S+)$", stderr, re.M)
    if "device-change notice: arrival" not in stderr or len(bounced) != 2:
        fail("no device-change notice reached the station: " + stderr[-2000:])
    after = (datetime.datetime.fromisoformat(runs[0]["start"])
             - datetime.datetime.fromisoformat(bounced[-1])).total_seconds()
    print(f"station_under_wine: the run started {after * 1000:.0f} ms after the bounce")
    if len(runs) != 1 or runs[0]["verdict"] != "PASSED" or after < 1.0:
        fail(f"not one passing run a second after the bounce ({after:.3f} s): {runs}")
    shutil.rmtree(work)


def sockets_test_side_by_side(images):
    """With sockets=true, two pairs on the D2XX double (one of clones sharing a
    serial number) are found by their wiring, opened by location and pass
    side by side, each with its labelled lines and its record."""
    work = tempfile.mkdtemp()
    with open(os.path.join(work, "zelor-k3-tester.ini"), "w") as f:
        f.write("[station]\r\nsockets=true\r\n[sockets]\r\n0x0111=A\r\n0x0113=B\r\n")
    image = next(iter(images.values())).hex()
    chips = [{"name": "A1", "serial": "FTA1B2C3", "image": image, "ports": [1, 1]},
             {"name": "A2", "serial": "FTD4E5F6", "ports": [1, 2]},
             {"name": "B1", "serial": "A50285BI", "clone": True, "ports": [1, 3]},
             {"name": "B2", "serial": "A50285BI", "clone": True, "ports": [1, 4]}]
    with open(os.path.join(work, "bench.json"), "w") as f:
        json.dump({"chips": chips, "links": [["A1", "A2"], ["B1", "B2"]],
                   "controlTransferUs": 0}, f)
    env = {"FT232R_EMULATOR_BENCH": "Z:" + os.path.join(work, "bench.json"),
           "FT232R_EMULATOR_DUMP": "Z:" + os.path.join(work, "dump.json")}
    process = subprocess.Popen([WINE, STATION], cwd=work, env=dict(os.environ, **env),
                               stdout=subprocess.DEVNULL,
                               stderr=open(os.path.join(work, "stderr.txt"), "w"))
    window = station_window()
    log = os.path.join(work, "TestingLog.txt")
    time.sleep(3)  # the first probe shows the tiles
    subprocess.run(["xdotool", "mousemove", "--window", window, "200", "25", "click", "1"],
                   check=True)
    wait_for(lambda: len(re.findall(r"^\[[AB]\] TEST ", open(log, newline="").read(),
                                    re.M)) == 2, 60, "both sockets' verdicts in the log")
    close_window(int(window))
    process.wait(timeout=30)
    lines = log_lines(work)
    verdicts = sorted(l for l in lines if re.match(r"^\[[AB]\] TEST ", l))
    with open(os.path.join(work, "TestingRecords.jsonl")) as f:
        sockets = sorted((r["socket"], r["location"], r["verdict"]) for r in map(json.loads, f))
    programmed = [c["name"] for c in json.load(open(os.path.join(work, "dump.json")))["chips"]
                  if description(bytes.fromhex(c["image"])) == "ZELOR-K3"]
    if verdicts != ["[A] TEST PASSED", "[B] TEST PASSED"] \
            or sockets != [("A", "0x0111+0x0112", "PASSED"), ("B", "0x0113+0x0114", "PASSED")] \
            or sorted(programmed) != ["A1", "A2", "B1", "B2"]:
        fail(f"two sockets did not pass side by side: {verdicts!r} {sockets!r} {programmed!r}")
    shutil.rmtree(work)


def shortcut_starts_in_the_users_folder():
    users = [os.path.join(DRIVE_C, "users", u) for u in os.listdir(os.path.join(DRIVE_C, "users"))]
    wine("start", "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\ZELOR-K3 Tester\\"
         "ZELOR-K3 Tester.lnk")
    station_window()
    wine("wineboot", "--end-session")
    logs = [u for u in users if os.path.exists(os.path.join(u, "TestingLog.txt"))]
    if not logs:
        fail("the shortcut's start left no TestingLog.txt in a user's folder")
    if os.path.exists(os.path.join(INSTALLED, "TestingLog.txt")):
        fail("the log went to Program Files")
    return logs


def no_d2xx_library(double, images):
    """No ftd2xx.dll where FTDI's driver puts it; one planted in the working
    folder, on a bench it would pass, is never loaded."""
    os.remove(SYSTEM_DLL)
    work = tempfile.mkdtemp()
    shutil.copy(double, os.path.join(work, "ftd2xx.dll"))
    process = start(work, images)
    window = click_and_wait(work)
    close_window(int(window))
    process.wait(timeout=30)
    lines = log_lines(work)
    stderr = open(os.path.join(work, "stderr.txt"), errors="replace").read()
    missing = "\\windows\\system32\\ftd2xx.dll could not be loaded"
    if lines[-4] != "TEST FAILED (5)" or missing not in stderr.lower():
        fail(f"without ftd2xx.dll the log ends {lines[-4:]!r}, the traces say {stderr[-400:]!r}")
    shutil.rmtree(work)


def uninstall(user_logs):
    wine("C:\\Program Files\\ZELOR-K3 Tester\\Uninstall.exe", "/S",
         "_?=C:\\Program Files\\ZELOR-K3 Tester")
    subprocess.run(["/usr/lib/wine/wineserver", "-w"], timeout=60)
    left = [p for p in ("zelor-k3-tester.exe", "Qt6Core.dll", "platforms")
            if os.path.exists(os.path.join(INSTALLED, p))]
    if left or os.path.exists(os.path.join(MENU, "ZELOR-K3 Tester.lnk")):
        fail(f"the uninstaller left {left or 'the shortcut'}")
    if not all(os.path.exists(os.path.join(u, "TestingLog.txt")) for u in user_logs):
        fail("the uninstaller removed the user's log")


def main():
    installer, double, factory = sys.argv[1:4]
    images = {serial: factory_image(factory, serial) for serial in ("FTA1B2C3", "FTD4E5F6")}
    install(installer)
    shutil.copy(double, SYSTEM_DLL)
    database = LineDatabase()
    try:
        report = wine("C:\\Program Files\\ZELOR-K3 Tester\\zelor-k3-report.exe", "--database",
                      database.conninfo(), "--create-schema",
                      env=dict(os.environ, **database.environment()))
        if report.returncode != 0:
            fail(f"zelor-k3-report --create-schema under wine exited with {report.returncode}")
        programmed = passing_run(images, database)
        second_run_writes_nothing(programmed, database)
    finally:
        database.stop()
    session_end_closes_the_station(programmed)
    plug_in_starts_a_run(programmed)
    a_bounce_is_noticed(images)
    sockets_test_side_by_side(images)
    user_logs = shortcut_starts_in_the_users_folder()
    no_d2xx_library(double, images)
    uninstall(user_logs)
    print("station_under_wine: 12 passed, 0 failed")


if __name__ == "__main__":
    main()
