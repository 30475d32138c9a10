#pragma once

// Shared by the fuzz targets: the application the window needs, a scratch
// working directory for its log file, and a reader of the fuzzer's bytes.

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <cstring>

inline void startHeadlessApplication()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = { name, nullptr };
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication application(argc, argv);
    static QTemporaryDir scratch;
    QDir::setCurrent(scratch.path());
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

// Takes values from the front of the input; zeros once it runs dry.
class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data(data), size(size) { }

    template<typename T> T take()
    {
        T value {};
        takeBytes(&value, sizeof value);
        return value;
    }
    size_t takeBytes(void *out, size_t count)
    {
        const size_t n = count < size ? count : size;
        std::memcpy(out, data, n);
        std::memset(static_cast<char *>(out) + n, 0, count - n);
        data += n;
        size -= n;
        return n;
    }
    size_t remaining() const { return size; }

private:
    const uint8_t *data;
    size_t size;
};

// A property of the station that must hold whatever the input.
#define FUZZ_REQUIRE(condition)                                                                    \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property violated: %s\n", #condition);                           \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
