// Chat messages: stored before they are sent, delivered when the recipient confirms.
//
//   author                                              recipient
//   sendChat: row "unknown" ---- newChatMessage ------> processNewChatMessage: stored once, popup, unread count
//   handleConfirmChat: row "sent" <---- confirmChat ---- (every stored copy is confirmed, also one stored before;
//                                                          one that cannot be stored is not, so it comes again)
//   every 5 s: the five oldest own rows still "unknown" from the last hour go out again
#include "peers/chat.h"

#include "common/clock.h"
#include "common/htmltext.h"
#include "common/shell.h"
#include "net/messagedispatcher.h"
#include "peers/localprofile.h"
#include "peers/peersend.h"
#include "peers/peerrecords.h"
#include "peers/peerslogging.h"
#include "store/store.h"
#include "store/storequeries.h"
#include "store/vesksqlquerymodel.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace Vesk {

namespace {

QString popupText(const QString& message)
{
    if (message.size() <= Chat::kMaxPopupCharacters)
        return message;
    return message.left(Chat::kMaxPopupCharacters) + QChar(0x2026);
}

Parameters chatMessage(const QString& text, const QString& chatId, qint64 timeSent, const QString& nodeFrom)
{
    return {{QStringLiteral("action"), QStringLiteral("newChatMessage")},
            {QStringLiteral("message"), text},
            {QStringLiteral("chatId"), chatId},
            {QStringLiteral("timeSent"), timeSent},
            {QStringLiteral("nodeFrom"), nodeFrom}};
}

constexpr int kSqliteFull = 13;
const QString kNotStoredNotice = QStringLiteral("chat-not-stored");
const QString kTooLongNotice = QStringLiteral("chat-too-long");

// Why a write to the database failed, in words for the user: a full disk says where.
QString storeFailure(const QSqlQuery& query, const QString& databaseFile)
{
    const QSqlError error = query.lastError();
    if ((error.nativeErrorCode().toInt() & 0xff) == kSqliteFull)
        return Chat::tr("the disk holding %1 is full")
            .arg(QDir::toNativeSeparators(QFileInfo(databaseFile).absolutePath()));
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

} // namespace

Chat::Chat(Store& store, MessageSink& sink, const Clock& clock, const LocalProfile& profile, Shell& shell,
           QObject* parent)
    : QObject(parent), m_store(store), m_sink(sink), m_clock(clock), m_profile(profile), m_shell(shell),
      m_room(clock, QFileInfo(store.database().databaseName()).absolutePath())
{
    m_resendTimer.setInterval(kResendIntervalMs);
    connect(&m_resendTimer, &QTimer::timeout, this, &Chat::resendUnconfirmed);
}

void Chat::start()
{
    m_resendTimer.start();
}

void Chat::stop()
{
    m_resendTimer.stop();
}

// Stores a message under its chat id. A second copy of the same id replaces the row but keeps its status, so a
// confirmed message stays confirmed.
QString Chat::storeChat(const QString& id, const QString& message, const QString& from, const QString& to,
                        const QString& timeText)
{
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("replace into vesk_chats (id, message, peerfrom, peerto, status, timesent) values(?, ?, "
                             "?, ?, coalesce((select status from vesk_chats where id = ?),'unknown'), ?)"));
    const QVariantList values{id, message, from, to, id, timeText};
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    if (q.exec())
        return QString();
    return storeFailure(q, m_store.database().databaseName());
}

