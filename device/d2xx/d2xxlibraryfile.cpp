// Where FTDI's D2XX library is loaded from; apart from the rest of the
// backend, as Windows' own declarations clash with D2XX's type names.

#include "device/d2xx/d2xxdevicelibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#if defined(Q_OS_WIN)
#include <windows.h>

namespace {

QString systemFolder()
{
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    return length && length < MAX_PATH ? QString::fromWCharArray(path, int(length)) : QString();
}

} // namespace

// By its full path: by name alone, Windows would also look in the current
// folder and along PATH. FTDI's driver installs it into the system folder;
// a copy may come with the program.
QString D2xxDeviceLibrary::platformLibrary()
{
    const QString name = QStringLiteral("ftd2xx.dll");
    const QString installed = QDir(systemFolder()).filePath(name);
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(name);
    const bool useBeside = !QFileInfo::exists(installed) && QFileInfo::exists(beside);
    return QDir::toNativeSeparators(useBeside ? beside : installed);
}
#else
// By name, from where the dynamic linker looks (never the current folder).
QString D2xxDeviceLibrary::platformLibrary()
{
    return QStringLiteral("libftd2xx.so");
}
#endif
