// The controller's transport: the one way out for messages, the accepted connections and the dispatch of what
// arrives to the subsystem that handles each action.
#include "app/globals.h"

#include "net/messagedispatcher.h"
#include "net/wire.h"
#include "peers/nodeidentity.h"
#include "peers/peerrecords.h"
#include "peers/peersecurity.h"
#include "store/store.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"

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

    m_dispatcher->setAddressRefresh([this](const QString& nodeId, const QString& senderAddress) {
        if (m_identity->replaceIfClashing(nodeId, senderAddress))
            return;
        // The open conversation shows its peer's address; let it read the new one.
        if (m_peers->refreshAddress(nodeId, senderAddress) && nodeId == currentSelectedChatPeer())
            Q_EMIT currentSelectedChatPeerChanged();
    });

    const auto handler = [this](void (Globals::*method)(const Parameters&)) {
        return [this, method](const Parameters& message) {
            (this->*method)(message);
        };
    };
    m_dispatcher->registerHandler(QStringLiteral("newChatMessage"), handler(&Globals::handleNewChatMessage));
    m_dispatcher->registerHandler(QStringLiteral("confirmChat"), handler(&Globals::handleConfirmChat));
    m_dispatcher->registerHandler(QStringLiteral("newFileToDownload"), handler(&Globals::handleNewFileToDownload));
    m_dispatcher->registerHandler(QStringLiteral("confirmFileToSend"), handler(&Globals::handleConfirmFileToSend));
    m_dispatcher->registerHandler(QStringLiteral("sendDataPacket"), handler(&Globals::handleSendDataPacket));
    m_dispatcher->registerHandler(QStringLiteral("avatarRequested"), handler(&Globals::handleAvatarRequested));
    m_dispatcher->registerHandler(QStringLiteral("avatarObtained"), handler(&Globals::handleAvatarObtained));
    m_dispatcher->registerHandler(QStringLiteral("receiveDataPacket"), handler(&Globals::handleReceiveDataPacket));
    m_dispatcher->registerHandler(QStringLiteral("fileTransferComplete"), handler(&Globals::handleRemoveFileToSend));
    m_dispatcher->registerHandler(QStringLiteral("removeFileToSend"), handler(&Globals::handleRemoveFileToSend));
    m_dispatcher->registerHandler(QStringLiteral("removeFileToGet"), handler(&Globals::handleRemoveFileToGet));
    m_dispatcher->registerHandler(QStringLiteral("requestMyInfo"), [this](const Parameters& message) {
        requestAvatar(message.value(QStringLiteral("nodeFrom")).toString());
    });
    m_dispatcher->registerHandler(QStringLiteral("newFolderToDownload"), [this](const Parameters& message) {
        m_incoming->handleNewFolderToDownload(message);
    });
    m_dispatcher->registerHandler(QStringLiteral("confirmFolderToSend"), [this](const Parameters& message) {
        m_outgoing->handleConfirmFolderToSend(message);
    });
    m_dispatcher->registerHandler(QStringLiteral("addMeRequest"), handler(&Globals::handleAddMeRequest));
    m_dispatcher->registerHandler(QStringLiteral("addMeRequestConfirmed"),
                                  handler(&Globals::handleAddMeRequestConfirmed));
}

} // namespace Vesk
