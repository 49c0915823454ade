#include "testsupport.h"

#include "store/database.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QImage>
#include <QMutex>
#include <QProcess>
#include <QSqlRecord>

#include <csignal>
#include <sched.h>
#include <unistd.h>

using Vesk::Database;

namespace TestSupport {

namespace {
QMutex g_lock;
QStringList g_all;
QStringList g_criticals;
QtMessageHandler g_previous = nullptr;

void catchMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    {
        QMutexLocker locker(&g_lock);
        g_all.append(text);
        if (type == QtCriticalMsg)
            g_criticals.append(text);
    }
    if (g_previous)
        g_previous(type, context, text);
}

QSqlDatabase connectionOr(const QSqlDatabase& db)
{
    return db.isValid() ? db : Database::connection();
}

bool prepared(QSqlQuery& q, const QString& statement, const QVariantList& values)
{
    if (!q.prepare(statement)) {
        qWarning().noquote() << "prepare failed:" << statement << q.lastError().text();
        return false;
    }
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec()) {
        qWarning().noquote() << "exec failed:" << statement << q.lastError().text();
        return false;
    }
    return true;
}
// Counts the queued calls delivered while it is installed.
struct QueuedCallCounter : QObject
{
    int delivered = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        delivered += event->type() == QEvent::MetaCall;
        return false;
    }
};
} // namespace

bool addFolder(const QString& id, const QString& direction, const QString& status, const QString& nodeId,
               const QString& name, const QList<FolderFile>& files)
{
    QSqlQuery q(Database::connection());
    qint64 total = 0;
    for (const FolderFile& file : files)
        total += file.size;
    bool ok = prepared(q,
                       QStringLiteral("replace into vesk_folders (id, nodeid, direction, name, localname, files, "
                                      "filesize, status, timestamp) values (?, ?, ?, ?, ?, ?, ?, ?, 1)"),
                       {id, nodeId, direction, name, name, files.size(), total, status});
    const bool up = direction == QLatin1String("up");
    const QString insert =
        up ? QStringLiteral("replace into vesk_uploads (id, url, nodeto, filename, filesize, bytesSent, "
                            "timesent, status, folderId, path) values (?, ?, ?, ?, ?, ?, 1, ?, ?, ?)")
           : QStringLiteral("replace into vesk_downloads (id, status, nodefrom, filename, filesize, "
                            "downloadsize, timestamp, folderId, path) values (?, ?, ?, ?, ?, 0, 1, ?, ?)");
    for (const FolderFile& file : files) {
        const QString fileId = id + QLatin1Char('/') + file.path, fileName = file.path.section(QLatin1Char('/'), -1);
        if (!file.status.isEmpty())
            ok = ok && prepared(q, insert,
                                up ? QVariantList{fileId, fileName, nodeId, fileName, file.size, file.bytesSent,
                                                  file.status, id, file.path}
                                   : QVariantList{fileId, file.status, nodeId, fileName, file.size, id, file.path});
    }
    return ok;
}

void runQueuedCalls()
{
    // A handler that queued itself forever would be a fault of its own; this many rounds is far beyond any chain
    // the program builds.
    constexpr int kMaxRounds = 1000;
    QueuedCallCounter counter;
    QCoreApplication::instance()->installEventFilter(&counter);
    for (int round = 0; round < kMaxRounds; ++round) {
        const int before = counter.delivered;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        if (counter.delivered == before)
            break;
    }
    QCoreApplication::instance()->removeEventFilter(&counter);
}

MessageCatcher::MessageCatcher()
{
    clear();
    g_previous = qInstallMessageHandler(catchMessage);
}

MessageCatcher::~MessageCatcher()
{
    qInstallMessageHandler(g_previous);
    g_previous = nullptr;
}

QStringList MessageCatcher::criticals() const
{
    QMutexLocker locker(&g_lock);
    return g_criticals;
}

QStringList MessageCatcher::all() const
{
    QMutexLocker locker(&g_lock);
    return g_all;
}

void MessageCatcher::clear()
{
    QMutexLocker locker(&g_lock);
    g_all.clear();
    g_criticals.clear();
}

bool exec(const QString& statement, const QVariantList& values, const QSqlDatabase& db)
{
    QSqlQuery q(connectionOr(db));
    return prepared(q, statement, values);
}

QStringList column(const QString& statement, const QVariantList& values, const QSqlDatabase& db)
{
    QSqlQuery q(connectionOr(db));
    if (!prepared(q, statement, values))
        return {QStringLiteral("<failed: %1>").arg(q.lastError().text())};
    QStringList result;
    while (q.next())
        result.append(q.value(0).toString());
    return result;
}

int count(const QString& table, const QSqlDatabase& db)
{
    return column(QStringLiteral("select count(*) from ") + table, {}, db).value(0).toInt();
}

QHash<QString, QString> row(const QString& table, const QString& id, const QSqlDatabase& db)
{
    QSqlQuery q(connectionOr(db));
    QHash<QString, QString> values;
    if (!prepared(q, QStringLiteral("select * from ") + table + QStringLiteral(" where id = ?"), {id}) || !q.next())
        return values;
    const QSqlRecord r = q.record();
    for (int i = 0; i < r.count(); ++i)
        values.insert(r.fieldName(i).toLower(), r.value(i).toString());
    return values;
}

QString peerField(const QString& id, const QString& column)
{
    const QStringList values =
        TestSupport::column(QStringLiteral("select ") + column + QStringLiteral(" from vesk_peers where id = ?"), {id});
    return values.isEmpty() ? QStringLiteral("<no row>") : values.first();
}

bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) == contents.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray pattern(qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 977 + seed * 17) & 0xff);
    return bytes;
}

QByteArray pictureBytes(int width, int height, const char* format)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

PrivateBus::PrivateBus()
{
    QProcess daemon;
    // It forks into the background and prints its address and process id once it listens.
    daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--fork"),
                                                 QStringLiteral("--print-address=1"), QStringLiteral("--print-pid=1")});
    if (!daemon.waitForFinished(10000) || daemon.exitCode() != 0)
        return;
    const QStringList lines = QString::fromUtf8(daemon.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    if (lines.size() < 2)
        return;
    m_address = lines.at(0).trimmed();
    m_pid = lines.at(1).trimmed().toLongLong();
}

PrivateBus::~PrivateBus()
{
    if (m_pid > 0)
        ::kill(pid_t(m_pid), SIGTERM);
}

int enterPrivateNetwork(const QString& extraCommands)
{
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0)
        return -1;
    QString setUp = QStringLiteral("ip link add v0 type veth peer name v1 && ip addr add 10.79.0.1/24 brd + dev v0 && "
                                   "for l in lo v0 v1; do ip link set $l up; done");
    if (!extraCommands.isEmpty())
        setUp += QStringLiteral(" && ") + extraCommands;
    return QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), setUp});
}

} // namespace TestSupport