bool Chat::sendChat(const QString& toNodeId, const QString& message)
{
    if (message.trimmed().isEmpty())
        return true;
    if (message.size() > kMaxChatCharacters) {
        m_shell.showNotice(tr("Message too long"),
                           tr("Your message has %L1 characters; a message holds at most %L2. Send a longer text as "
                              "a file.")
                               .arg(message.size())
                               .arg(kMaxChatCharacters));
        return false;
    }
    const qint64 now = m_clock.nowMs();
    const QString id = QUuid::createUuid().toString();

    const QString notStored = storeChat(id, message, m_profile.hostId(), toNodeId, QString::number(now));
    if (!notStored.isEmpty()) {
        qCWarning(lcChat) << "message to" << toNodeId << "not sent: it could not be stored:" << notStored;
        m_shell.showNotice(tr("Message not sent"),
                           tr("Your message to %1 could not be saved, so it was not sent: %2. It is kept where you "
                              "wrote it; send it again once there is room.")
                               .arg(nameOf(toNodeId), notStored));
        return false;
    }
    m_store.chatsModel->refresh();

    // Writing to a peer reads its conversation.
    m_store.touchTimestamp(kPeersTable, toNodeId);
    m_store.setField(kPeersTable, toNodeId, QStringLiteral("unreadMessagesCount"), QStringLiteral("0"));
    m_store.nodeData->refresh();
    m_store.nodesProxyData->refresh();
    Q_EMIT unreadCountChanged();

    sendToNode(m_sink, m_store, toNodeId, chatMessage(message, id, now, m_profile.hostId()));
    return true;
}

void Chat::handleNewChatMessage(const Parameters& message)
{
    processNewChatMessage(message.value(QStringLiteral("message")).toString(),
                          message.value(QStringLiteral("nodeFrom")).toString(), {m_profile.hostId()},
                          message.value(QStringLiteral("chatId")).toString(),
                          message.value(QStringLiteral("timeSent")).toLongLong());
}

void Chat::processNewChatMessage(const QString& message, const QString& nodeFrom, const QStringList& nodeTos,
                                 const QString& id, qint64 timeSent)
{
    // A blocked author hears nothing back, so from its side the message stays undelivered.
    if (m_store.isBlocked(nodeFrom))
        return;

    // Left unconfirmed, so a sender that means it learns it was not delivered.
    if (message.size() > kMaxChatCharacters || id.size() > kMaxChatIdLength) {
        if (!m_tooLongTold.allow(QString(), m_clock.nowMs()))
            return;
        qCWarning(lcChat) << "refused a message of" << message.size() << "characters, id of" << id.size()
                          << "characters, from" << PeerRecords::loggableId(nodeFrom);
        if (message.size() > kMaxChatCharacters) {
            // One arg() for all: the sender's name is its own choice, and must not be read as a place for a value.
            const QLocale locale;
            m_shell.showNotice(
                kTooLongNotice, tr("Message too long"),
                tr("%1 sent a message of %2 characters; Vesk takes at most %3. Ask them to send the "
                   "text as a file.")
                    .arg(nameOf(nodeFrom), locale.toString(message.size()), locale.toString(kMaxChatCharacters)));
        }
        return;
    }

    // A resent copy of a stored message is only confirmed again: the first confirmation may have been lost.
    if (m_store.field(kChatsTable, id, QStringLiteral("id")) != id) {
        const qint64 rowBytes = 2 * qint64(message.size()) + 512; // about what its row takes
        if (!m_room.hasRoomFor(rowBytes))
            return receivedNotStored(nodeFrom, m_room.why());
        // A message never carries a time later than its arrival, whatever the author's clock says.
        const qint64 storedTime = qMin(timeSent, m_clock.nowMs());
        const QString notStored = storeChat(id, message, nodeFrom, nodeTos.value(0), QString::number(storedTime));
        if (!notStored.isEmpty())
            return receivedNotStored(nodeFrom, notStored);
        m_room.wrote(rowBytes);
        receivedStored();
        m_store.chatsModel->refresh();

        // The popup renders rich text; the peer's words are shown as typed, never as markup.
        m_shell.showChatNotification(nodeFrom, plainTextToHtml(popupText(message)));

        if (!m_shell.isConversationOpen(nodeFrom)) {
            m_store.incrementField(kPeersTable, nodeFrom, QStringLiteral("unreadMessagesCount"), 1);
            m_store.nodesProxyData->refresh();
            m_store.nodeData->refresh();
            Q_EMIT unreadCountChanged();
        }
    }

    sendToNode(m_sink, m_store, nodeFrom,
               {{QStringLiteral("action"), QStringLiteral("confirmChat")}, {QStringLiteral("chatId"), id}});
}

