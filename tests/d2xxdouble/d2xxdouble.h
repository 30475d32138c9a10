#pragma once

// Control of the D2XX double, for tests that load it. The bench is the FT232R
// emulator's (../ft232remulator/README.md); a chip is named by its bench name.
// Each function has the signature of its ft232r_emulator_* twin, so a test can
// drive either fixture through the same table.

#ifdef __cplusplus
extern "C" {
#endif

int d2xx_double_load(const char *json);
const char *d2xx_double_error(void);
int d2xx_double_eeprom(const char *name, unsigned char image[128]);
int d2xx_double_line(const char *name, int *baud, int *bits, int *stopBits, int *parity);
int d2xx_double_latency(const char *name);
int d2xx_double_settings(const char *name, int *flowControl, int *eventChar, int *errorChar,
                         int *eepromWriteLatency);
// Control transfers the calls cost, EEPROM words read and written.
int d2xx_double_counters(const char *name, int *controlTransfers, int *eepromWordsRead,
                         int *eepromWordsWritten);
// D2XX calls on the chip's handles since the bench was loaded.
int d2xx_double_calls(const char *name);
int d2xx_double_open_handles(void);
void d2xx_double_unplug(const char *name);
void d2xx_double_plug(const char *name);

#ifdef __cplusplus
}
#endif
