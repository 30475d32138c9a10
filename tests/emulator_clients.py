#!/usr/bin/python3
"""Third-party FTDI clients, unmodified, on the FT232R emulator.

Debian's ftdi_eeprom and python3-ftdi1 (libftdi1) run with the emulator
preloaded; pyusb (python3-usb) loads it by name as its libusb-1.0. Each client
lists the chips, reads strings through standard requests, and loops data back
over a cross-wired pair, as it would on real chips.

The chips are genuine FT232Rs, which store their EEPROM in whole rows:
ftdi_eeprom writes the whole image in order (libftdi1's ftdi_write_eeprom),
so every row it writes is complete. A client that writes single words, such
as pyftdi's partial write (a range, then the checksum word alone), would damage
a genuine chip and could be run on clone chips only; none is run here.

Usage: emulator_clients.py EMULATOR_SO FACTORY_EEPROM_HEX_FILE
"""

import json
import os
import subprocess
import sys
import tempfile

PAIR = ("FTGXSYWJ", "FTD4E5F6")  # the factory image's serial, and a built chip
BLOCK = 128
PATTERN = bytes((i * 7 + 3) & 0xFF for i in range(6400))


def factory_image(path):
    digits = "".join(l for l in open(path) if not l.startswith("#")).split()
    return bytes.fromhex("".join(digits))


def bench(image):
    return {"chips": [{"serial": PAIR[0], "image": image.hex()},
                      {"serial": PAIR[1], "description": "Second chip"}],
            "links": [list(PAIR)], "controlTransferUs": 0}


