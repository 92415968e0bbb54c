#pragma once

#include "store/database.h"

#include <QTemporaryDir>

#include <memory>

namespace sentrok::test {

// A fresh program folder holding a new database made with the project's own schema.
class TestFolder {
public:
    TestFolder();
    QString path() const { return m_dir.path(); }
    QString dbFile() const;
    // A connection of the test's own, beside the ones the code under test opens.
    Database& db();
    // Runs a statement and returns the first column of every row as text.
    QStringList column(const QString& sql, const QVariantList& values = {});
    QString scalar(const QString& sql, const QVariantList& values = {});
    qint64 addHost(const QString& ip, const QString& desc = {}, const QString& vw = QStringLiteral("1000"));

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Database> m_db;
};

}  // namespace sentrok::test
