// Chat messages: stored before they are sent, delivered when the recipient confirms.
//
//   author                                              recipient
//   sendChat: row "unknown" ---- newChatMessage ------> processNewChatMessage: stored once, popup, unread count
//   handleConfirmChat: row "sent" <---- confirmChat ---- (every copy is confirmed, also one already stored)
//   every 5 s: the five oldest own rows still "unknown" from the last hour go out again
#include "app/globals.h"

#include "common/clock.h"
#include "common/htmltext.h"
#include "peers/peeroutbox.h"
#include "peers/peerslogging.h"
#include "store/database.h"
#include "store/vesksqlquerymodel.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace Vesk {

namespace {

const QString kPeers = QStringLiteral("vesk_peers");
const QString kChats = QStringLiteral("vesk_chats");
constexpr qint64 kResendWindowMs = 3600000;
// The popup shows the start of a longer message; the whole text is stored and shown in the conversation. Laying
// out megabytes of rich text would freeze the interface, and a peer decides how long a message is.
constexpr int kMaxPopupCharacters = 4000;

QString popupText(const QString& message)
{
    if (message.size() <= kMaxPopupCharacters)
        return message;
    return message.left(kMaxPopupCharacters) + QChar(0x2026);
}

// Stores a message under its chat id. A second copy of the same id replaces the row but keeps its status, so a
// confirmed message stays confirmed.
void storeChat(const QString& id, const QString& message, const QString& from, const QString& to,
               const QString& timeText)
{
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("replace into vesk_chats (id, message, peerfrom, peerto, status, timesent) values(?, ?, "
                             "?, ?, coalesce((select status from vesk_chats where id = ?),'unknown'), ?)"));
    const QVariantList values{id, message, from, to, id, timeText};
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (!q.exec())
        qCDebug(lcChat) << "storing chat" << id << "failed";
}

Parameters chatMessage(const QString& text, const QString& chatId, qint64 timeSent, const QString& nodeFrom)
{
    return {{QStringLiteral("action"), QStringLiteral("newChatMessage")},
            {QStringLiteral("message"), text},
            {QStringLiteral("chatId"), chatId},
            {QStringLiteral("timeSent"), timeSent},
            {QStringLiteral("nodeFrom"), nodeFrom}};
}

} // namespace

void Globals::sendChat(QString toNodeID, QString message)
{
    if (message.trimmed().isEmpty())
        return;
    const qint64 now = nowMs();
    const QString id = QUuid::createUuid().toString();

    storeChat(id, message, m_hostId, toNodeID, QString::number(now));
    chatsModel->refresh();

    // Writing to a peer reads its conversation.
    nodeData->touchTimestamp(kPeers, toNodeID);
    nodeData->setFieldAndRefresh(kPeers, toNodeID, QStringLiteral("unreadMessagesCount"), QStringLiteral("0"));
    nodesProxyData->refresh();
    Q_EMIT totalNumberOfUnReadMessagesChanged();
    Q_EMIT updateAppIconsSignal();

    PeerOutbox::sendToNode(*this, toNodeID, chatMessage(message, id, now, m_hostId));
}

void Globals::handleNewChatMessage(const Parameters& message)
{
    processNewChatMessage(message.value(QStringLiteral("message")).toString(),
                          message.value(QStringLiteral("nodeFrom")).toString(), {m_hostId},
                          message.value(QStringLiteral("chatId")).toString(),
                          message.value(QStringLiteral("timeSent")).toLongLong());
}

void Globals::processNewChatMessage(QString message, QString nodeFrom, QStringList nodeTos, QString id, qint64 timeSent)
{
    // A blocked author hears nothing back, so from its side the message stays undelivered.
    if (nodeData->getField(kPeers, nodeFrom, QStringLiteral("blocked")) == QLatin1String("yes"))
        return;

    // A resent copy of a stored message is only confirmed again: the first confirmation may have been lost.
    if (chatsModel->getField(kChats, id, QStringLiteral("id")) != id) {
        // A message never carries a time later than its arrival, whatever the author's clock says.
        const qint64 storedTime = qMin(timeSent, nowMs());
        storeChat(id, message, nodeFrom, nodeTos.value(0), QString::number(storedTime));
        chatsModel->refresh();

        // The popup renders rich text; the peer's words are shown as typed, never as markup.
        showChatNotification(nodeFrom, plainTextToHtml(popupText(message)));

        const bool looking =
            m_currentSelectedTabIndex == 0 && nodeFrom.compare(m_currentSelectedChatPeer, Qt::CaseInsensitive) == 0;
        if (!looking) {
            nodesProxyData->incrementField(kPeers, nodeFrom, QStringLiteral("unreadMessagesCount"), 1);
            nodeData->refresh();
            Q_EMIT totalNumberOfUnReadMessagesChanged();
            Q_EMIT updateAppIconsSignal();
        }
    }

    PeerOutbox::sendToNode(*this, nodeFrom,
                           {{QStringLiteral("action"), QStringLiteral("confirmChat")}, {QStringLiteral("chatId"), id}});
}

void Globals::handleConfirmChat(const Parameters& message)
{
    const QString chatId = message.value(QStringLiteral("chatId")).toString();
    chatsModel->setFieldAndRefresh(kChats, chatId, QStringLiteral("status"), QStringLiteral("sent"));
}

void Globals::unsentChatMessagesTimeout()
{
    QList<QPair<QString, Parameters>> resend; // recipient, message
    {
        QSqlQuery q(Database::connection());
        q.prepare(QStringLiteral("select * from vesk_chats where peerfrom = ? and status = 'unknown' and timesent > ? "
                                 "order by timesent asc limit 5"));
        q.bindValue(0, m_hostId);
        q.bindValue(1, nowMs() - kResendWindowMs);
        if (!q.exec())
            return;
        while (q.next()) {
            const QSqlRecord row = q.record();
            resend.append({row.value(QStringLiteral("peerto")).toString(),
                           chatMessage(row.value(QStringLiteral("message")).toString(),
                                       row.value(QStringLiteral("id")).toString(),
                                       row.value(QStringLiteral("timesent")).toLongLong(), m_hostId)});
        }
    }
    for (const auto& [peerTo, parameters] : std::as_const(resend))
        PeerOutbox::sendToNode(*this, peerTo, parameters);
}

} // namespace Vesk
