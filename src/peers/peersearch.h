#pragma once

#include "net/messagesink.h"
#include "peers/replylimiter.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

namespace Vesk {

class Clock;
class LocalProfile;
class Store;

// Looks for peers again in short rounds, so that a peer cut off for a while (a pulled cable, a switch port that
// went down, Wi-Fi that dropped) comes back by itself within seconds of being reachable:
// - a peer shown offline because it stopped answering (nobody took a connection to it, or it did not confirm when
//   asked) is asked to add us again 2 s later, then after 4, 8, 16 and 32 s and every minute after that, for an
//   hour; a peer that went away for good is then left to its own announcements;
// - when the user asks who is there (and at the hourly refresh, after a sleep, after a change of this computer's
//   links), every peer shown online is asked to confirm us again and stays shown online meanwhile: only one that
//   has not confirmed within kConfirmWaitMs goes offline, and is then looked for as above; lost peers are asked
//   at once;
// - any message from a peer shown offline, besides the handshake's own, makes us ask it at once: one that names
//   its node, or one from the address a lost peer was at (file packets and confirmations name none).
// Every ask is the handshake's "addMeRequest", and the peer's "addMeRequestConfirmed" marks it online as always.
// Rounds run every kRoundMs and send at most kMaxAsksPerRound asks, those waiting longest first.
class PeerSearch : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PeerSearch)

public:
    static constexpr qint64 kFirstLookMs = 2000;
    static constexpr qint64 kLongestWaitMs = 60000;
    static constexpr qint64 kGiveUpMs = 3600000;
    static constexpr qint64 kConfirmWaitMs = 10000;
    static constexpr int kRoundMs = 1000;
    static constexpr int kMaxAsksPerRound = 16;
    // Peers searched for at once; beyond it a newly lost peer is left to the announcements.
    static constexpr int kMaxSearched = 512;
    // A peer shown offline that keeps sending (a download's packets, a chat resent) is asked at most this often.
    static constexpr qint64 kHeardAskWindowMs = 2000;

    // The wait before the next look at a lost peer that has been looked for `looks` times.
    static qint64 waitAfterLooks(int looks);
    // Whether a message with this action from a peer whose row says `status` makes us ask it to add us at once.
    static bool asksBack(const QString& action, const QString& status);

    PeerSearch(Store& store, MessageSink& sink, const Clock& clock, const LocalProfile& profile,
               QObject* parent = nullptr);

    // These peers were marked offline because nobody answered for them.
    void lost(const QStringList& nodeIds);
    // The peer confirmed us. Returns whether it had been asked to confirm while shown online, so that whatever
    // waits for it (a download given up on its owner) can go out again as after a return.
    bool confirmed(const QString& nodeId);
    // Who is there: every peer shown online is asked to confirm, every lost peer is looked for now.
    void lookAgain();
    // A message came from this address; nodeId is empty when the message does not name its sender.
    void heardFrom(const QString& nodeId, const QString& address, const QString& action);
    // One round: peers that did not confirm in time go offline, and those due are asked.
    void round();

    bool isLost(const QString& nodeId) const;
    bool isAwaitingConfirmation(const QString& nodeId) const;
    int searched() const { return int(m_searches.size()); }

    void start();
    void stop();

private:
    static bool isHandshake(const QString& action);
    struct Search
    {
        bool lost = false;  // else shown online and asked to confirm
        bool asked = false; // shown online: asked, waiting for the confirmation until dueMs
        qint64 dueMs = 0;   // when to ask (again)
        qint64 sinceMs = 0; // lost since
        int looks = 0;      // lost: asked this often so far
        QString address;    // lost: where it was, to recognise its messages that carry no node id
    };
    void markLost(const QString& nodeId, qint64 now);
    void forget(const QString& nodeId);
    void ask(const QString& nodeId, const QHostAddress& address, const QString& status);
    bool room(const QString& nodeId);

    Store& m_store;
    MessageSink& m_sink;
    const Clock& m_clock;
    const LocalProfile& m_profile;
    QHash<QString, Search> m_searches;     // node id -> what is done for it
    QMultiHash<QString, QString> m_lostAt; // address -> lost node ids there
    ReplyLimiter m_heardAsks{kHeardAskWindowMs};
    QTimer m_roundTimer;
    bool m_full = false; // said once that the bound was reached
};

} // namespace Vesk
