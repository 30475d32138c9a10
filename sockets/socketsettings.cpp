#include "sockets/socketsettings.h"

#include <QSettings>

SocketSettings SocketSettings::load()
{
    SocketSettings settings;
    QSettings ini(QStringLiteral("zelor-k3-tester.ini"), QSettings::IniFormat);
    const QVariant value = ini.value(QStringLiteral("station/sockets"));
    if (!value.isValid())
        return settings;
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("false"))
        return settings;
    if (text != QLatin1String("true")) {
        settings.problem = QStringLiteral("zelor-k3-tester.ini: sockets=%1 is neither true nor "
                                          "false; testing one pair")
                               .arg(value.toString());
        return settings;
    }
    settings.enabled = true;
    ini.beginGroup(QStringLiteral("sockets"));
    for (const QString &location : ini.childKeys())
        settings.labels.insert(location, ini.value(location).toString().trimmed());
    return settings;
}
