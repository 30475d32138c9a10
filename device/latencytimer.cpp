#include "device/latencytimer.h"

#include "log/debugtrace.h"

namespace latencytimer {

namespace {

bool takes(const Set &set, const Get &get, quint8 ms)
{
    quint8 now = 0;
    return set(ms) && get(&now) && now == ms;
}

} // namespace

quint8 settle(const Set &set, const Get &get)
{
    if (takes(set, get, 1))
        return 1;
    if (takes(set, get, 2)) {
        DebugTrace() << "latency timer: 1 ms not taken, 2 ms";
        return 2;
    }
    quint8 own = 0;
    if (!get(&own)) {
        DebugTrace() << "latency timer: neither 1 nor 2 ms taken, and it cannot be read";
        return 0;
    }
    DebugTrace() << "latency timer: neither 1 nor 2 ms taken; the chip runs at" << qint64(own)
                 << "ms";
    return own;
}

quint8 restore(const Set &set, const Get &get, quint8 ms)
{
    return ms && takes(set, get, ms) ? ms : settle(set, get);
}

} // namespace latencytimer
