#pragma once

// Control of the FT232R emulator behind the fake libusb-1.0, for tests that
// link it. The bench format is described in README.md beside this file.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Replaces the bench with the one described by `json`; 0 on success, else -1
// with the reason in ft232r_emulator_error().
int ft232r_emulator_load(const char *json);
const char *ft232r_emulator_error(void);

// The chip's 128-byte EEPROM image; 0 on success, -1 for an unknown serial.
int ft232r_emulator_eeprom(const char *serial, unsigned char image[128]);
// The chip's line as its registers hold it.
int ft232r_emulator_line(const char *serial, int *baud, int *bits, int *stopBits, int *parity);
int ft232r_emulator_latency(const char *serial);
// Every byte that reached the chip's receiver; returns the count copied.
size_t ft232r_emulator_received(const char *serial, unsigned char *buffer, size_t capacity);
// Whether the kernel's serial driver is bound to the chip now.
int ft232r_emulator_kernel_driver_attached(const char *serial);
// Handles that libusb_open gave out and that are not closed yet.
int ft232r_emulator_open_handles(void);
// Every libusb_open since the start, successful or not.
int ft232r_emulator_open_count(void);
void ft232r_emulator_unplug(const char *serial);
void ft232r_emulator_plug(const char *serial);

#ifdef __cplusplus
}
#endif
