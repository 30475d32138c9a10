#!/usr/bin/env python3
"""The station program itself on an emulated FT232R pair, as an operator uses it.

Run under an X server (xvfb-run): starts zelor-k3-tester with the emulator
preloaded, waits for the first refresh, clicks "Start test", closes the window
the way a window manager would, then checks the log and both chips' EEPROMs.

Usage: station_on_emulator.py STATION EMULATOR_SO FACTORY_EEPROM_HEX_FILE
"""

import json
import os
import re
import subprocess
import sys
import tempfile

from x11window import close_window, station_window, wait_for

BUTTON = (233, 472)  # "Start test" in the 466 x 537 window


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


def description(image):
    offset, length = image[0x10] & 0x7F, image[0x11]
    return bytes(image[offset + 2:offset + length:2]).decode("latin-1")


def main():
    station, emulator, factory = sys.argv[1:4]
    work = tempfile.mkdtemp()
    images = {"FTA1B2C3": factory_image(factory, "FTA1B2C3")}
    bench = {"chips": [{"serial": "FTA1B2C3", "image": images["FTA1B2C3"].hex()},
                       {"serial": "FTD4E5F6"}],
             "links": [["FTA1B2C3", "FTD4E5F6"]]}
    with open(os.path.join(work, "bench.json"), "w") as f:
        json.dump(bench, f)
    env = dict(os.environ, LD_PRELOAD=emulator, QT_QPA_PLATFORM="xcb",
               FT232R_EMULATOR_BENCH=os.path.join(work, "bench.json"),
               FT232R_EMULATOR_DUMP=os.path.join(work, "dump.json"),
               ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    process = subprocess.Popen([station], cwd=work, env=env, stderr=open(os.path.join(work, "stderr.txt"), "w"))
    log = os.path.join(work, "TestingLog.txt")
    try:
        window = station_window()
        subprocess.run(["xdotool", "mousemove", "--window", window, str(BUTTON[0]), str(BUTTON[1]),
                        "click", "1"], check=True)
        wait_for(lambda: re.search(r"^TEST ", open(log, newline="").read(), re.M), 30,
                 "a verdict in the log")
        close_window(int(window))
        process.wait(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
    if process.returncode != 0:
        raise SystemExit(f"FAIL: the station exited with {process.returncode}:\n"
                         + "\n".join(l for l in open(os.path.join(work, "stderr.txt")).read().splitlines() if not l.endswith(" "))[-4000:])

    text = open(log, newline="").read()
    lines = re.sub(r" \w{3} \w{3} {1,2}\d{1,2} \d\d:\d\d:\d\d \d{4}", " <date>", text).split("\r\n")
    expected = ["Starting app <date>", "Test run 1 started <date>",
                "Finding devices... OK Connected UM232R USB <-> Serial serial FTA1B2C3 \n"
                "Connected FT232R USB UART serial FTD4E5F6 \n",
                "Opening device serial FTA1B2C3 OK", "Opening device serial FTD4E5F6 OK",
                "Initializing devs... OK", "Programming devices... OK", "Programming devices... OK",
                "Testing device TX/RX... OK", "Testing device RX/TX... OK", "Closing devices... OK",
                "TEST PASSED", "Closing app <date>", "", ""]
    if lines != expected:
        raise SystemExit("FAIL: the log is\n" + "\n".join(repr(l) for l in lines))

    dump = {c["serial"]: bytes.fromhex(c["image"]) for c in json.load(open(env["FT232R_EMULATOR_DUMP"]))["chips"]}
    for serial, before in images.items():
        after = dump[serial]
        end = max(strings_end(before), strings_end(after))
        changed = [b for b in range(128) if before[b] != after[b]
                   and not (0x0E <= b <= 0x13 or 0x18 <= b < end or b >= 126)]
        if changed or description(after) != "ZELOR-K3":
            raise SystemExit(f"FAIL: EEPROM of {serial}: bytes {changed} changed, "
                             f"description {description(after)!r}")
    if description(dump["FTD4E5F6"]) != "ZELOR-K3":
        raise SystemExit("FAIL: the second chip was not programmed")
    print("station_on_emulator: 1 passed, 0 failed")


if __name__ == "__main__":
    main()
