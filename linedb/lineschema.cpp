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

} // namespace lineschema
