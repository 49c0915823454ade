#pragma once

#include "net/messagesink.h"
#include "peers/replylimiter.h"

#include <QObject>
#include <QString>

namespace Vesk {

class Clock;
class LocalProfile;
class Store;

// Peer records and the handshake that makes two nodes known to each other, with the avatars that travel in it.
// Every node heard of gets a row in vesk_peers; a node is "on" once it has confirmed us.
class PeerRecords : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PeerRecords)

public:
    using Parameters = MessageSink::Parameters;

    // Two nodes that block each other never confirm each other, and each answers the other's request with one of
    // its own. A node we block gets at most one such answer per announcement cycle (eleven announcements two
    // seconds apart); an exchange with a single block, or none, never reaches the limit.
    static constexpr qint64 kBlockedAnswerWindowMs = 22000;
    // Real node ids are braced UUIDs and aliases a name; what a peer sends beyond these lengths is not kept.
    static constexpr int kMaxNodeIdLength = 256;
    static constexpr int kMaxAliasLength = 256;

    // dataFolder ends with a separator; peers' avatars are stored there.
    PeerRecords(Store& store, MessageSink& sink, const Clock& clock, const LocalProfile& profile,
                const QString& dataFolder, QObject* parent = nullptr);

    void addNodeFromUDP(const QString& nodeId, const QString& ipAddress, const QString& nodeOS,
                        const QString& nodeAlias);
    void addNodeFromAddMeRequest(const QString& nodeId, const QString& ipAddress, const QString& nodeOS,
                                 const QString& nodeAlias);
    void handleAddMeRequest(const Parameters& message);
    void handleAddMeRequestConfirmed(const Parameters& message);

    void requestAvatar(const QString& nodeId);
    void handleAvatarRequested(const Parameters& message);
    void handleAvatarObtained(const Parameters& message);

    // After the user changed name or picture: the own row follows (its picture arrives over the loopback).
    void refreshOwnPeerRow();
    // Keeps a node's stored address current; returns whether it changed.
    bool refreshAddress(const QString& nodeId, const QString& senderAddress);

    void blockUser(const QString& peerId);
    void unblockUser(const QString& peerId);
    // Every stored peer becomes "off" until it confirms us again.
    void markAllOff();

    // A node id as it may appear in the log: peers choose it, so control characters (which could forge log
    // lines) become "?" and a long one is cut.
    static QString loggableId(const QString& nodeId);

private:
    bool upsertPeer(const QString& nodeId, const QString& alias, const QString& address, const QString& os);
    Parameters addMeRequest(const QString& status) const;

    Store& m_store;
    MessageSink& m_sink;
    const Clock& m_clock;
    const LocalProfile& m_profile;
    const QString m_dataFolder;
    ReplyLimiter m_blockedAnswers{kBlockedAnswerWindowMs};
};

} // namespace Vesk
