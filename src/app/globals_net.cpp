// The controller's transport: the one way out for messages, the accepted connections and the dispatch of what
// arrives to the subsystem that handles each action.
#include "app/globals.h"

#include "net/messagedispatcher.h"
#include "net/wire.h"
#include "peers/nodeidentity.h"
#include "peers/peerrecords.h"
#include "peers/peersecurity.h"
#include "store/store.h"
#include "peers/chat.h"
#include "transfer/downloadengine.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"
#include "transfer/packetserver.h"

namespace Vesk {

void Globals::sendParametersToAddress(const QHostAddress& address, const Parameters& parameters)
{
    m_sendQueue.send(address, parameters);
}

void Globals::newTCPConnection()
{
    m_server.acceptPendingConnections();
}

void Globals::processMessage(QHash<QString, QVariant> message)
{
    if (m_security && !m_security->admit(message))
        return; // refused, or a file packet that comes back opened through dispatchMessage
    dispatchMessage(message);
}

void Globals::dispatchMessage(Parameters& message)
{
    if (!m_security)
        noteExtensionFields(message);
    // Without sealing (a plain program) a sealed record is a record of unknown fields only.
    message.remove(QLatin1String(kSealedRecordKey));
    if (m_dispatcher)
        m_dispatcher->dispatch(message);
}

void Globals::registerMessageHandlers()
{
    m_dispatcher = std::make_unique<MessageDispatcher>();
    m_peers->setIdentity(m_identity.get());
    m_peers->registerHandlers(*m_dispatcher);
    m_chat->registerHandlers(*m_dispatcher);
    m_outgoing->registerHandlers(*m_dispatcher);
    m_incoming->registerHandlers(*m_dispatcher);
    m_engine->registerHandlers(*m_dispatcher);
    m_packets->registerHandlers(*m_dispatcher);
    // The open conversation shows its peer's address; let it read the new one.
    connect(m_peers.get(), &PeerRecords::addressChanged, this, [this](const QString& nodeId) {
        if (nodeId == m_currentSelectedChatPeer)
            Q_EMIT currentSelectedChatPeerChanged();
    });
}

} // namespace Vesk
