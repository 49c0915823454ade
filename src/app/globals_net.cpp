#include "app/globals.h"

#include "net/messagedispatcher.h"
#include "net/netlogging.h"
#include "net/sendqueue.h"
#include "net/vesktcpsocket.h"
#include "store/vesksqlquerymodel.h"

#include <QTcpSocket>

namespace {
// More simultaneous incoming connections than any number of peers produce in normal use; beyond it, new ones
// are refused at once so that a flood cannot use up the process's descriptors.
constexpr int kMaxLiveConnections = 512;

const QString kPeersTable = QStringLiteral("vesk_peers");
const QString kIpAddressColumn = QStringLiteral("ipAddress");

// Every send of the process goes through one queue, which bounds the connections open at once. Like the
// controller, it lives as long as the process.
SendQueue& sendQueue()
{
    static auto* queue = new SendQueue;
    return *queue;
}
} // namespace

namespace Vesk {

void Globals::sendParametersToAddress(const QHostAddress& address, const Parameters& parameters)
{
    sendQueue().send(address, parameters);
}

void Globals::sendToNode(const QString& nodeId, const Parameters& parameters)
{
    sendParametersToAddress(getNodeAddress(nodeId), parameters);
}

void Globals::newTCPConnection()
{
    // One notification may stand for several connections; take them all.
    while (QTcpSocket* accepted = tcpServer.nextPendingConnection()) {
        if (VeskTcpSocket::liveCount() >= kMaxLiveConnections) {
            qCDebug(lcNet) << "too many open connections, refusing one from" << accepted->peerAddress();
            accepted->abort();
            accepted->deleteLater();
            continue;
        }
        auto* connection = new VeskTcpSocket;
        connect(connection, &VeskTcpSocket::parametersRead, this, &Globals::newMessage, Qt::QueuedConnection);
        connection->setSocket(accepted);
    }
}

void Globals::processMessage(QHash<QString, QVariant> message)
{
    if (m_dispatcher)
        m_dispatcher->dispatch(message);
}

void Globals::registerMessageHandlers()
{
    m_dispatcher = std::make_unique<MessageDispatcher>();

    m_dispatcher->setAddressRefresh([this](const QString& nodeId, const QString& senderAddress) {
        if (!nodeData)
            return;
        if (nodeData->getField(kPeersTable, nodeId, kIpAddressColumn) == senderAddress)
            return;
        nodeData->setField(kPeersTable, nodeId, kIpAddressColumn, senderAddress);
        // The open conversation shows its peer's address; let it read the new one.
        if (nodeId == m_currentSelectedChatPeer)
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
    m_dispatcher->registerHandler(QStringLiteral("addMeRequest"), handler(&Globals::handleAddMeRequest));
    m_dispatcher->registerHandler(QStringLiteral("addMeRequestConfirmed"),
                                  handler(&Globals::handleAddMeRequestConfirmed));
}

} // namespace Vesk
