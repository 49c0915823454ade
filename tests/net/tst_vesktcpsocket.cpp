#include "net/messageserver.h"
#include "net/sendqueue.h"
#include "net/vesktcpsocket.h"

#include "testsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <sched.h>
#include <unistd.h>

using Vesk::Parameters;
using Pieces = QList<QByteArray>;

namespace {

// Connection attempts to the address's message port waiting for an answer (state 02, SYN_SENT) as the kernel sees.
int attemptsTo(const char* address)
{
    QFile table(QStringLiteral("/proc/self/net/tcp"));
    table.open(QIODevice::ReadOnly);
    const quint32 ip = qbswap(QHostAddress(QLatin1String(address)).toIPv4Address());
    return int(table.readAll().count(QString::asprintf(" %08X:%04X 02 ", ip, VeskTcpSocket::kTcpPort).toLatin1()));
}

// The receiving side as the program runs it, on the given port (any free one for 0).
struct Receiver
{
    explicit Receiver(quint16 port = 0, int maxLive = MessageServer::kMaxLiveConnections) : server(maxLive)
    {
        server.listen(port);
        QObject::connect(&server.tcpServer, &QTcpServer::newConnection, &server,
                         &MessageServer::acceptPendingConnections);
        QObject::connect(&server, &MessageServer::parametersRead, &server,
                         [this](const Parameters& parameters) { received.append(parameters); });
    }
    MessageServer server;
    QList<Parameters> received;
};

} // namespace

class TestVeskTcpSocket : public QObject
{
    Q_OBJECT
    bool m_isolated = false;

private slots:
    void initTestCase()
    {
        // With the privilege for it the test has a network namespace of its own: the message port is certainly
        // free, and there is a network without any route and a link with nobody at its other end.
        if (geteuid() == 0 && unshare(CLONE_NEWNET) == 0)
            m_isolated =
                QProcess::execute("sh", {"-c", "ip link add v0 type veth peer name v1 && ip addr add 10.79.0.1/24 "
                                               "dev v0 && for l in lo v0 v1; do ip link set $l up; done"}) == 0;
    }

