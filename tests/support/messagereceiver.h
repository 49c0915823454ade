#pragma once

#include "common/bufferpool.h"
#include "net/messageserver.h"

#include <QList>

namespace TestSupport {

// The receiving side of the message port as the program runs it, on the given port (any free one for 0), with
// what it delivered.
struct MessageReceiver
{
    explicit MessageReceiver(quint16 port = 0, int maxLive = Vesk::MessageServer::kMaxLiveConnections,
                             int maxPerAddress = Vesk::MessageServer::kMaxConnectionsPerAddress,
                             qint64 budget = Vesk::MessageServer::kFrameBudget)
        : server(frames, maxLive, maxPerAddress, budget)
    {
        server.listen(port);
        QObject::connect(&server.tcpServer, &QTcpServer::newConnection, &server,
                         &Vesk::MessageServer::acceptPendingConnections);
        QObject::connect(&server, &Vesk::MessageServer::parametersRead, &server,
                         [this](const Vesk::Parameters& parameters) { received.append(parameters); });
    }
    Vesk::BufferPool frames;
    Vesk::MessageServer server;
    QList<Vesk::Parameters> received;
};

} // namespace TestSupport
