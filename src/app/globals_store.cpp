// The controller's reads over the store for the interface, and the list-wide operations the user confirms.
#include "app/globals.h"

#include "app/desktopnotices.h"
#include "app/platform.h"
#include "core/core.h"
#include "net/peermanager.h"
#include "peers/peerrecords.h"
#include "store/storequeries.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/downloadengine.h"
#include "transfer/downloadsfolder.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"

#include <QMessageBox>
#include <QPushButton>

namespace Vesk {

namespace {

// One column of a record, or the empty text when the row does not exist (never asks an empty record, which logs).
QString fieldOf(const TableRecord& record, const char* column)
{
    return record.isEmpty() ? QString() : record.value(QString::fromLatin1(column));
}

// Plain text: the question may carry a name a peer chose, which must never be read as markup. The button that goes
// ahead says what it does.
bool confirmed(const QString& title, const QString& text, const QString& verb)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Ok | QMessageBox::Cancel);
    box.setTextFormat(Qt::PlainText);
    box.button(QMessageBox::Ok)->setText(verb);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

} // namespace

int Globals::totalNumberOfUnReadMessages() const
{
    return m_store->totalUnreadMessages();
}

int Globals::numberOfPendingValidations() const
{
    return m_store->pendingValidations();
}

void Globals::refreshPeers()
{
    m_peers->search().lookAgain();
    if (peerManager)
        peerManager->reBroadCastMyself();
}

TableRecord Globals::getPeerRecord(const QString& id) const
{
    return m_store->peerRecord(id);
}

TableRecord Globals::getDownloadRecord(const QString& id) const
{
    return m_store->downloadRecord(id);
}

TableRecord Globals::getUploadRecord(const QString& id) const
{
    return m_store->uploadRecord(id);
}

QString Globals::getAvatarForNode(QString nodeId) const
{
    return fieldOf(getPeerRecord(nodeId), "avatarPath");
}

QString Globals::getAliasForNode(QString nodeId) const
{
    return fieldOf(getPeerRecord(nodeId), "alias");
}

qint64 Globals::bytesOnDisk(QString fileId) const
{
    return m_engine->bytesOnDisk(fileId);
}

bool Globals::isWaitingForOwner(QString fileId) const
{
    return m_engine->isWaitingForOwner(fileId);
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
    const QString blocked = m_store->peerField(nodeId, QStringLiteral("blocked"));
    return blocked.isEmpty() ? QStringLiteral("no") : blocked;
}

QString Globals::getFilePathForDownloadedFile(QString fileId) const
{
    return m_core->downloadsFolder().downloadedFilePath(fileId);
}

void Globals::setCurrentSelectedChatPeer(QString peerId)
{
    setCurrentSelectedTabIndex(0);
    if (peerId.compare(m_currentSelectedChatPeer, Qt::CaseInsensitive) != 0) {
        m_currentSelectedChatPeer = peerId;
        Q_EMIT currentSelectedChatPeerChanged();
        m_store->chatsModel->setQuery(QString::fromLatin1(StoreQueries::kChatHistory), m_store->database(),
                                      {peerId, peerId});
    }
    m_store->setField(kPeersTable, peerId, QStringLiteral("unreadMessagesCount"), QStringLiteral("0"));
    // What the peer's notice told is on screen now.
    if (m_desktopNotices && !peerId.isEmpty())
        m_desktopNotices->dismissChat(peerId);
    m_store->nodesProxyData->refresh();
    if (peerId.isEmpty())
        m_store->nodeData->refresh();
    Q_EMIT totalNumberOfUnReadMessagesChanged();
    Q_EMIT updateAppIconsSignal();
}

void Globals::clearAllPendingUploads()
{
    if (!confirmed(tr("Clear Pending Uploads"), tr("Do you really want to clear all pending uploadings ?"),
                   tr("Stop sending")))
        return;
    m_outgoing->clearAllPendingUploads();
}

void Globals::clearAllPendingDownloads()
{
    if (!confirmed(tr("Clear Pending Downloads"), tr("Do you really want to clear all pending Downloads ?"),
                   tr("Clear")))
        return;
    m_incoming->clearAllPendingDownloads();
}

void Globals::blockUser(QString peerId)
{
    // The English wording names the person (its text holds a %1); the source text has no place for it.
    QString question = tr("Do you really want to block this user");
    if (question.contains(QLatin1String("%1")))
        question = question.arg(getAliasForNode(peerId));
    if (!confirmed(tr("Block this user"), question, tr("Block")))
        return;
    m_peers->blockUser(peerId);
}

} // namespace Vesk
