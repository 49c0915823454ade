#pragma once

#include <QAbstractItemModel>
#include <QByteArray>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QVariant>

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

// Counts how often a list model told its views that something changed: resets and value changes together.
class ModelChanges
{
public:
    explicit ModelChanges(const QAbstractItemModel* model)
        : m_resets(model, &QAbstractItemModel::modelReset), m_changes(model, &QAbstractItemModel::dataChanged)
    {
    }
    int count() const { return int(m_resets.count() + m_changes.count()); }

private:
    QSignalSpy m_resets, m_changes;
};

// SQL over the program's connection (or the one given). Failures print the statement and lastError() and
// return false / a marker row, so a broken statement in a test never passes as "no rows".
bool exec(const QString& statement, const QVariantList& values = {}, const QSqlDatabase& db = {});
QStringList column(const QString& statement, const QVariantList& values = {}, const QSqlDatabase& db = {});
int count(const QString& table, const QSqlDatabase& db = {});
// One row as lower-case column name -> text; empty when there is none.
QHash<QString, QString> row(const QString& table, const QString& id, const QSqlDatabase& db = {});
// One column of one peer row, or "<no row>".
QString peerField(const QString& id, const QString& column);

// Delivers every queued call (queued connections, queued invokeMethod) and the calls those queue in turn, until
// none is left: the deferred steps of a handler, run to their end without waiting on a clock.
void runQueuedCalls();

// Moves this test process into a network namespace of its own (free ports, broadcasts kept inside) with one link
// v0 at 10.79.0.1/24 and nobody at its other end, then runs `extraCommands` there in a shell. Gives -1 where
// namespaces cannot be made (they need root), else the exit code of the set-up.
int enterPrivateNetwork(const QString& extraCommands = {});

// A D-Bus message bus of the test's own (dbus-daemon with the session configuration), so a test can play a desktop
// service without touching the user's session. address() is empty where the daemon could not be started.
class PrivateBus
{
public:
    PrivateBus();
    ~PrivateBus();
    QString address() const { return m_address; }

private:
    qint64 m_pid = 0;
    QString m_address;
};

// A folder offered ("up") or received ("down"): its row of vesk_folders and a row per file in the table of that
// direction, with the folder's id and the file's path. The file rows' ids are folder id + "/" + path; a file with
// no status counts in the folder but has no row (an upload the peer has).
struct FolderFile
{
    QString path;
    qint64 size = 0;
    QString status; // the file row's status
    qint64 bytesSent = 0;
};
bool addFolder(const QString& id, const QString& direction, const QString& status, const QString& nodeId,
               const QString& name, const QList<FolderFile>& files);

// Files.
bool writeFile(const QString& path, const QByteArray& contents);
QByteArray readFile(const QString& path);
QStringList filesIn(const QString& folder);
// Deterministic contents whose every byte depends on its offset, so a misplaced packet shows.
QByteArray pattern(qint64 size, int seed = 1);
// An encoded picture of that size in one colour.
QByteArray pictureBytes(int width, int height, const char* format = "PNG");

} // namespace TestSupport
