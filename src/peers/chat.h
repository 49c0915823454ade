#pragma once

#include "net/messagesink.h"
#include "peers/replylimiter.h"
#include "store/diskroom.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace Vesk {

class Clock;
class LocalProfile;
class MessageDispatcher;
class Shell;
class Store;

// Chat messages: stored before they are sent, delivered when the recipient confirms, resent until then.
class Chat : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Chat)

public:
    // Own messages still unconfirmed are resent for this long after they were written.
    static constexpr qint64 kResendWindowMs = 3600000;
    // Resend rounds run this often.
    static constexpr int kResendIntervalMs = 5000;
    // Resent per round, oldest first.
    static constexpr int kResendBatch = 5;
    // The popup shows the start of a longer message; the whole text is stored and shown in the conversation. Laying
    // out megabytes of rich text would freeze the interface, and a peer decides how long a message is.
    static constexpr int kMaxPopupCharacters = 4000;
    // The longest message taken, either way. A conversation lays out its last hundred messages at once, and the
    // author decides their length: one computer sending thirty messages of eight million characters had a click on
    // its name take gigabytes and minutes. A longer text goes as a file.
    static constexpr int kMaxChatCharacters = 50000;
    // A chat id is a UUID in braces; anything far longer is not one.
    static constexpr int kMaxChatIdLength = 128;
    // A refused message is logged and told at most once in this long: its author sends it again every few seconds.
    static constexpr qint64 kRefusalTellMs = 10000;

    Chat(Store& store, MessageSink& sink, const Clock& clock, const LocalProfile& profile, Shell& shell,
         QObject* parent = nullptr);

    // False when the message could not be stored: it is then not sent either (the user is told why), since a
    // message out of our own history would be neither shown nor resent.
    bool sendChat(const QString& toNodeId, const QString& message);
    void handleNewChatMessage(const Parameters& message);
    void processNewChatMessage(const QString& message, const QString& nodeFrom, const QStringList& nodeTos,
                               const QString& id, qint64 timeSent);
    void handleConfirmChat(const Parameters& message);
    // Serves "newChatMessage" and "confirmChat".
    void registerHandlers(MessageDispatcher& dispatcher);
    // One resend round of the own messages still waiting for their confirmation.
    void resendUnconfirmed();
    // A peer is back: every own message to it that it never confirmed goes out once more, however old, so that
    // nothing written while it was away stays "Waiting" for good.
    void resendAllTo(const QString& nodeId);

    // The user looks at the conversation with the peer (none: the empty id): the list shows its messages when it is
    // another peer than before, and they are read.
    void openConversation(const QString& peerId, bool otherPeer);

    // Received messages are not stored while the disk holding the database has little room (see DiskRoom): they
    // wait at their authors, who send them again. How its free bytes are found (by default: asked of the system).
    void setFreeSpaceProbe(std::function<qint64()> probe) { m_room.setProbe(std::move(probe)); }

    // The resend rounds run from start() until stop().
    void start();
    void stop();

Q_SIGNALS:
    // The sum of unread messages over all peers may have changed.
    void unreadCountChanged();

private:
    // Why the message could not be stored (empty: it was).
    QString storeChat(const QString& id, const QString& message, const QString& from, const QString& to,
                      const QString& timeText);
    // A received message could not be stored: it is left unconfirmed, so its author sends it again, and the user
    // learns why once, until one is stored again.
    void receivedNotStored(const QString& nodeFrom, const QString& why);
    void receivedStored();
    QString nameOf(const QString& nodeId) const;

    Store& m_store;
    MessageSink& m_sink;
    const Clock& m_clock;
    const LocalProfile& m_profile;
    Shell& m_shell;
    QTimer m_resendTimer;
    bool m_receivedNotStored = false;
    DiskRoom m_room;
    ReplyLimiter m_tooLongTold{kRefusalTellMs};
};

} // namespace Vesk
