#include "net/messageserver.h"

#include "net/netlogging.h"
#include "net/vesktcpsocket.h"

#include <QTcpSocket>

MessageServer::MessageServer(int maxLiveConnections, QObject* parent) : QObject(parent), m_maxLive(maxLiveConnections)
{
}

bool MessageServer::listen(quint16 port)
{
    tcpServer.setListenBacklogSize(kListenBacklog);
    return tcpServer.listen(QHostAddress::AnyIPv4, port);
}

bool MessageServer::listen()
{
    return listen(VeskTcpSocket::kTcpPort);
}

void MessageServer::acceptPendingConnections()
{
    while (QTcpSocket* accepted = tcpServer.nextPendingConnection()) {
        if (m_live >= m_maxLive) {
            qCDebug(lcNet) << "too many open connections, refusing one from" << accepted->peerAddress();
            accepted->abort();
            accepted->deleteLater();
            continue;
        }
        auto* connection = new VeskTcpSocket;
        ++m_live;
        connect(connection, &QObject::destroyed, this, [this] { --m_live; });
        connect(connection, &VeskTcpSocket::parametersRead, this, &MessageServer::parametersRead);
        connection->setSocket(accepted);
    }
}
