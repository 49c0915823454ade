#pragma once

#include "app/globals.h"
#include "app/platform.h"
#include "common/clock.h"
#include "store/database.h"
#include "store/vesksqlquerymodel.h"
#include "transferrecorder.h"
#include "transfer/transfernotice.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>

// Helpers shared by the controller-level transfer tests: a controllable clock, direct reads and writes of the
// tables, peers, files on disk and the non-blocking notices.
namespace TransferFixture {

inline qint64& now()
{
    static qint64 value = 1700000000000;
    return value;
}

// A fresh data folder, no settings, the test clock, and the controller.
inline Vesk::Globals* startController()
{
    QDir(dataFolderPath()).removeRecursively();
    QDir(downloadsFolderPath()).removeRecursively();
    QSettings(QStringLiteral("Tavimor"), QStringLiteral("Vesk")).clear();
    QDir().mkpath(dataFolderPath());
    Vesk::setClockOverride([] { return now(); });
    return Vesk::Globals::instance();
}

inline bool exec(const QString& statement, const QVariantList& values = {})
{
    QSqlQuery q(Database::connection());
    if (!q.prepare(statement))
        return false;
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    return q.exec();
}

inline QStringList column(const QString& statement, const QVariantList& values = {})
{
    QSqlQuery q(Database::connection());
    QStringList result;
    if (!q.prepare(statement))
        return {QStringLiteral("<prepare failed>")};
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec())
        return {QStringLiteral("<exec failed>")};
    while (q.next())
        result.append(q.value(0).toString());
    return result;
}

inline int count(const QString& table)
{
    return column(QStringLiteral("select count(*) from ") + table).value(0).toInt();
}

// One row as column -> text; empty when there is none.
inline QHash<QString, QString> row(const QString& table, const QString& id)
{
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("select * from ") + table + QStringLiteral(" where id = ?"));
    q.bindValue(0, id);
    QHash<QString, QString> values;
    if (q.exec() && q.next()) {
        const QSqlRecord r = q.record();
        for (int i = 0; i < r.count(); ++i)
            values.insert(r.fieldName(i).toLower(), r.value(i).toString());
    }
    return values;
}

inline void clearTables()
{
    exec(QStringLiteral("delete from vesk_uploads"));
    exec(QStringLiteral("delete from vesk_downloads"));
}

inline void addPeer(Vesk::Globals* g, const QString& id, const QString& status, const QString& address)
{
    exec(QStringLiteral("replace into vesk_peers (id, alias, ipAddress, status, unreadMessagesCount, blocked, "
                        "timestamp) values (?, ?, ?, ?, '0', 'no', ?)"),
         {id, QString(QStringLiteral("alias of ") + id), address, status, now()});
    g->nodeData->refresh();
}

inline QString writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(contents);
    return QFileInfo(path).absoluteFilePath();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Deterministic contents whose every byte depends on its offset, so a misplaced packet shows.
inline QByteArray pattern(qint64 size, int seed = 1)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 977 + seed * 17) & 0xff);
    return bytes;
}

// Texts of the transfer notices open now; closes them when asked to.
inline QStringList notices(bool close = true)
{
    QStringList texts;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || box->objectName() != QLatin1String(Vesk::kTransferNoticeName) || !box->isVisible())
            continue;
        texts.append(box->text());
        if (close)
            box->close();
    }
    if (close)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return texts;
}

inline QString downloadPath(const QString& name)
{
    return QDir::fromNativeSeparators(downloadsFolderPath()) + name;
}

inline void insertUpload(const QString& id, const QString& nodeTo, qint64 timeSent,
                         const QString& status = QStringLiteral("unknown"))
{
    exec(QStringLiteral("insert into vesk_uploads (id, url, nodeto, filesize, filename, bytesSent, status, timesent) "
                        "values (?, ?, ?, ?, ?, 0, ?, ?)"),
         {id, QString(QStringLiteral("/tmp/") + id), nodeTo, 1000, QString(id + QStringLiteral(".bin")), status,
          timeSent});
}

inline void insertDownload(const QString& id, const QString& nodeFrom, qint64 timestamp, const QString& status)
{
    exec(QStringLiteral("insert into vesk_downloads (id, filename, filesize, nodefrom, status, timestamp, "
                        "downloadsize) values (?, ?, '1000', ?, ?, ?, '0')"),
         {id, QString(id + QStringLiteral(".bin")), nodeFrom, status, timestamp});
}

inline QStringList fileIds(const QList<TransferRecorder::Sent>& sent)
{
    QStringList ids;
    for (const auto& s : sent)
        ids.append(s.value("fileId").toString());
    return ids;
}

} // namespace TransferFixture
