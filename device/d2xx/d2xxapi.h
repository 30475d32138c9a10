#pragma once

// What the station uses of FTDI's D2XX library, declared from FTDI's
// published D2XX documentation (the D2XX Programmer's Guide and its type
// definitions). On Windows and in FTDI's Linux build alike, DWORD and ULONG
// are 32 bits wide, WORD and USHORT 16, UCHAR 8; a handle is a pointer.
// The library is loaded at run time: nothing here links to it.

#include "device/devicelibrary.h"

#include <cstdint>

namespace d2xx {

using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using UCHAR = std::uint8_t;
using Handle = void *;
using Status = DeviceStatus;

#if defined(_WIN32)
#define ZELOR_D2XX_CALL __stdcall // WINAPI; the only convention on x64
#else
#define ZELOR_D2XX_CALL
#endif

// FT_STATUS values: the station's own statuses are D2XX's (devicelibrary.h).
using namespace DeviceStatusCode;

// FT_DEVICE: the FT232R/FT245R family.
constexpr ULONG DeviceTypeFt232r = 5;

// FT_OpenEx flags.
constexpr DWORD OpenBySerialNumber = 1;
constexpr DWORD OpenByLocation = 4;

// FT_DEVICE_LIST_INFO_NODE's Flags: the device is open.
constexpr ULONG FlagOpened = 1;

// FT_Purge masks, FT_SetFlowControl's "none".
constexpr ULONG PurgeRx = 1;
constexpr ULONG PurgeTx = 2;
constexpr USHORT FlowNone = 0x0000;

// FT_GetModemStatus: the line status byte above the modem status byte.
constexpr ULONG LineOverrunError = 0x02u << 8;

// One entry of FT_GetDeviceInfoList (FT_DEVICE_LIST_INFO_NODE): the
// station's own record has its layout.
using ListNode = DeviceInfoRecord;
static_assert(sizeof(ListNode) == 16 + 16 + 64 + sizeof(void *), "FTDI's node layout");

// The functions, by their exported names.
struct Api {
    Status(ZELOR_D2XX_CALL *createDeviceInfoList)(DWORD *count);
    Status(ZELOR_D2XX_CALL *getDeviceInfoList)(ListNode *nodes, DWORD *count);
    Status(ZELOR_D2XX_CALL *openEx)(void *argument, DWORD flags, Handle *handle);
    Status(ZELOR_D2XX_CALL *close)(Handle handle);
    Status(ZELOR_D2XX_CALL *resetDevice)(Handle handle);
    Status(ZELOR_D2XX_CALL *purge)(Handle handle, ULONG mask);
    Status(ZELOR_D2XX_CALL *setBaudRate)(Handle handle, ULONG baudRate);
    Status(ZELOR_D2XX_CALL *setDataCharacteristics)(Handle handle, UCHAR wordLength, UCHAR stopBits,
                                                    UCHAR parity);
    Status(ZELOR_D2XX_CALL *setFlowControl)(Handle handle, USHORT flow, UCHAR xon, UCHAR xoff);
    Status(ZELOR_D2XX_CALL *setTimeouts)(Handle handle, ULONG readMs, ULONG writeMs);
    Status(ZELOR_D2XX_CALL *setLatencyTimer)(Handle handle, UCHAR ms);
    Status(ZELOR_D2XX_CALL *getLatencyTimer)(Handle handle, UCHAR *ms);
    Status(ZELOR_D2XX_CALL *setChars)(Handle handle, UCHAR eventChar, UCHAR eventEnabled,
                                      UCHAR errorChar, UCHAR errorEnabled);
    Status(ZELOR_D2XX_CALL *write)(Handle handle, void *buffer, DWORD count, DWORD *written);
    Status(ZELOR_D2XX_CALL *read)(Handle handle, void *buffer, DWORD count, DWORD *received);
    Status(ZELOR_D2XX_CALL *getQueueStatus)(Handle handle, DWORD *rxBytes);
    Status(ZELOR_D2XX_CALL *getStatus)(Handle handle, DWORD *rxBytes, DWORD *txBytes,
                                       DWORD *events);
    Status(ZELOR_D2XX_CALL *getModemStatus)(Handle handle, ULONG *status);
    Status(ZELOR_D2XX_CALL *readEE)(Handle handle, DWORD wordOffset, WORD *value);
    Status(ZELOR_D2XX_CALL *writeEE)(Handle handle, DWORD wordOffset, WORD value);
    Status(ZELOR_D2XX_CALL *getDeviceInfo)(Handle handle, ULONG *type, DWORD *id,
                                           char *serialNumber, char *description, void *dummy);
    Status(ZELOR_D2XX_CALL *getLibraryVersion)(DWORD *version);
};

} // namespace d2xx
