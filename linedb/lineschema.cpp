#include "linedb/lineschema.h"

#include <QFile>

namespace lineschema {

namespace {

QString script(const QString &name)
{
    QFile file(QStringLiteral(":/linedb/") + name);
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
}

} // namespace

bool create(LineDatabase &database, QString *error, QString *forSomeoneElse)
{
    forSomeoneElse->clear();
    LineDatabase::Result result = database.runScript(script(QStringLiteral("schema.sql")));
    if (result.ok) {
        const QString roles = script(QStringLiteral("roles.sql"));
        result = database.runScript(roles);
        if (result.state == QLatin1String("42501")) { // insufficient privilege
            *forSomeoneElse = roles;
            result.ok = true;
        }
    }
    *error = result.error;
    return result.ok;
}

bool addStation(LineDatabase &database, const QString &name, QString *error,
                QString *forSomeoneElse)
{
    forSomeoneElse->clear();
    const LineDatabase::Result statement = database.exec(
        QStringLiteral("SELECT format('CREATE ROLE %I LOGIN CONNECTION LIMIT 2 IN ROLE "
                       "zelor_station;', $1::text)"),
        { name });
    if (!statement.ok) {
        *error = statement.error;
        return false;
    }
    const QString sql = statement.rows.value(0).value(0);
    const LineDatabase::Result made = database.runScript(sql);
    if (made.state == QLatin1String("42501")) { // insufficient privilege
        *forSomeoneElse = sql + QLatin1Char('\n');
        return true;
    }
    *error = made.error;
    return made.ok;
}

namespace {

bool oneNumber(LineDatabase &database, const QString &sql, const QStringList &params,
               qint64 *number, QString *error)
{
    const LineDatabase::Result result = database.exec(sql, params, LineDatabase::NoDeadline);
    *error = result.error;
    if (result.ok)
        *number = result.rows.value(0).value(0).toLongLong();
    return result.ok;
}

} // namespace

bool purgeBefore(LineDatabase &database, const QString &day, qint64 *removed, QString *error)
{
    return oneNumber(database, QStringLiteral("SELECT zelor_purge_before($1::date)"), { day },
                     removed, error);
}

bool recount(LineDatabase &database, qint64 *runs, QString *error)
{
    return oneNumber(database, QStringLiteral("SELECT zelor_recount()"), {}, runs, error);
}

} // namespace lineschema
