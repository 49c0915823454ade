#pragma once

#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QTest>

// Like QVERIFY, but prints the query's last error so a failing statement says why.
#define QVERIFY_SQL(q, stmt) QVERIFY2((q).stmt, qPrintable((q).lastError().text()))

namespace TestSupport {

// Collects every message that passes through the Qt message handler while it lives, so tests can assert
// on critical lines without a log file.
class MessageCatcher
{
public:
    MessageCatcher();
    ~MessageCatcher();
    QStringList criticals() const;
    QStringList all() const;
    void clear();
};

} // namespace TestSupport
