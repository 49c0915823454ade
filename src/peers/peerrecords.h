#pragma once

#include "net/messagesink.h"
#include "peers/peersearch.h"
#include "peers/refusallog.h"
#include "peers/replylimiter.h"
#include "peers/strangerrows.h"
#include "store/diskroom.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace Vesk {

class Clock;
class LocalProfile;
class MessageDispatcher;
class Store;

// The "status" of a row of vesk_peers: "on" once the peer has confirmed us, "off" while it is away or looked for.
inline const QString kPeerOn = QStringLiteral("on");
inline const QString kPeerOff = QStringLiteral("off");

// Peer records and the handshake that makes two nodes known to each other, with the avatars that travel in it.
// Every node heard of gets a row in vesk_peers; a node is "on" once it has confirmed us.
class PeerRecords : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PeerRecords)

public:
    // Two nodes that block each other never confirm each other, and each answers the other's request with one of
    // its own. A node we block gets at most one such answer per announcement cycle (eleven announcements two
    // seconds apart); an exchange with a single block, or none, never reaches the limit.
    static constexpr qint64 kBlockedAnswerWindowMs = 22000;
    // Real node ids are braced UUIDs and aliases a name; what a peer sends beyond these lengths is not kept.
    static constexpr int kMaxNodeIdLength = 256;
    static constexpr int kMaxAliasLength = 256;
    // Each peer shown online is checked this often (a connection opened and closed, nothing sent), so one that
    // quit without a word shows as offline within about this time plus a connection's lifetime.
    static constexpr qint64 kPresenceCheckMs = 15000;
    // Checks started per round (rounds are about a second apart), so an office full of peers is checked in a
    // steady trickle rather than in bursts.
    static constexpr int kMaxChecksPerRound = 16;
    static constexpr int kPresenceRoundMs = 1000;
    // A peer confirms us once for every announcement of its we hear, and the picture it would send back is
    // almost always the one we hold. Its avatar is asked for when it comes online or announces a new alias, and
    // at most once per window after that. The window is half a round of announcements (eleven, 2 s apart), so a
    // peer that changes only its picture and announces again is still asked within that round.
    static constexpr qint64 kAvatarRequestWindowMs = 10000;
    // Our picture goes to one address at most once in this window, however often it is asked for there: each
    // answer is the whole picture, and a peer that asks without reading would pile them up here.
    static constexpr qint64 kAvatarAnswerWindowMs = 2000;
    // A new node at an address that already holds all the strangers it may (see StrangerRows) is recorded, but
    // the handshake it calls for goes to that address at most once in this window (an announcement's interval):
    // a flood of invented node ids must not become as many handshakes and dials. A node known there is answered
    // as always.
    static constexpr qint64 kCrowdedAnswerWindowMs = 2000;
    // Strangers forgotten to make room, and pictures refused for want of room, are logged at most once in this
    // window each, with how often it happened.
    static constexpr qint64 kRefusalLogWindowMs = 10000;

    // dataFolder ends with a separator; peers' avatars are stored there.
    PeerRecords(Store& store, MessageSink& sink, const Clock& clock, const LocalProfile& profile,
                const QString& dataFolder, QObject* parent = nullptr);

    // Decides whether an announcement is recorded as the plain protocol has it (see PeerSecurity::announced);
    // without a gate every one is.
    using AnnouncementGate = std::function<bool(const QString& nodeId, const QString& address)>;
    void setAnnouncementGate(AnnouncementGate gate) { m_announcementGate = std::move(gate); }
    // Serves the handshake and the avatars ("addMeRequest", "addMeRequestConfirmed", "avatarRequested",
    // "avatarObtained", "requestMyInfo"), and keeps the stored address of every node that sends us anything current.
    void registerHandlers(MessageDispatcher& dispatcher);

    void addNodeFromUDP(const QString& nodeId, const QString& ipAddress, const QString& nodeOS,
                        const QString& nodeAlias);
    void addNodeFromAddMeRequest(const QString& nodeId, const QString& ipAddress, const QString& nodeOS,
                                 const QString& nodeAlias);
    void handleAddMeRequest(const Parameters& message);
    void handleAddMeRequestConfirmed(const Parameters& message);

    void requestAvatar(const QString& nodeId);
    void handleAvatarRequested(const Parameters& message);
    void handleAvatarObtained(const Parameters& message);
    // How the free bytes of the disk holding the pictures are found (by default: asked of the system).
    void setFreeSpaceProbe(std::function<qint64()> probe) { m_room.setProbe(std::move(probe)); }

    // After the user changed name or picture: the own row follows (its picture arrives over the loopback).
    void refreshOwnPeerRow();
    // Keeps a node's stored address current; returns whether it changed.
    bool refreshAddress(const QString& nodeId, const QString& senderAddress);

    void blockUser(const QString& peerId);
    void unblockUser(const QString& peerId);
    // Nobody listens at this address any more (a connection to it was refused or went unanswered): the peers
    // stored there become "off" and are looked for again (see PeerSearch). They are "on" again as soon as they
    // confirm us.
    void markUnreachable(const QHostAddress& address);
    // Looks for peers again: those gone away, and those shown online when someone asks who is there.
    PeerSearch& search() { return m_search; }
    // The addresses stored for every other peer, most recently recorded first: discovery announces again to
    // those beyond the local subnets.
    QStringList storedAddresses() const;
    // The alias of another peer that is "on" at that address; empty when there is none.
    QString onlineAliasAt(const QString& address) const;
    // One round of the presence check: probes the online peers whose last check is due.
    void checkPresence();
    // The presence rounds and the search's run from start() until stop().
    void start();
    void stop();