def run_client(work, emulator, code, preload=True):
    """Runs `code` in a fresh Debian python3 with the bench; returns its stdout."""
    env = dict(os.environ, FT232R_EMULATOR_BENCH=os.path.join(work, "bench.json"),
               FT232R_EMULATOR_DUMP=os.path.join(work, "dump.json"), EMULATOR=emulator)
    if preload:
        env["LD_PRELOAD"] = emulator
    done = subprocess.run(["/usr/bin/python3", "-c", code], env=env, cwd=work,
                          capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise AssertionError(f"client failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done.stdout


def ftdi_eeprom(work, emulator, image):
    env = dict(os.environ, FT232R_EMULATOR_BENCH=os.path.join(work, "bench.json"),
               FT232R_EMULATOR_DUMP=os.path.join(work, "dump.json"), LD_PRELOAD=emulator)
    with open(os.path.join(work, "read.conf"), "w") as f:
        f.write('vendor_id=0x0403\nproduct_id=0x6001\nfilename="read.bin"\n')
    subprocess.run(["ftdi_eeprom", "--device", f"s:0x0403:0x6001:{PAIR[0]}", "--read-eeprom",
                    "read.conf"], env=env, cwd=work, check=True, capture_output=True, timeout=60)
    with open(os.path.join(work, "read.bin"), "rb") as f:
        read = f.read()
    assert read == image, f"ftdi_eeprom read {read.hex()}"

    with open(os.path.join(work, "flash.conf"), "w") as f:
        f.write('vendor_id=0x0403\nproduct_id=0x6001\nmanufacturer="FTDI"\n'
                f'product="Flashed by ftdi_eeprom"\nserial="{PAIR[1]}"\nuse_serial=true\n'
                'filename="flash.bin"\n')
    done = subprocess.run(["ftdi_eeprom", "--device", f"s:0x0403:0x6001:{PAIR[1]}",
                           "--flash-eeprom", "flash.conf"], env=env, cwd=work,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"ftdi_eeprom --flash-eeprom: {done.returncode}\n{done.stderr}"
    with open(os.path.join(work, "dump.json")) as f:
        chips = {c["name"]: bytes.fromhex(c["image"]) for c in json.load(f)["chips"]}
    flashed = chips[PAIR[1]]
    product = flashed[(flashed[0x10] & 0x7F) + 2:(flashed[0x10] & 0x7F) + flashed[0x11]:2]
    assert product == b"Flashed by ftdi_eeprom", product


LIBFTDI_CLIENT = """
import ftdi1
pattern = bytes((i * 7 + 3) & 0xFF for i in range(6400))
lister = ftdi1.new()
ret, devices = ftdi1.usb_find_all(lister, 0x0403, 0x6001)
assert ret == 2, ret
node = devices
while node:
    ret, manufacturer, description, serial = ftdi1.usb_get_strings(lister, node.dev)
    assert ret == 0, ftdi1.get_error_string(lister)
    print(manufacturer, description, serial, sep="|")
    node = node.next
ftdi1.list_free2(devices)
chips = []
for serial in ("FTGXSYWJ", "FTD4E5F6"):
    chip = ftdi1.new()
    assert ftdi1.usb_open_desc(chip, 0x0403, 0x6001, None, serial) == 0, serial
    assert ftdi1.set_baudrate(chip, 1000000) == 0
    assert ftdi1.set_line_property(chip, ftdi1.BITS_8, ftdi1.STOP_BIT_1, ftdi1.NONE) == 0
    assert ftdi1.set_latency_timer(chip, 1) == 0
    chips.append(chip)
for sender, receiver in ((chips[0], chips[1]), (chips[1], chips[0])):
    received = b""
    for at in range(0, len(pattern), 128):
        assert ftdi1.write_data(sender, pattern[at:at + 128]) == 128
        block = b""
        while len(block) < 128:
            ret, data = ftdi1.read_data(receiver, 128 - len(block))
            assert ret >= 0, ftdi1.get_error_string(receiver)
            block += data[:ret]
        received += block
    assert received == pattern, "looped back data differs"
for chip in chips:
    ftdi1.usb_close(chip)
print("looped back 2 x", len(pattern))
"""

PYUSB_CLIENT = """
import os, usb.core, usb.util
from usb.backend import libusb1
backend = libusb1.get_backend(find_library=lambda name: os.environ["EMULATOR"])
assert backend is not None
pattern = bytes((i * 7 + 3) & 0xFF for i in range(6400))
devices = sorted(usb.core.find(find_all=True, idVendor=0x0403, idProduct=0x6001, backend=backend),
                 key=lambda d: d.port_number)
assert len(devices) == 2, devices
for d in devices:
    print(usb.util.get_string(d, d.iManufacturer), usb.util.get_string(d, d.iProduct),
          usb.util.get_string(d, d.iSerialNumber), sep="|")
for d in devices:
    if d.is_kernel_driver_active(0):
        d.detach_kernel_driver(0)
    d.set_configuration()
    usb.util.claim_interface(d, 0)
    out = usb.util.CTRL_OUT | usb.util.CTRL_TYPE_VENDOR | usb.util.CTRL_RECIPIENT_DEVICE
    d.ctrl_transfer(out, 0x00, 0, 1)           # reset
    d.ctrl_transfer(out, 0x03, 0x0003, 0)      # 3 MHz / 3: 1,000,000 baud
    d.ctrl_transfer(out, 0x04, 0x0008, 1)      # 8N1
    d.ctrl_transfer(out, 0x09, 1, 1)           # latency timer 1 ms
    status = d.ctrl_transfer(usb.util.CTRL_IN | usb.util.CTRL_RECIPIENT_DEVICE, 0x00, 0, 0, 2)
    assert len(status) == 2
def read_block(d, count):
    block = b""
    while len(block) < count:
        packets = bytes(d.read(0x81, 512, timeout=500))
        for at in range(0, len(packets), 64):
            block += packets[at + 2:at + 64]
    return block
for sender, receiver in ((devices[0], devices[1]), (devices[1], devices[0])):
    received = b""
    for at in range(0, len(pattern), 128):
        assert sender.write(0x02, pattern[at:at + 128], timeout=500) == 128
        received += read_block(receiver, 128)
    assert received == pattern, "looped back data differs"
for d in devices:
    usb.util.release_interface(d, 0)
    d.attach_kernel_driver(0)
    usb.util.dispose_resources(d)
print("looped back 2 x", len(pattern))
"""


def lists_both_chips(output):
    lines = output.splitlines()
    expected = ["FTDI|UM232R USB <-> Serial|FTGXSYWJ", "FTDI|Second chip|FTD4E5F6"]
    assert lines[:2] == expected, lines
    assert lines[2] == "looped back 2 x 6400", lines


def main():
    emulator, factory = (os.path.abspath(p) for p in sys.argv[1:3])
    image = factory_image(factory)
    checks = {
        "ftdi_eeprom reads the factory image and flashes a product string":
            lambda work: ftdi_eeprom(work, emulator, image),
        "python3-ftdi1 lists both chips and loops 2 x 6400 bytes back":
            lambda work: lists_both_chips(run_client(work, emulator, LIBFTDI_CLIENT)),
        "pyusb lists both chips and loops 2 x 6400 bytes back":
            lambda work: lists_both_chips(run_client(work, emulator, PYUSB_CLIENT, False)),
    }
    passed = failed = 0
    for name, check in checks.items():
        work = tempfile.mkdtemp()
        with open(os.path.join(work, "bench.json"), "w") as f:
            json.dump(bench(image), f)
        try:
            check(work)
            passed += 1
            print("PASS", name)
        except (AssertionError, subprocess.SubprocessError) as e:
            failed += 1
            print("FAIL", name, "\n", e)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
