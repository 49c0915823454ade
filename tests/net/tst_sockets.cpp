#include "common/bufferpool.h"
#include "net/capabilityprobe.h"
#include "net/messageserver.h"
#include "net/peermanager.h"
#include "net/sendqueue.h"
#include "net/wire.h"

#include "testsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>

using Vesk::MessageServer;
using Vesk::Parameters;
using Vesk::PeerManager;
using Vesk::SendQueue;
using Pieces = QList<QByteArray>;

namespace {

// The receiving side as the program runs it, on the given port (any free one for 0).
struct Receiver
{
    explicit Receiver(quint16 port = 0, int maxLive = MessageServer::kMaxLiveConnections) : server(frames, maxLive)
    {
        server.listen(port);
        QObject::connect(&server.tcpServer, &QTcpServer::newConnection, &server,
                         &MessageServer::acceptPendingConnections);
        QObject::connect(&server, &MessageServer::parametersRead, &server,
                         [this](const Parameters& parameters) { received.append(parameters); });
    }
    Vesk::BufferPool frames;
    MessageServer server;
    QList<Parameters> received;
};

} // namespace

class TestSockets : public QObject
{
    Q_OBJECT

private slots:
    // A network namespace of our own: free ports, broadcasts kept here, one link with nobody at its other end and no
    // route beyond it. The last test takes the link away.
    void initTestCase()
    {
        const int setUp = TestSupport::enterPrivateNetwork();
        if (setUp < 0)
            QSKIP("needs root for a private network namespace");
        QCOMPARE(setUp, 0);
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
        QTest::newRow("whole") << Pieces{frame + QByteArray(4, 0)} << chat << "" << false; // what follows is no message
        for (int cut = 1; cut < 4; ++cut)                                                  // the header in two parts
            QTest::addRow("header %d+%d", cut, 4 - cut)
                << Pieces{frame.left(cut), frame.mid(cut, 4 - cut), frame.mid(4)} << chat << "" << false;
        // Four FF bytes are never a length but "no header yet", as often as they come.
        QTest::newRow("no header yet, then a frame") << Pieces{QByteArray(4, '\xff') + frame} << chat << "" << false;
        QTest::newRow("no header yet twice, in pieces")
            << Pieces{QByteArray(6, '\xff'), QByteArray(2, '\xff') + frame.left(2), frame.mid(2)} << chat << ""
            << false;
        QTest::newRow("empty record") << Pieces{QByteArray(4, 0)} << nothing << "" << false;
        QTest::newRow("unparsable record")
            << Pieces{QByteArray::fromHex("030000000a0561")} << nothing << "error parsing" << false;
        const QByteArray largest(int(Vesk::kMaxFrameSize) - 5, 'd'); // behind a tag and a 4-byte length
        QTest::newRow("largest allowed") << Pieces{Vesk::parametersToFrame({{"binaryData", largest}})}
                                         << QList<Parameters>{{{"binaryData", largest}}} << "" << false;
        QTest::newRow("over-long")
            << Pieces{Vesk::parametersToFrame({{"binaryData", QByteArray(largest).append('d')}}).left(1000)} << none
            << QString::number(Vesk::kMaxFrameSize + 1) << false;
        QTest::newRow("incomplete") << Pieces{frame.chopped(1)} << none << "" << true;
    }
    void receive()
    {
        QFETCH(Pieces, pieces);
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
        QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QAbstractSocket::UnconnectedState, 2 * Vesk::kConnectionLifetimeMs);
        QTEST(clock.elapsed() >= Vesk::kConnectionLifetimeMs - 500, "endsWithLifetime");
        QTRY_COMPARE(receiver.server.liveConnections(), 0);
        for (Parameters& message : receiver.received)
            QCOMPARE(message.take("senderIPAddress").toString(), QStringLiteral("127.0.0.1"));
        QTEST(receiver.received, "expected");
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
        Receiver receiver(listening ? Vesk::kTcpPort : 0); // else the message port stays free
        Vesk::BufferPool frames;
        SendQueue queue(frames);
        QSignalSpy unreachable(&queue, &SendQueue::unreachable);
        TestSupport::MessageCatcher catcher;
        const Parameters packet{{"action", "receiveDataPacket"}, {"binaryData", TestSupport::pattern(1000000)}};
        probe ? queue.probe(QHostAddress(address)) : queue.send(QHostAddress(address), packet);
        QTRY_COMPARE_WITH_TIMEOUT(queue.openConnections(), 0, Vesk::kConnectionLifetimeMs / 2);
        QTEST(int(unreachable.size()), "unreachable");
        if (!unreachable.isEmpty())
            QCOMPARE(unreachable.first().first().value<QHostAddress>(), QHostAddress(address));
        QVERIFY2(catcher.all().isEmpty(), qPrintable(catcher.all().join('\n')));
        QTRY_COMPARE(receiver.received.size(), listening && !probe ? 1 : 0); // a probe carries nothing
    }

    // Whether the program at an address reads our extension fields: only our own greeting says yes. Anything else
    // (nobody there, another program's greeting, silence, no answer at all) says no, in a bounded time; a greeting
    // that is not ours is logged.
    void capabilityProbe_data()
    {
        QTest::addColumn<QString>("listener");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("capable");
        const auto add = [](const char* tag, const char* listener, const char* address = "127.0.0.1") {
            QTest::newRow(tag) << QString(listener) << QString(address) << !qstrcmp(listener, "ours");
        };
        add("a program that reads them", "ours");
        add("nobody listening", "");
        add("another greeting", "SSH-2.0-OpenSSH_9.2\r\n");
        add("a short greeting", "VeskCaps");
        add("silence", "silent");
        add("no answer from the host", "", "10.79.0.2");
    }
    void capabilityProbe()
    {
        QFETCH(QString, listener);
        QFETCH(QString, address);
        constexpr int kTimeoutMs = 300;
        Vesk::CapabilityServer ours;
        QTcpServer other;
        if (listener == "ours") {
            QVERIFY(ours.listenForProbes());
        } else if (!listener.isEmpty()) {
            QVERIFY(other.listen(QHostAddress::AnyIPv4, Vesk::kCapabilityPort));
            connect(&other, &QTcpServer::newConnection, &other, [&other, listener] {
                QTcpSocket* socket = other.nextPendingConnection(); // held open, and silent, in that row
                if (listener != "silent") {
                    socket->write(listener.toLatin1());
                    socket->disconnectFromHost();
                }
            });
        }
        TestSupport::MessageCatcher catcher;
        Vesk::TcpCapabilityProbe probe(Vesk::kCapabilityPort, kTimeoutMs);
        QList<std::pair<QString, bool>> answers;
        probe.probe(QHostAddress(address), [&answers](const QString& at, bool capable) {
            answers.append({at, capable});
        });
        QCOMPARE(answers.size(), 0); // never within the call
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, 3 * kTimeoutMs);
        QFETCH(bool, capable);
        QCOMPARE(answers.first(), std::make_pair(address, capable));
        QCOMPARE(probe.running(), 0);
        const bool foreign = !listener.isEmpty() && listener != "ours" && listener != "silent";
        QCOMPARE(catcher.criticals().filter("capability greeting that is not ours").size(), foreign ? 1 : 0);
    }

    // Each step: time in ms, source, whether it is reported, the datagram. An announcement is exactly three Latin-1
    // fields; an unchanged one from the same node and address is reported once per window, a changed one (a rename)
    // at once; ours, from any of our addresses, never.
    void announcements_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::newRow("three fields")
            << "0 10.0.0.5 1 abc|Windows 7|Ann; 0 10.0.0.6 1 ||; 0 10.0.0.7 1 {x}|Linux|Ren\u00e9";
        QTest::newRow("not three") << "0 10.0.0.5 0 abc|Linux; 0 10.0.0.5 0 abc|Linux|A|B; 0 10.0.0.5 0 abc";
        QTest::newRow("once per window") << "0 10.0.0.2 1 a|L|Ann; 1 10.0.0.2 0 a|L|Ann; 600 10.0.0.2 0 a|L|Ann; "
                                            "1000 10.0.0.2 1 a|L|Ann";
        QTest::newRow("other address, other node")
            << "0 10.0.0.2 1 a|L|Ann; 10 10.0.0.3 1 a|L|Ann; 20 10.0.0.2 1 b|L|Ann";
        QTest::newRow("clock set back") << "100000 10.0.0.2 1 a|L|Ann; 5000 10.0.0.2 1 a|L|Ann";
        QTest::newRow("renamed and back") << "0 10.0.0.2 1 a|L|Ann; 10 10.0.0.2 1 a|L|Bea; 20 10.0.0.2 0 a|L|Bea; "
                                             "30 10.0.0.2 1 a|L|Ann";
    }
    void announcements()
    {
        QFETCH(QString, steps);
        Vesk::ManualClock clock(0);
        PeerManager manager;
        manager.setClock(clock);
        QSignalSpy spy(&manager, &PeerManager::newConnection);
        for (const QString& step : steps.split("; ")) {
            clock.setNowMs(step.section(' ', 0, 0).toLongLong());
            const QString source = step.section(' ', 1, 1), text = step.section(' ', 3);
            for (const QHostAddress& own : manager.ownAddressList()) { // as a plain or a dual-stack socket gives it
                manager.handleDatagram(text.toLatin1(), own);
                manager.handleDatagram(text.toLatin1(), QHostAddress("::ffff:" + own.toString()));
            }
            QVERIFY2(spy.isEmpty(), "our own announcement was reported");
            manager.handleDatagram(text.toLatin1(), QHostAddress(source));
            QVERIFY2(spy.size() == step.section(' ', 2, 2).toInt(), qPrintable(step));
            QStringList fields = text.split('|'); // reported as id, address, system, alias
            fields.insert(1, source);
            if (!spy.isEmpty())
                QCOMPARE(QVariant(spy.takeFirst()).toStringList(), fields);
        }
    }

    // Peers that do not answer hold each attempt for seconds: the attempts open at once are bounded in all and per
    // peer, so messages to others still go through, and beyond a bound on waiting messages new ones are dropped.
    // An office of silent peers being greeted holds only presence's share, so chats meanwhile go out at once.
    void silentPeersAreBounded()
    {
        Receiver receiver(Vesk::kTcpPort);
        Vesk::BufferPool frames;
        SendQueue queue(frames, 3, 2, 5), other(frames, 20, 2);
        for (int i = 0; i < 24; ++i) // more than every slot
            other.send(QHostAddress(QStringLiteral("10.79.0.%1").arg(100 + i)), {{"action", "addMeRequest"}});
        QCOMPARE(other.openConnections(), 20 - SendQueue::kReservedConnections);
        TestSupport::MessageCatcher catcher;
        for (int i = 0; i < 5; ++i) {
            for (const char* silent : {"10.79.0.2", "10.79.0.3"})
                queue.send(QHostAddress(silent), {{"chatId", i}});
            other.send(QHostAddress("10.79.0.4"), {{"chatId", i}});
            other.send(QHostAddress::LocalHost, {{"chatId", i}});
        }
        QTRY_COMPARE_WITH_TIMEOUT(receiver.received.size(), 5, Vesk::kConnectionLifetimeMs / 2);
        QCOMPARE(queue.openConnections(), 3);
        QTRY_COMPARE(other.openConnections(), 20 - SendQueue::kReservedConnections + 2); // two to 10.79.0.4
        QCOMPARE(catcher.criticals().filter("Too many messages waiting to be sent").size(), 1);
        // Without the link every attempt fails, at the latest when its lifetime ends, and the queues drain.
        QVERIFY(QProcess::execute("ip", {"link", "del", "v0"}) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(queue.openConnections() + other.openConnections(), 0,
                                  3 * Vesk::kConnectionLifetimeMs);
        QCOMPARE(queue.queuedMessages() + other.queuedMessages(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSockets)
#include "tst_sockets.moc"
