// The controller's glue to the local store: database set-up, the list models' queries, the counts shown by the
// interface and the badge, typed reads of single rows, and the list-wide operations the user confirms.
#include "app/globals.h"

#include "app/platform.h"
#include "net/peermanager.h"
#include "store/database.h"
#include "store/storequeries.h"
#include "store/vesksqlquerymodel.h"

#include <QDebug>
#include <QMessageBox>
#include <QSqlQuery>

namespace Vesk {

namespace {

QString sql(const char* text)
{
    return QString::fromLatin1(text);
}

// One column of a record, or the empty text when the row does not exist (never asks an empty record, which logs).
QString fieldOf(const TableRecord& record, const char* column)
{
    return record.isEmpty() ? QString() : record.value(QString::fromLatin1(column));
}

// Runs a statement whose single answer is a number; no row or NULL counts as 0.
int scalarCount(const char* statement)
{
    QSqlQuery q(Database::connection());
    if (!q.exec(sql(statement)) || !q.next())
        return 0;
    return q.value(0).toInt();
}

bool confirmed(const QString& title, const QString& text)
{
    return QMessageBox::question(nullptr, title, text, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::NoButton) ==
           QMessageBox::Ok;
}

VeskSqlQueryModel* makeModel(QObject* owner, const char* query, const QSqlDatabase& db)
{
    auto* model = new VeskSqlQueryModel(owner);
    model->setQuery(sql(query), db);
    return model;
}

const QString kPeers = QStringLiteral("vesk_peers");

} // namespace

void Globals::initDatabase()
{
    qDebug() << "database plugins" << QSqlDatabase::drivers();
    const QSqlDatabase db = Database::open(dataFolderPath());

    nodeData = makeModel(this, StoreQueries::kAllPeers, db);
    nodesProxyData = makeModel(this, StoreQueries::kOnlinePeers, db);
    uploadsData = makeModel(this, StoreQueries::kUploads, db);
    pausedDownloads = makeModel(this, StoreQueries::kPausedDownloads, db);
    queuedDownloads = makeModel(this, StoreQueries::kQueuedDownloads, db);
    completedDownloads = makeModel(this, StoreQueries::kCompletedDownloads, db);
    chatsModel = makeModel(this, StoreQueries::kNoChats, db);
}

void Globals::setPeerQueries()
{
    const QSqlDatabase db = Database::connection();
    nodeData->setQuery(sql(StoreQueries::kListedPeers), db, {m_hostId});
    nodesProxyData->setQuery(sql(StoreQueries::kReachablePeers), db, {m_hostId});
}

int Globals::totalNumberOfUnReadMessages() const
{
    return scalarCount(StoreQueries::kUnreadSum);
}

int Globals::numberOfPendingValidations() const
{
    return scalarCount(StoreQueries::kPendingCount);
}

void Globals::refreshPeers()
{
    {
        QSqlQuery q(Database::connection());
        q.exec(QStringLiteral("update vesk_peers set status = 'off'"));
    }
    nodesProxyData->refresh();
    nodeData->refresh();
    if (peerManager)
        peerManager->reBroadCastMyself();
}

TableRecord Globals::getPeerRecord(const QString& id) const
{
    return nodeData->getRecord(kPeers, id);
}

TableRecord Globals::getDownloadRecord(const QString& id) const
{
    return queuedDownloads->getRecord(QStringLiteral("vesk_downloads"), id);
}

TableRecord Globals::getUploadRecord(const QString& id) const
{
    return uploadsData->getRecord(QStringLiteral("vesk_uploads"), id);
}

QString Globals::getAvatarForNode(QString nodeId) const
{
    return fieldOf(getPeerRecord(nodeId), "avatarPath");
}

QString Globals::getAliasForNode(QString nodeId) const
{
    return fieldOf(getPeerRecord(nodeId), "alias");
}

QString Globals::getStatusForNode(QString nodeId) const
{
    return fieldOf(getPeerRecord(nodeId), "status");
}

QString Globals::getIpAddressForNode(QString nodeId) const
{
    return fieldOf(getPeerRecord(nodeId), "ipAddress");
}

QString Globals::getBlockedStatusForNode(QString nodeId) const
{
    // Rows written before the column existed hold NULL, which means not blocked.
    const QString blocked = nodeData->getField(kPeers, nodeId, QStringLiteral("blocked"));
    return blocked.isEmpty() ? QStringLiteral("no") : blocked;
}

QString Globals::getFilePathForDownloadedFile(QString fileId) const
{
    const QString name = fieldOf(getDownloadRecord(fileId), "filename");
    return name.isEmpty() ? QString() : downloadsFolderPath() + name;
}

QHostAddress Globals::getNodeAddress(const QString& nodeId) const
{
    QSqlQuery q(Database::connection());
    QString address;
    if (q.prepare(QStringLiteral("select ipAddress from vesk_peers where id = ?"))) {
        q.bindValue(0, nodeId);
        if (q.exec()) {
            while (q.next())
                address = q.value(0).toString();
        }
    }
    return address.isEmpty() ? QHostAddress() : QHostAddress(address);
}

void Globals::setCurrentSelectedChatPeer(QString peerId)
{
    setCurrentSelectedTabIndex(0);
    if (peerId.compare(m_currentSelectedChatPeer, Qt::CaseInsensitive) != 0) {
        m_currentSelectedChatPeer = peerId;
        Q_EMIT currentSelectedChatPeerChanged();
        chatsModel->setQuery(sql(StoreQueries::kChatHistory), Database::connection(), {peerId, peerId});
    }
    nodeData->setField(kPeers, peerId, QStringLiteral("unreadMessagesCount"), QStringLiteral("0"));
    nodesProxyData->refresh();
    if (peerId.isEmpty())
        nodeData->refresh();
    Q_EMIT totalNumberOfUnReadMessagesChanged();
    Q_EMIT updateAppIconsSignal();
}

void Globals::clearAllPendingUploads()
{
    if (!confirmed(QStringLiteral("Clear Pending Uploads"),
                   QStringLiteral("Do you really want to clear all pending uploadings ?")))
        return;
    {
        QSqlQuery q(Database::connection());
        q.exec(QStringLiteral("update vesk_uploads set status = 'tobedeleted' "));
    }
    uploadsData->refresh();
}

void Globals::clearAllPendingDownloads()
{
    if (!confirmed(QStringLiteral("Clear Pending Downloads"),
                   QStringLiteral("Do you really want to clear all pending Downloads ?")))
        return;
    {
        QSqlQuery q(Database::connection());
        q.exec(QStringLiteral("delete from vesk_downloads where status = 'downloaded'"));
        q.exec(QStringLiteral("update vesk_downloads set status = 'tobedeleted' "));
    }
    queuedDownloads->refresh();
    pausedDownloads->refresh();
    completedDownloads->refresh();
}

void Globals::blockUser(QString peerId)
{
    if (!confirmed(tr("Block this user"), tr("Do you really want to block this user")))
        return;
    nodeData->setFieldAndRefresh(kPeers, peerId, QStringLiteral("blocked"), QStringLiteral("yes"));
    nodesProxyData->refresh();
}

} // namespace Vesk
