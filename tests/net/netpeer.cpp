// A minimal node for cross-host tests: announces itself, listens on the message port like the controller, and
// answers every newly discovered node with one message. Prints one line per event:
//   discovered <nodeId> <address> <os> <alias>
//   received <action> <nodeFrom> <senderIPAddress>
//
//   netpeer <nodeId> <alias> <seconds>

#include "net/peermanager.h"
#include "net/vesktcpsocket.h"

#include <QCoreApplication>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: netpeer <nodeId> <alias> <seconds>\n");
        return 64;
    }
    const QString nodeId = args.at(1);
    const QString alias = args.at(2);

    QTcpServer server;
    if (!server.listen(QHostAddress::AnyIPv4, VeskTcpSocket::kTcpPort)) {
        std::fprintf(stderr, "netpeer: cannot listen: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, [&server] {
        while (QTcpSocket* accepted = server.nextPendingConnection()) {
            auto* connection = new VeskTcpSocket;
            QObject::connect(connection, &VeskTcpSocket::parametersRead, [](const QHash<QString, QVariant>& m) {
                std::printf("received %s %s %s\n", qPrintable(m.value("action").toString()),
                            qPrintable(m.value("nodeFrom").toString()),
                            qPrintable(m.value("senderIPAddress").toString()));
                std::fflush(stdout);
            });
            connection->setSocket(accepted);
        }
    });

    PeerManager peerManager;
    peerManager.setAnnouncementSource([&] { return PeerManager::buildAnnouncement(nodeId, "Linux", alias); });
    QSet<QString> greeted;
    QObject::connect(&peerManager, &PeerManager::newConnection,
                     [&](const QString& id, const QString& address, const QString& os, const QString& peerAlias) {
                         std::printf("discovered %s %s %s %s\n", qPrintable(id), qPrintable(address), qPrintable(os),
                                     qPrintable(peerAlias));
                         std::fflush(stdout);
                         if (greeted.contains(id))
                             return;
                         greeted.insert(id);
                         (new VeskTcpSocket)
                             ->sendParameters(QHostAddress(address),
                                              {{"action", "addMeRequest"}, {"nodeFrom", nodeId}, {"alias", alias}});
                     });

    QTimer::singleShot(args.at(3).toInt() * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
