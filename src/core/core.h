#pragma once

#include "common/bufferpool.h"
#include "common/clock.h"
#include "net/messageserver.h"
#include "net/parameters.h"
#include "net/peercapabilities.h"
#include "net/peerstreams.h"
#include "net/sendqueue.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QSettings;

namespace Vesk {

class Chat;
class DeliveredFiles;
class DownloadEngine;
class DownloadsFolder;
class IncomingOffers;
class MessageDispatcher;
class NodeIdentity;
class OutgoingOffers;
class OwnProfile;
class PacketServer;
class PeerRecords;
class PeerSecurity;
class Shell;
class Store;
class TransferLists;

// One running node without its interface: the message port, the send queue, the database and its models, this
// installation's identity and profile, sealing, and the subsystems (peer records, chat, offers both ways, the
// download engine, packet serving), wired to each other and to the dispatch of what arrives.
//
// A message travels: socket -> MessageServer::parametersRead -(queued)-> newMessage -(queued)-> processMessage ->
// PeerSecurity::admit (refuses what a plain message may not say) -> MessageDispatcher -> the handler its subsystem
// registered. Between Vesk computers: stream (PeerSecurity's PeerStreams) -> PeerSecurity -> MessageDispatcher.
// Everything runs on the thread that made the core.
class Core : public QObject, public PeerCapabilities
{
    Q_OBJECT
    Q_DISABLE_COPY(Core)

public:
    struct Setup
    {
        QString dataFolder; // ends with a separator
        QString machineId;  // the machine's own identifier, or empty where there is none
        QString osName;
        // Where received files go until the user chooses a folder; ends with a separator.
        QString defaultDownloadsFolder;
        // Off: behaves as a program of the plain protocol (no streams, nothing pinned), so the test rig can run such
        // a peer beside Vesk computers.
        bool sealing = true;
        // Where streams to other Vesk computers are accepted and dialled.
        quint16 streamPort = kPeerStreamPort;
    };

    // Listens on the message port (see messageServer() for whether it could), opens the database and records this
    // node as a peer of its own. Nothing runs by itself until start().
    Core(QSettings& settings, const Setup& setup, Shell& shell, QObject* parent = nullptr);
    ~Core() override;

    // Gives the peer lists their queries, asks for the own picture and starts every subsystem's rounds. With
    // resumeInterrupted the downloads that were queued when the program last stopped go on from their bytes on disk.
    void start(bool resumeInterrupted);
    // Stops the rounds again; tests run each round themselves.
    void stop();

    // A received message, to the subsystem that serves its action once sealing has admitted it.
    void processMessage(Vesk::Parameters message);

    QString hostId() const;
    // What a peer's program can take; nothing beyond the plain protocol while this node acts as a plain one.
    quint32 capabilitiesOf(const QString& nodeId) const override;

    OwnProfile& profile() const { return *m_profile; }
    Store& store() const { return *m_store; }
    // The transfer lists with a folder as one entry.
    TransferLists& transferLists() const { return *m_transferLists; }
    PeerRecords& peerRecords() const { return *m_peers; }
    Chat& chat() const { return *m_chat; }
    OutgoingOffers& outgoingOffers() const { return *m_outgoing; }
    IncomingOffers& incomingOffers() const { return *m_incoming; }
    DownloadEngine& downloadEngine() const { return *m_engine; }
    DownloadsFolder& downloadsFolder() const { return *m_downloads; }
    DeliveredFiles& deliveredFiles() const { return *m_delivered; }
    // Null while sealing is off.
    PeerSecurity* security() const { return m_security.get(); }
    MessageDispatcher& dispatcher() const { return *m_dispatcher; }
    MessageServer& messageServer() { return m_server; }
    // Every time the core and its subsystems read comes from this clock (tests move it).
    const Clock& clock() const { return m_clock; }
    void setClock(const Clock& clock) { m_clock.setTarget(clock); }

Q_SIGNALS:
    // The hop between the socket and processMessage: a handler never runs inside the read that brought its message.
    void newMessage(Vesk::Parameters message);
    // Another computer took over our id; this node goes on under a fresh one, already recorded and asked for its
    // picture.
    void hostIdChanged();

private:
    void startSecurity(const QString& keyFile, quint16 streamPort);
    void connectSubsystems();
    void registerHandlers();
    void dispatchMessage(Parameters& message);
    // Without sealing: logs a received message that carries fields a program from before sealing does not know.
    void noteExtensionFields(const Parameters& message);
    void nodeIdChanged(const QString& oldId);

    ClockProxy m_clock;
    BufferPool m_frames; // message frames, sent and received
    SendQueue m_sendQueue{m_frames};
    MessageServer m_server{m_frames};
    std::unique_ptr<NodeIdentity> m_identity;
    std::unique_ptr<OwnProfile> m_profile;
    std::unique_ptr<Store> m_store;
    TransferLists* m_transferLists = nullptr; // a child of the store
    std::unique_ptr<MessageDispatcher> m_dispatcher;
    std::unique_ptr<PeerRecords> m_peers;
    std::unique_ptr<PeerSecurity> m_security;
    std::unique_ptr<Chat> m_chat;
    std::unique_ptr<PacketServer> m_packets;
    std::unique_ptr<OutgoingOffers> m_outgoing;
    std::unique_ptr<DownloadsFolder> m_downloads;
    std::unique_ptr<DownloadEngine> m_engine;
    std::unique_ptr<IncomingOffers> m_incoming;
    std::unique_ptr<DeliveredFiles> m_delivered;
    // Queued when the program last stopped; queued again by start() when asked to.
    QStringList m_interruptedDownloads;
    int m_extensionFieldsNoted = 0;
};

} // namespace Vesk