    // What one connection delivers, written in pieces with a pause after each; and when the connection ends.
    void receive_data()
    {
        QTest::addColumn<Pieces>("pieces");
        QTest::addColumn<QList<Parameters>>("expected"); // what is delivered, from 127.0.0.1
        QTest::addColumn<QString>("logged");
        QTest::addColumn<bool>("endsWithLifetime");
        const QByteArray frame = Vesk::parametersToFrame({{"action", "confirmChat"}, {"chatId", "{42}"}});
        const QList<Parameters> chat{{{"action", "confirmChat"}, {"chatId", "{42}"}}}, nothing{{}}, none;
        const QByteArray noHeader(4, '\xff');
        QTest::newRow("whole") << Pieces{frame + QByteArray(4, 0)} << chat << "" << false; // what follows is no message
        for (int cut = 1; cut < 4; ++cut)                                                  // the header in two parts
            QTest::addRow("header %d+%d", cut, 4 - cut)
                << Pieces{frame.left(cut), frame.mid(cut, 4 - cut), frame.mid(4)} << chat << "" << false;
        QTest::newRow("no-header marks") << Pieces{noHeader, noHeader + noHeader + frame} << chat << "" << false;
        QTest::newRow("empty record") << Pieces{QByteArray(4, 0)} << nothing << "" << false;
        QTest::newRow("unparsable record")
            << Pieces{QByteArray::fromHex("030000000a0561")} << nothing << "error parsing" << false;
        const QByteArray largest(int(VeskTcpSocket::kMaxFrameSize) - 5, 'd'); // behind a tag and a 4-byte length
        QTest::newRow("largest allowed") << Pieces{Vesk::parametersToFrame({{"binaryData", largest}})}
                                         << QList<Parameters>{{{"binaryData", largest}}} << "" << false;
        QTest::newRow("over-long")
            << Pieces{Vesk::parametersToFrame({{"binaryData", QByteArray(largest).append('d')}}).left(1000)} << none
            << QString::number(VeskTcpSocket::kMaxFrameSize + 1) << false;
        QTest::newRow("incomplete") << Pieces{frame.chopped(1)} << none << "" << true;
    }
    void receive()
    {
        QFETCH(Pieces, pieces);
        QFETCH(QList<Parameters>, expected);
        QFETCH(QString, logged);
        Receiver receiver;
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, receiver.server.tcpServer.serverPort());
        QVERIFY(peer.waitForConnected(3000));
        TestSupport::MessageCatcher catcher;
        QElapsedTimer clock;
        clock.start();
        for (const QByteArray& piece : pieces) {
            QVERIFY(receiver.received.isEmpty());
            peer.write(piece);
            peer.waitForBytesWritten(1000);
            QTest::qWait(30);
        }
        QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QAbstractSocket::UnconnectedState, 2 * VeskTcpSocket::kLifetimeMs);
        QTEST(clock.elapsed() >= VeskTcpSocket::kLifetimeMs - 500, "endsWithLifetime");
        QTRY_COMPARE(receiver.server.liveConnections(), 0);
        for (Parameters& message : receiver.received)
            QCOMPARE(message.take("senderIPAddress").toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(receiver.received, expected);
        QCOMPARE(catcher.criticals().size(), logged.isEmpty() ? 0 : 1);
        QVERIFY(catcher.criticals().join("").contains(logged));
    }

    // Peers that connect and write before the program gets to run: each connection is taken and read, up to the
    // bound on live connections; beyond it they are refused.
    void waitingConnections()
    {
        Receiver receiver(0, 25);
        QObject peers;
        for (int i = 0; i < 40; ++i) {
            auto* peer = new QTcpSocket(&peers);
            peer->connectToHost(QHostAddress::LocalHost, receiver.server.tcpServer.serverPort());
            QVERIFY(peer->waitForConnected(3000));
            peer->write(Vesk::parametersToFrame({{"chatId", i}}));
            QVERIFY(peer->waitForBytesWritten(3000));
        }
        for (const QTcpSocket* peer : peers.findChildren<QTcpSocket*>())
            QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(receiver.server.liveConnections(), 0);
        QCOMPARE(receiver.received.size(), 25);
    }

    // One message or probe on its own connection: what reaches the peer, and whether the address is reported as
    // having nobody there. Either way the connection ends at once, and nothing is logged.
    void reach_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::addColumn<bool>("probe");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("unreachable");
        QTest::newRow("message") << true << false << "127.0.0.1" << 0;
        QTest::newRow("probe") << true << true << "127.0.0.1" << 0;
        QTest::newRow("message, nobody there") << false << false << "127.0.0.1" << 1;
        QTest::newRow("probe, nobody there") << false << true << "127.0.0.1" << 1;
        QTest::newRow("no route") << false << false << "10.200.0.1" << 1;
        QTest::newRow("no address") << false << false << "" << 0;
    }
    void reach()
    {
        QFETCH(bool, listening);
        QFETCH(bool, probe);
        QFETCH(QString, address);
        if (address == "10.200.0.1" && !m_isolated)
            QSKIP("needs a private network namespace");
        Receiver receiver(listening ? VeskTcpSocket::kTcpPort : 0); // else the message port stays free
        SendQueue queue;
        QSignalSpy unreachable(&queue, &SendQueue::unreachable);
        TestSupport::MessageCatcher catcher;
        const Parameters packet{{"action", "receiveDataPacket"}, {"binaryData", TestSupport::pattern(1000000)}};
        probe ? queue.probe(QHostAddress(address)) : queue.send(QHostAddress(address), packet);
        QTRY_COMPARE_WITH_TIMEOUT(queue.openConnections(), 0, VeskTcpSocket::kLifetimeMs / 2);
        QTEST(int(unreachable.size()), "unreachable");
        if (!unreachable.isEmpty())
            QCOMPARE(unreachable.first().first().value<QHostAddress>(), QHostAddress(address));
        QVERIFY2(catcher.all().isEmpty(), qPrintable(catcher.all().join('\n')));
        QTRY_COMPARE(receiver.received.size(), listening && !probe ? 1 : 0); // a probe carries nothing
    }

    // An office of silent peers being greeted holds only presence's share of the connections: a chat written
    // meanwhile goes out at once instead of waiting for those attempts to time out.
    void chatsGoBeforePresence()
    {
        if (!m_isolated)
            QSKIP("needs a private network namespace");
        Receiver receiver(VeskTcpSocket::kTcpPort);
        SendQueue queue(20);
        const int presenceShare = 20 - SendQueue::kReservedConnections;
        for (int i = 0; i < 24; ++i) // more than every slot
            queue.send(QHostAddress(QStringLiteral("10.79.0.%1").arg(100 + i)), {{"action", "addMeRequest"}});
        QCOMPARE(queue.openConnections(), presenceShare);
        queue.send(QHostAddress::LocalHost, {{"action", "newChatMessage"}, {"chatId", "{c}"}});
        QTRY_COMPARE_WITH_TIMEOUT(receiver.received.size(), 1, VeskTcpSocket::kLifetimeMs / 2);
        QCOMPARE(receiver.received.first().value("chatId").toString(), QStringLiteral("{c}"));
    }

    // Peers that do not answer hold each attempt for seconds: the attempts open at once are bounded in all and per
    // peer, so messages to others still go through, and beyond a bound on waiting messages new ones are dropped.
    void silentPeersAreBounded()
    {
        if (!m_isolated)
            QSKIP("needs a private network namespace");
        Receiver receiver(VeskTcpSocket::kTcpPort);
        SendQueue queue(3, 2, 5), other(8, 2);
        TestSupport::MessageCatcher catcher;
        for (int i = 0; i < 5; ++i) {
            for (const char* silent : {"10.79.0.2", "10.79.0.3"})
                queue.send(QHostAddress(silent), {{"chatId", i}});
            other.send(QHostAddress("10.79.0.4"), {{"chatId", i}});
            other.send(QHostAddress::LocalHost, {{"chatId", i}});
        }
        QTRY_COMPARE(receiver.received.size(), 5);
        QCOMPARE(attemptsTo("10.79.0.2") + attemptsTo("10.79.0.3"), 3);
        QCOMPARE(attemptsTo("10.79.0.4"), 2);
        QCOMPARE(catcher.criticals().filter("Too many messages waiting to be sent").size(), 1);
        // Without the link every attempt fails, at the latest when its lifetime ends, and the queues drain.
        QVERIFY(QProcess::execute("ip", {"link", "del", "v0"}) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(queue.openConnections() + other.openConnections(), 0, 3 * VeskTcpSocket::kLifetimeMs);
        QCOMPARE(queue.queuedMessages() + other.queuedMessages(), 0);
    }
};

QTEST_GUILESS_MAIN(TestVeskTcpSocket)
#include "tst_vesktcpsocket.moc"