Q_SIGNALS:
    // A peer that was not "on" has confirmed us, or one shown online confirmed us when asked who is there:
    // whatever waits for it can go out now.
    void peerCameOnline(const QString& nodeId);
    // This node's name or picture changed.
    void ownProfileChanged();
    // A message came from the node at another address than the one stored, which it replaced.
    void addressChanged(const QString& nodeId);

public:
    // A node id as it may appear in the log: peers choose it, so control characters (which could forge log
    // lines) become "?" and a long one is cut.
    static QString loggableId(const QString& nodeId);

private:
    struct Known
    {
        bool valid = false; // false: a node id that no instance sends, nothing recorded
        QString status;
        bool blocked = false;
        bool crowded = false; // a new row, at an address that held all the strangers it may
    };
    Known upsertPeer(const QString& nodeId, const QString& alias, const QString& address, const QString& os);
    // Before a new node's row is made; returns whether strangers at the address had to be forgotten for it.
    bool makeRoomFor(const QString& nodeId, const QString& address);
    // Whether the handshake a node's announcement or request calls for goes out (see kCrowdedAnswerWindowMs).
    bool mayAnswer(const Known& known, const QString& nodeId, const QString& address);
    // The lists that show a peer's alias, refreshed soon.
    void scheduleListsShowingPeers();

    Store& m_store;
    MessageSink& m_sink;
    const Clock& m_clock;
    const LocalProfile& m_profile;
    const QString m_dataFolder;
    AnnouncementGate m_announcementGate;
    ReplyLimiter m_blockedAnswers{kBlockedAnswerWindowMs};
    ReplyLimiter m_avatarRequests{kAvatarRequestWindowMs};
    ReplyLimiter m_avatarAnswers{kAvatarAnswerWindowMs};
    // Node id -> key of the picture it sent, for pictures kept smaller than sent (see AvatarStore::kept).
    QHash<QString, QString> m_fittedFrom;
    static constexpr int kMaxFittedRemembered = 4096;
    ReplyLimiter m_crowdedAnswers{kCrowdedAnswerWindowMs};
    StrangerRows m_strangers{m_store};
    RefusalLog m_refusals{m_clock, kRefusalLogWindowMs}; // each kind of line on its own window
    // Pictures are not written when the disk holding them has little room: any computer can send one per node id.
    DiskRoom m_room{m_clock, m_dataFolder};
    QHash<QString, qint64> m_lastChecked; // node id -> when its presence was last checked
    QTimer m_presenceTimer;
    PeerSearch m_search;
};

} // namespace Vesk
