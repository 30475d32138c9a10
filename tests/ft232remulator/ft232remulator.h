#pragma once

// Control of the FT232R emulator behind the fake libusb-1.0, for tests that
// link it. The bench format is described in README.md beside this file; a
// chip is named by its bench name (its serial number unless it has a name).

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Replaces the bench with the one described by `json`; 0 on success, else -1
// with the reason in ft232r_emulator_error().
int ft232r_emulator_load(const char *json);
const char *ft232r_emulator_error(void);

// The chip's 128-byte EEPROM image; 0 on success, -1 for an unknown serial.
int ft232r_emulator_eeprom(const char *name, unsigned char image[128]);
// The chip's line as its registers hold it.
int ft232r_emulator_line(const char *name, int *baud, int *bits, int *stopBits, int *parity);
int ft232r_emulator_latency(const char *name);
// The handshake bits of the chip's flow control (0: none), its event and
// error characters (-1: off), and its latency at the last EEPROM write (0:
// none yet).
int ft232r_emulator_settings(const char *name, int *flowControl, int *eventChar, int *errorChar,
                             int *eepromWriteLatency);
// Control transfers, EEPROM words read and EEPROM word writes since the bench
// was loaded; 0 on success, -1 for an unknown chip.
int ft232r_emulator_counters(const char *name, int *controlTransfers, int *eepromWordsRead,
                             int *eepromWordsWritten);
// Whether the kernel's serial driver is bound to the chip now.
int ft232r_emulator_kernel_driver_attached(const char *name);
// Handles that libusb_open gave out and that are not closed yet.
int ft232r_emulator_open_handles(void);
// Every libusb_open since the start, successful or not.
int ft232r_emulator_open_count(void);
void ft232r_emulator_unplug(const char *name);
void ft232r_emulator_plug(const char *name);

#ifdef __cplusplus
}
#endif
