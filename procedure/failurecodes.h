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

// What a code means, as the README's table says it.
inline const char *failureCodeMeaning(qint32 code)
{
    switch (code) {
    case FailureCode::None: return "no coded failure (a close failed)";
    case FailureCode::NoFt232rDevice: return "no FT232R/FT245R device found";
    case FailureCode::DeviceCountNotTwo: return "not exactly two FT232R/FT245R devices";
    case FailureCode::EepromProgramFailed: return "programming an EEPROM failed";
    case FailureCode::EepromReadFailed: return "reading an EEPROM failed";
    case FailureCode::HandleCountNotTwo: return "not exactly two devices open for the transfer";
    case FailureCode::WriteFailed: return "writing test data failed";
    case FailureCode::ReadFailed: return "reading test data failed";
    case FailureCode::DataMismatch: return "received data differs from the data sent";
    case FailureCode::SetBaudRateFailed: return "setting the baud rate failed";
    case FailureCode::SetDataCharacteristicsFailed: return "setting 8N1 failed";
    case FailureCode::SetTimeoutsFailed: return "setting the time-outs failed";
    default: return "unknown code";
    }
}
