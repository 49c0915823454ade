#pragma once

#include "net/wire.h"
#include "peers/peersecurity.h"
#include "secure/identitykey.h"

#include "streamnode.h"
#include "subsystemfixture.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QTcpServer>

#include <memory>

namespace TestSupport {

const QString kBob = QStringLiteral("{00000000-0000-4000-8000-00000000000b}");
const QString kPlain = QStringLiteral("{00000000-0000-4000-8000-00000000000p}");
const QString kOther = QStringLiteral("{00000000-0000-4000-8000-0000000000ee}");
const auto kAccept = [](const QString&, const QByteArray&) {
    return Vesk::PeerStreams::PinVerdict::Accept;
};

// A port free on each of the loopback addresses the tests listen on. It is taken below the range the system hands
// out to listens on port 0 and to outgoing connections, so that nothing running beside the test (another test's
// listener, a relay's connection from its own address) can take it between this look and the test's own listens.
inline quint16 freePort()
{
    for (int tries = 0; tries < 200; ++tries) {
        const auto port = quint16(QRandomGenerator::global()->bounded(10000, 25000));
        bool free = true;
        for (const char* address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
            QTcpServer server;
            free = free && server.listen(QHostAddress(QString::fromLatin1(address)), port);
        }
        if (free)
            return port;
    }
    return 0;
}

// A message as it comes in on the plain port.
inline Vesk::Parameters plainFrom(const QString& nodeId, const QString& address,
                                  const QString& action = "newChatMessage")
{
    return {{"action", action}, {"nodeFrom", nodeId}, {"message", "hi"}, {"senderIPAddress", address}};
}

// Alice, the installation under test: her own database, key file and profile, her PeerSecurity dialling streams
// to a free port and listening there on 127.0.0.1, and what it lets out in plain.
class PeerSecurityRig
{
public:
    PeerSecurityRig() : port(freePort())
    {
        fixture.profile.id = FixedProfile().id;
        start();
    }
    QString id() const { return fixture.profile.id; }
    QString keyFile() const { return fixture.dataFolder() + QStringLiteral("identity.key"); }

    // A peer whose key was pinned at an earlier run: its row with that key, and Alice started again to load it.
    Vesk::IdentityKey pinPeer(const QString& nodeId, const QString& address,
                              const Vesk::IdentityKey& key = Vesk::IdentityKey::generate())
    {
        fixture.addPeer(nodeId, "on", address);
        exec("update vesk_peers set identityKey = ? where id = ?",
             {QString::fromLatin1(key.publicKey().toHex()), nodeId});
        start();
        return key;
    }

    // What the program would put on the message port for this message, if anything.
    QByteArray send(const QString& to, const Vesk::Parameters& message, const QString& nodeId = QString())
    {
        const QByteArray frame = security->frame(QHostAddress(to), nodeId, message);
        if (!frame.isNull())
            plain.append({QHostAddress(to), frame});
        return frame;
    }
    Vesk::Parameters chat(const QString& text) const
    {
        return {{"action", "newChatMessage"}, {"nodeFrom", id()}, {"message", text}, {"chatId", "{c}"}};
    }
    Vesk::Parameters handshake(const QString& status = "off") const { return fixture.profile.addMeRequest(status); }
    // A plain message from that node at that address, admitted, and its row moved there as the records would.
    void hear(const QString& nodeId, const QString& at)
    {
        Vesk::Parameters message = plainFrom(nodeId, at);
        QVERIFY(security->admit(message));
        exec("update vesk_peers set ipAddress = ? where id = ?", {at, nodeId});
    }

    SubsystemFixture fixture;
    const quint16 port;
    std::unique_ptr<Vesk::PeerSecurity> security;
    QList<std::pair<QHostAddress, QByteArray>> plain;

private:
    void start()
    {
        security.reset();
        security = std::make_unique<Vesk::PeerSecurity>(*fixture.store, fixture.clock, fixture.profile, keyFile());
        security->setPlainSender([this](const QHostAddress& to, QByteArray frame) { plain.append({to, frame}); });
        security->setHandshakeSender(
            [this](const QString& nodeId, const QHostAddress& to, const Vesk::Parameters& handshake) {
                const QByteArray frame = security->frame(to, nodeId, handshake);
                if (!frame.isNull())
                    plain.append({to, frame});
            });
        security->setDialPort(port);
        if (!security->listen(QHostAddress("127.0.0.1"), port))
            qWarning() << "Alice cannot listen on port" << port; // her streams never come up: the test fails
    }
};

} // namespace TestSupport
