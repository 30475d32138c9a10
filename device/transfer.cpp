#include "log/debugtrace.h"
#include "procedure/failurecodes.h"
#include "procedure/pairsteps.h"
#include "procedure/runrecord.h"

#include <vector>

namespace {
constexpr quint32 BlockSize = 128;
constexpr quint32 BlockCount = 50;
constexpr quint32 PatternSize = BlockSize * BlockCount;

std::vector<quint8> testPattern()
{
    std::vector<quint8> pattern(PatternSize);
    for (quint32 i = 0; i < PatternSize; ++i)
        pattern[i] = quint8(i % 256);
    return pattern;
}
} // namespace

QString PairSteps::testTransfer(qint32 from, qint32 to)
{
    std::vector<quint8> receive(PatternSize);
    DebugTrace() << "testing";
    const std::vector<quint8> transmit = testPattern();

    if (handleList.size() != 2) {
        recordFailure(FailureCode::HandleCountNotTwo);
        return QStringLiteral("No enough devices connected, or too many..");
    }
    const DeviceHandle sender = handleList.at(from);
    const DeviceHandle receiver = handleList.at(to);

    for (quint32 block = 0; block < BlockCount; ++block) {
        const quint8 *sent = transmit.data() + block * BlockSize;

        DebugTrace() << "write";
        quint32 written = 0;
        if (library.write(sender, sent, BlockSize, &written) != DeviceStatusCode::Ok
            || written != BlockSize) {
            recordFailure(FailureCode::WriteFailed);
            return QStringLiteral("Error writing test data to device %1.").arg(from);
        }

        DebugTrace() << "read";
        quint32 received = 0;
        if (library.read(receiver, receive.data(), BlockSize, &received) != DeviceStatusCode::Ok
            || received != BlockSize) {
            recordFailure(FailureCode::ReadFailed);
            return QStringLiteral("Error reading test data from device %1.").arg(to);
        }
        DebugTrace() << "read done";

        for (quint32 j = 0; j < BlockSize; ++j) {
            if (receive[j] != sent[j]) {
                recordFailure(FailureCode::DataMismatch);
                DebugTrace() << qint64(j) << qint64(block * BlockSize + j) << qint64(sent[j])
                             << qint64(receive[j]) << qint64(block);
                if (record)
                    record->mismatch(from, to, block, j, sent[j], receive[j]);
                return QStringLiteral("Data transfer error, tested devices FAIL");
            }
        }
    }
    return QStringLiteral("OK");
}
