#include "linedb/lineschema.h"

#include <QFile>

namespace lineschema {

bool create(LineDatabase &database, QString *error)
{
    QFile file(QStringLiteral(":/linedb/schema.sql"));
    file.open(QIODevice::ReadOnly);
    const LineDatabase::Result result = database.runScript(QString::fromUtf8(file.readAll()));
    *error = result.error;
    return result.ok;
}

} // namespace lineschema
