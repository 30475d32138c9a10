#!/usr/bin/env python3
"""The station program itself on an emulated FT232R pair, as an operator uses it.

Run under an X server (xvfb-run): starts zelor-k3-tester on the emulated pair,
waits for the first refresh, clicks "Start test", closes the window the way a
window manager would, then checks the log and both chips' EEPROMs: only the
description's descriptor, its length and the checksum changed. A second start
on the programmed chips writes no EEPROM word. Then kills the station with
SIGKILL at moments spread over the programming and checks that each chip holds
its old image, its new one, or new words under the old checksum (an image the
chip refuses at the next plug-in).

Usage: station_on_emulator.py STATION LIBRARY FACTORY_EEPROM_HEX_FILE [--d2xx]
LIBRARY is the FT232R emulator, preloaded as libusb-1.0 under libftdi1, or
with --d2xx the D2XX double, named by ZELOR_DEVICE_LIBRARY. With --d2xx a
start with no D2XX library at all must show its window and fail its run.
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import time

from x11window import close_window, station_window, wait_for

BUTTON = (233, 472)  # "Start test" in the 466 x 537 window
D2XX = False
# The log of one passing run on a pair seeded with the factory image, dates masked.
PASSING_LOG = ["Starting app <date>", "Test run 1 started <date>",
               "Finding devices... OK Connected UM232R USB <-> Serial serial FTA1B2C3 \n"
               "Connected UM232R USB <-> Serial serial FTD4E5F6 \n",
               "Opening device serial FTA1B2C3 OK", "Opening device serial FTD4E5F6 OK",
               "Initializing devs... OK", "Programming devices... OK", "Programming devices... OK",
               "Testing device TX/RX... OK", "Testing device RX/TX... OK", "Closing devices... OK",
               "TEST PASSED", "Closing app <date>", "", ""]


def factory_image(path, serial):
    hexdigits = "".join(l for l in open(path) if not l.startswith("#")).split()
    image = bytearray(bytes.fromhex("".join(hexdigits)))
    offset = image[0x12] & 0x7F
    for i, c in enumerate(serial.encode()):
        image[offset + 2 + 2 * i] = c
    checksum = 0xAAAA
    for i in range(0, 126, 2):
        checksum ^= image[i] | image[i + 1] << 8
        checksum = ((checksum << 1) | (checksum >> 15)) & 0xFFFF
    image[126], image[127] = checksum & 0xFF, checksum >> 8
    return bytes(image)


def strings_end(image):
    end = 0x18
    for pointer in (0x0E, 0x10, 0x12):
        if image[pointer + 1]:
            end = max(end, (image[pointer] & 0x7F) + image[pointer + 1])
    if image[end:end + 2] == b"\x02\x03":
        end += 3
    return end


def descriptor_span(image, slot):
    offset = image[0x0E + 2 * slot] & 0x7F
    return offset, offset + image[0x0F + 2 * slot]


def description(image):
    offset, length = image[0x10] & 0x7F, image[0x11]
    return bytes(image[offset + 2:offset + length:2]).decode("latin-1")


def start_station(station, library, work, images, control_us=0, write_us=0):
    bench = {"chips": [{"serial": serial, "image": image.hex()} for serial, image in images.items()],
             "links": [list(images)], "controlTransferUs": control_us, "eepromWriteUs": write_us}
    with open(os.path.join(work, "bench.json"), "w") as f:
        json.dump(bench, f)
    env = dict(os.environ, QT_QPA_PLATFORM="xcb",
               FT232R_EMULATOR_BENCH=os.path.join(work, "bench.json"),
               FT232R_EMULATOR_DUMP=os.path.join(work, "dump.json"),
               ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    if D2XX:
        env["ZELOR_DEVICE_LIBRARY"] = library
    else:
        env["LD_PRELOAD"] = library
    process = subprocess.Popen([station], cwd=work, env=env,
                               stderr=open(os.path.join(work, "stderr.txt"), "w"))
    window = station_window()
    subprocess.run(["xdotool", "mousemove", "--window", window, str(BUTTON[0]), str(BUTTON[1]),
                    "click", "1"], check=True)
    return process, window


def dumped(work, what="image"):
    with open(os.path.join(work, "dump.json")) as f:
        chips = json.load(f)["chips"]
    if what == "image":
        return {c["serial"]: bytes.fromhex(c["image"]) for c in chips}
    return {c["serial"]: c[what] for c in chips}


def run_once(station, library, images):
    """One click and a close; the log's text and the chips as the run left them."""
    work = tempfile.mkdtemp()
    log = os.path.join(work, "TestingLog.txt")
    process, window = start_station(station, library, work, images)
    try:
        wait_for(lambda: re.search(r"^TEST ", open(log, newline="").read(), re.M), 30,
                 "a verdict in the log")
        close_window(int(window))
        process.wait(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
    stderr = open(os.path.join(work, "stderr.txt")).read()
    if process.returncode != 0:
        raise SystemExit(f"FAIL: the station exited with {process.returncode}:\n"
                         + "\n".join(l for l in stderr.splitlines() if not l.endswith(" "))[-4000:])
    return work, open(log, newline="").read(), stderr


def without_dates(text):
    return re.sub(r" \w{3} \w{3} {1,2}\d{1,2} \d\d:\d\d:\d\d \d{4}", " <date>", text).split("\r\n")


def killed_while_programming(station, library, images, programmed):
    partial = 0
    # Each of the 11 words a chip takes costs 20 ms: kills land between them.
    for delay_ms in (0, 60, 120, 180, 600):
        work = tempfile.mkdtemp()
        process, _ = start_station(station, library, work, images, control_us=2000,
                                   write_us=20000)
        try:
            wait_for(lambda: os.path.exists(os.path.join(work, "dump.json")), 30,
                     "the first EEPROM write")
            time.sleep(delay_ms / 1000)
        finally:
            process.kill()
            process.wait(timeout=30)
        log = open(os.path.join(work, "TestingLog.txt"), newline="").read()
        if not log.endswith("\r\n") or "TEST PASSED" in log:
            raise SystemExit(f"FAIL: killed after {delay_ms} ms, the log ends {log[-200:]!r}")
        for serial, after in dumped(work).items():
            before, new = images[serial], programmed[serial]
            mixed = all(after[b] in (before[b], new[b]) for b in range(128))
            old_checksum = after[126:] == before[126:]
            if not mixed or not (after == new or old_checksum):
                raise SystemExit(f"FAIL: killed after {delay_ms} ms, {serial} holds {after.hex()}")
            partial += after not in (before, new)
    if partial == 0:
        raise SystemExit("FAIL: no kill landed between two EEPROM writes")


def main():
    global D2XX
    station, library, factory = sys.argv[1:4]
    D2XX = "--d2xx" in sys.argv[4:]
    images = {serial: factory_image(factory, serial) for serial in ("FTA1B2C3", "FTD4E5F6")}
    work, text, _ = run_once(station, library, images)
    if without_dates(text) != PASSING_LOG:
        raise SystemExit("FAIL: the log is\n" + "\n".join(repr(l) for l in without_dates(text)))

    dump = dumped(work)
    for serial, before in images.items():
        after = dump[serial]
        start, end = descriptor_span(before, 1)
        changed = [b for b in range(128) if before[b] != after[b]
                   and not (start <= b < end or b == 0x11 or b >= 126)]
        if changed or description(after) != "ZELOR-K3":
            raise SystemExit(f"FAIL: EEPROM of {serial}: bytes {changed} changed, "
                             f"description {description(after)!r}")
    work, text, _ = run_once(station, library, dump)
    written = dumped(work, "eepromWordsWritten")
    if "TEST PASSED" not in text or any(written.values()):
        raise SystemExit(f"FAIL: a second start wrote {written}")
    killed_while_programming(station, library, images, dump)
    checks = 3
    if D2XX:
        missing = "/nonexistent/libftd2xx.so"
        work, text, stderr = run_once(station, missing, images)
        if not without_dates(text)[-4] == "TEST FAILED (5)" or f"library {missing} could not" not in stderr:
            raise SystemExit(f"FAIL: without a D2XX library the log is {text!r}")
        checks += 1
    print(f"station_on_emulator: {checks} passed, 0 failed")


if __name__ == "__main__":
    main()
