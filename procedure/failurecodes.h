#pragma once

#include <QtGlobal>

// Codes stored in MW::failCode by the step that failed; 0 means none.
namespace FailureCode {
enum : qint32 {
    None = 0,
    NoFt232rDevice = 1,
    DeviceCountNotTwo = 2,
    EepromProgramFailed = 3,
    EepromReadFailed = 4,
    HandleCountNotTwo = 5,
    WriteFailed = 6,
    ReadFailed = 7,
    DataMismatch = 8,
    SetBaudRateFailed = 9,
    SetDataCharacteristicsFailed = 10,
    SetTimeoutsFailed = 20,
};
}
