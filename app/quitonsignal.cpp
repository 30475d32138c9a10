#include "app/quitonsignal.h"

#include <QCoreApplication>

#ifdef Q_OS_WIN

#include <windows.h>

#include <atomic>

// A window program gets no signals: Windows ends its session through the
// window (QCoreApplication::aboutToQuit). A console (the simulated bench
// started from one) sends Ctrl-C and Ctrl-Break here, on a thread of its own.
namespace {

std::atomic<bool> requested { false };

BOOL WINAPI onConsoleEvent(DWORD)
{
    requested = true;
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
    return TRUE;
}

} // namespace

void quitOnTerminationSignals()
{
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool terminationRequested()
{
    return requested;
}

#else

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };
bool requested = false;

// Only async-signal-safe work here: the event loop does the rest.
void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

} // namespace

void quitOnTerminationSignals()
{
    if (signalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier
        = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char byte;
        [[maybe_unused]] const ssize_t read = ::read(signalPipe[1], &byte, 1);
        // Events may be processed before the loop starts (each log line
        // does), and quit() then does nothing.
        requested = true;
        QCoreApplication::quit();
    });
    struct sigaction action { };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : { SIGTERM, SIGINT, SIGHUP })
        sigaction(signal, &action, nullptr);
}

bool terminationRequested()
{
    return requested;
}

#endif
