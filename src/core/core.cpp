#include "core/core.h"

#include "net/messagedispatcher.h"
#include "net/messageorigin.h"
#include "net/netaddress.h"
#include "net/wire.h"
#include "peers/chat.h"
#include "peers/nodeidentity.h"
#include "peers/ownprofile.h"
#include "peers/peerrecords.h"
#include "peers/peersecurity.h"
#include "store/database.h"
#include "store/store.h"
#include "store/transferlists.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/deliveredfiles.h"
#include "transfer/downloadengine.h"
#include "transfer/downloadsfolder.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"
#include "transfer/packetserver.h"

#include <QDebug>
#include <QHostAddress>

namespace Vesk {

namespace {
// Each message of a plain peer's sender that carries fields of the extensions is logged, up to this many.
constexpr int kExtensionFieldsLogged = 1000;

// The own node is recorded like a discovered one, at the loopback address.
QString localAddress()
{
    return QHostAddress(QHostAddress::LocalHost).toString();
}
} // namespace

Core::Core(QSettings& settings, const Setup& setup, Shell& shell, QObject* parent) : QObject(parent)
{
    m_identity = std::make_unique<NodeIdentity>(settings, setup.machineId);
    connect(m_identity.get(), &NodeIdentity::idChanged, this, &Core::nodeIdChanged);
    m_profile = std::make_unique<OwnProfile>(settings, *m_identity, setup.dataFolder, setup.osName);

    m_server.listen();
    connect(&m_server.tcpServer, &QTcpServer::newConnection, &m_server, &MessageServer::acceptPendingConnections,
            Qt::QueuedConnection);
    connect(&m_server, &MessageServer::parametersRead, this, &Core::newMessage, Qt::QueuedConnection);
    connect(this, &Core::newMessage, this, &Core::processMessage, Qt::QueuedConnection);

    m_store = std::make_unique<Store>(Database::open(setup.dataFolder, &m_interruptedDownloads), m_clock);
    m_transferLists = new TransferLists(*m_store, m_store.get());
    Store& store = *m_store;
    m_peers = std::make_unique<PeerRecords>(store, m_sendQueue, m_clock, *m_profile, setup.dataFolder);
    if (setup.sealing)
        startSecurity(setup.dataFolder + QStringLiteral("identity.key"), setup.streamPort);
    m_chat = std::make_unique<Chat>(store, m_sendQueue, m_clock, *m_profile, shell);
    m_packets = std::make_unique<PacketServer>(store, m_sendQueue, m_frames, m_clock);
    m_outgoing = std::make_unique<OutgoingOffers>(store, m_sendQueue, m_clock, *m_profile, shell, *this, *m_packets);
    m_downloads = std::make_unique<DownloadsFolder>(settings, setup.defaultDownloadsFolder, store, shell);
    m_engine =
        std::make_unique<DownloadEngine>(store, m_sendQueue, m_frames, m_clock, shell, *this, m_downloads->path());
    m_incoming = std::make_unique<IncomingOffers>(store, m_sendQueue, m_clock, shell, *m_engine);
    m_delivered = std::make_unique<DeliveredFiles>(settings, store, m_clock);
    connectSubsystems();
    registerHandlers();

    m_peers->addNodeFromUDP(hostId(), localAddress(), m_profile->osName(), m_profile->userAlias());
}

Core::~Core()
{
    // The subsystems go before the queue they send through; what they send while they go is framed plainly.
    m_sendQueue.setFrameBuilder({});
}

QString Core::hostId() const
{
    return m_identity->id();
}

void Core::startSecurity(const QString& keyFile, quint16 streamPort)
{
    m_security = std::make_unique<PeerSecurity>(*m_store, m_clock, *m_profile, keyFile);
    if (!m_security->listen(QHostAddress::Any, streamPort))
        qCritical().noquote() << QStringLiteral("Port %1 cannot take streams (%2): other Vesk programs reach this one "
                                                "only through the streams it dials")
                                     .arg(streamPort)
                                     .arg(m_security->listenError());
    m_security->setDialPort(streamPort);
    m_security->setFramePool(&m_frames);
    m_sendQueue.setFrameBuilder(
        [this](const QHostAddress& address, const QString& nodeId, const Parameters& parameters, BufferPool* frames) {
            return m_security->frame(address, nodeId, parameters, frames);
        });
    m_security->setPlainSender(
        [this](const QHostAddress& address, QByteArray frame) { m_sendQueue.sendFrame(address, std::move(frame)); });
    m_security->setHandshakeSender(
        [this](const QString& nodeId, const QHostAddress& address, const Parameters& handshake) {
            m_sendQueue.sendTo(nodeId, address, handshake);
        });
    m_security->setDelivery([this](Parameters message) { dispatchMessage(message); });
    m_peers->setAnnouncementGate(
        [this](const QString& nodeId, const QString& address) { return m_security->announced(nodeId, address); });
    connect(m_peers.get(), &PeerRecords::ownProfileChanged, m_security.get(), &PeerSecurity::handshakeOnStreams);
    // Only a computer that proved it holds our own identity key is a copy of this installation.
    connect(
        m_security.get(), &PeerSecurity::copyOfThisInstallation, this,
        [this](const QString& address) { m_identity->replaceIfClashing(m_identity->id(), address); },
        Qt::QueuedConnection); // the streams are made anew with the new id: not inside one of their own signals
}

void Core::connectSubsystems()
{
    // Presence: a peer nobody answers for is offline; one that confirms us again gets what waited for it.
    connect(&m_sendQueue, &SendQueue::unreachable, m_peers.get(), &PeerRecords::markUnreachable, Qt::QueuedConnection);
    connect(m_peers.get(), &PeerRecords::peerCameOnline, this, [this](const QString& nodeId) {
        m_chat->resendAllTo(nodeId);
        m_engine->ownerCameOnline(nodeId);
    });
    connect(m_outgoing.get(), &OutgoingOffers::delivered, m_delivered.get(), &DeliveredFiles::add);
    connect(m_downloads.get(), &DownloadsFolder::changed, m_engine.get(), &DownloadEngine::setDownloadsFolder);
    if (m_security) {
        // A packet is read from the file once its stream can take it, not while a receiver's whole window waits.
        m_packets->setRoom([this](const QString& nodeId) { return m_security->hasRoomFor(nodeId); });
        connect(m_security.get(), &PeerSecurity::roomFor, m_packets.get(), &PacketServer::serveWaiting);
        connect(m_security.get(), &PeerSecurity::streamEnded, m_packets.get(), &PacketServer::dropWaiting);
        // An owner's stream holds what was asked of it until it ends: asked again then, not at every quiet tick.
        connect(m_security.get(), &PeerSecurity::streamEnded, m_engine.get(), &DownloadEngine::ownerStreamEnded);
    }
}

void Core::registerHandlers()
{
    m_dispatcher = std::make_unique<MessageDispatcher>();
    m_peers->registerHandlers(*m_dispatcher);
    m_chat->registerHandlers(*m_dispatcher);
    m_outgoing->registerHandlers(*m_dispatcher);
    m_incoming->registerHandlers(*m_dispatcher);
    m_engine->registerHandlers(*m_dispatcher);
    m_packets->registerHandlers(*m_dispatcher);
}

void Core::start(bool resumeInterrupted)
{
    m_store->setPeerQueries(hostId());
    m_peers->requestAvatar(hostId());
    m_engine->start();
    m_chat->start();
    m_outgoing->start();
    m_incoming->start();
    m_peers->start();
    // The start-up reset made the downloads queued at the stop wait for the user; unless the user asked for that,
    // they go on by themselves, each from its bytes on disk.
    if (resumeInterrupted)
        m_engine->resumeInterrupted(m_interruptedDownloads);
    m_interruptedDownloads.clear();
}

void Core::stop()
{
    m_engine->stop();
    m_chat->stop();
    m_outgoing->stop();
    m_incoming->stop();
    m_peers->stop();
}

void Core::processMessage(Parameters message)
{
    if (m_security && !m_security->admit(message))
        return; // refused and logged
    dispatchMessage(message);
}

void Core::dispatchMessage(Parameters& message)
{
    if (!m_security)
        noteExtensionFields(message);
    m_dispatcher->dispatch(message);
}

void Core::noteExtensionFields(const Parameters& message)
{
    // The test rig's plain peer stands for a program from before the extensions, which would find these fields
    // unknown: each such message is a fault of its sender, so each is logged.
    if (!carriesExtensionFields(message) || ++m_extensionFieldsNoted > kExtensionFieldsLogged)
        return;
    QStringList fields;
    for (auto field = message.cbegin(); field != message.cend(); ++field)
        if (isExtensionField(field.key()))
            fields.append(field.key());
    fields.sort();
    qCritical().noquote() << QStringLiteral("Received a message with fields unknown to a plain program from %1: %2")
                                 .arg(message.value(MessageOrigin::kSenderAddress).toString(), fields.join(u' '));
}

quint32 Core::capabilitiesOf(const QString& nodeId) const
{
    return m_security ? m_security->capabilitiesOf(nodeId) : 0;
}

void Core::nodeIdChanged(const QString& oldId)
{
    // The row of the old id was this node's; from now on that id is the other computer's, which announces
    // itself again (or, if it changed its id too, is gone for good rather than left as a ghost).
    m_store->deleteRow(kPeersTable, oldId);
    m_store->setPeerQueries(hostId());
    // A new id comes with a new identity key: two installations made from one disk must not share one.
    if (m_security)
        m_security->renewIdentity();
    m_peers->addNodeFromUDP(hostId(), localAddress(), m_profile->osName(), m_profile->userAlias());
    m_peers->requestAvatar(hostId());
    Q_EMIT hostIdChanged();
}

} // namespace Vesk
