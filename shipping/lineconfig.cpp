#include "shipping/lineconfig.h"

#include "linedb/linedatabase.h"

#include <QSettings>
#include <QSysInfo>

LineConfig LineConfig::load()
{
    const QSettings ini(IniFile, QSettings::IniFormat);
    LineConfig config;
    config.conninfo = qEnvironmentVariable("ZELOR_RECORDS_DATABASE");
    if (config.conninfo.isEmpty()) // a comma (several hosts) reads as a list in an ini file
        config.conninfo
            = ini.value(QStringLiteral("records/database")).toStringList().join(QLatin1Char(','));
    config.station = ini.value(QStringLiteral("records/station")).toString().trimmed();
    config.stationGiven = !config.station.isEmpty();
    if (!config.conninfo.isEmpty())
        config.problem = LineDatabase::refusal(config.conninfo);
    if (config.station.isEmpty() && config.configured())
        config.station = LineDatabase::login(config.conninfo);
    if (config.station.isEmpty())
        config.station = QSysInfo::machineHostName();
    return config;
}