QString Chat::nameOf(const QString& nodeId) const
{
    const QString alias = m_store.peerField(nodeId, QStringLiteral("alias"));
    return alias.isEmpty() ? nodeId : alias;
}

void Chat::receivedNotStored(const QString& nodeFrom, const QString& why)
{
    // The author resends it every few seconds: the first failure is logged and told, the next ones only counted on.
    if (m_receivedNotStored)
        return;
    m_receivedNotStored = true;
    qCWarning(lcChat) << "a message from" << PeerRecords::loggableId(nodeFrom)
                      << "could not be stored, left unconfirmed:" << why;
    m_shell.showNotice(kNotStoredNotice, tr("Messages not saved"),
                       tr("A message from %1 could not be saved: %2. It is not lost: the sender's Vesk sends it "
                          "again until it is saved.")
                           .arg(nameOf(nodeFrom), why));
}

void Chat::receivedStored()
{
    if (!m_receivedNotStored)
        return;
    m_receivedNotStored = false;
    qCInfo(lcChat) << "received messages are stored again";
    m_shell.closeNotice(kNotStoredNotice);
}

void Chat::handleConfirmChat(const Parameters& message)
{
    const QString chatId = message.value(QStringLiteral("chatId")).toString();
    m_store.setField(kChatsTable, chatId, QStringLiteral("status"), QStringLiteral("sent"));
    m_store.chatsModel->refresh();
}

void Chat::registerHandlers(MessageDispatcher& dispatcher)
{
    dispatcher.registerHandler(QStringLiteral("newChatMessage"), this, &Chat::handleNewChatMessage);
    dispatcher.registerHandler(QStringLiteral("confirmChat"), this, &Chat::handleConfirmChat);
}

void Chat::resendUnconfirmed()
{
    QList<QPair<QString, Parameters>> resend; // recipient, message
    {
        QSqlQuery q(m_store.database());
        q.prepare(QStringLiteral("select * from vesk_chats where peerfrom = ? and status = 'unknown' and timesent > ? "
                                 "order by timesent asc limit ?"));
        q.bindValue(0, m_profile.hostId());
        q.bindValue(1, m_clock.nowMs() - kResendWindowMs);
        q.bindValue(2, kResendBatch);
        if (!q.exec())
            return;
        while (q.next()) {
            const QSqlRecord row = q.record();
            resend.append({row.value(QStringLiteral("peerto")).toString(),
                           chatMessage(row.value(QStringLiteral("message")).toString(),
                                       row.value(QStringLiteral("id")).toString(),
                                       row.value(QStringLiteral("timesent")).toLongLong(), m_profile.hostId())});
        }
    }
    for (const auto& [peerTo, parameters] : std::as_const(resend))
        sendToNode(m_sink, m_store, peerTo, parameters);
}

void Chat::resendAllTo(const QString& nodeId)
{
    QList<Parameters> resend;
    {
        QSqlQuery q(m_store.database());
        q.prepare(QStringLiteral("select id, message, timesent from vesk_chats where peerfrom = ? and peerto = ? and "
                                 "status = 'unknown' order by timesent asc"));
        q.bindValue(0, m_profile.hostId());
        q.bindValue(1, nodeId);
        if (!q.exec())
            return;
        while (q.next()) {
            resend.append(
                chatMessage(q.value(1).toString(), q.value(0).toString(), q.value(2).toLongLong(), m_profile.hostId()));
        }
    }
    const QHostAddress address = m_store.nodeAddress(nodeId);
    for (const Parameters& parameters : std::as_const(resend))
        m_sink.sendTo(nodeId, address, parameters);
}

void Chat::openConversation(const QString& peerId, bool otherPeer)
{
    if (otherPeer)
        m_store.chatsModel->setQuery(QString::fromLatin1(StoreQueries::kChatHistory), m_store.database(),
                                     {peerId, peerId});
    m_store.setField(kPeersTable, peerId, QStringLiteral("unreadMessagesCount"), QStringLiteral("0"));
    m_store.nodesProxyData->refresh();
    if (peerId.isEmpty())
        m_store.nodeData->refresh();
    Q_EMIT unreadCountChanged();
}

} // namespace Vesk
