#include "support/testdb.h"

#include "store/schema.h"

#include <QTest>

namespace sentrok::test {

TestFolder::TestFolder()
{
    createDatabase(dbFile());
}

QString TestFolder::dbFile() const { return Database::fileIn(m_dir.path()); }

Database& TestFolder::db()
{
    if (!m_db) m_db = std::make_unique<Database>(dbFile(), Database::uniqueName(QStringLiteral("test")));
    return *m_db;
}

QStringList TestFolder::column(const QString& sql, const QVariantList& values)
{
    QStringList out;
    for (Result r = db().execute(sql, values); !r.eof(); r.moveNext()) out << r.field(0).toString();
    return out;
}

QString TestFolder::scalar(const QString& sql, const QVariantList& values)
{
    const QStringList c = column(sql, values);
    return c.isEmpty() ? QString() : c.first();
}

qint64 TestFolder::addHost(const QString& ip, const QString& desc, const QString& vw)
{
    Result r = db().execute(
        QStringLiteral("insert into address (ip,[desc],vw,vn,vl,vi,color) values (?,?,?,'2','32','255','0') returning id"),
        {ip, desc, vw});
    return r.field(0).toLongLong();
}

}  // namespace sentrok::test
