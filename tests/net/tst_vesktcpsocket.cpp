#include "net/vesktcpsocket.h"

#include "net/sendqueue.h"

#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include <sched.h>
#include <unistd.h>

using Vesk::Parameters;

namespace {

QByteArray header(quint32 length)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToLittleEndian<quint32>(length, bytes.data());
    return bytes;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// The receiving end as the controller runs it: every accepted connection is handed to a new VeskTcpSocket.
class Receiver : public QObject
{
public:
    explicit Receiver(bool adoptAtOnce = true)
    {
        server.listen(QHostAddress::LocalHost);
        if (adoptAtOnce)
            connect(&server, &QTcpServer::newConnection, this, &Receiver::adoptNext);
    }

    void adoptNext()
    {
        while (QTcpSocket* accepted = server.nextPendingConnection()) {
            auto* adopted = new VeskTcpSocket;
            connection = adopted;
            connect(adopted, &VeskTcpSocket::parametersRead, this,
                    [this](const QHash<QString, QVariant>& parameters) { received.append(parameters); });
            adopted->setSocket(accepted);
        }
    }

    QTcpServer server;
    QPointer<VeskTcpSocket> connection;
    QList<Parameters> received;
};

// A peer that accepts on the message port and keeps everything each connection delivers until that connection
// is closed by the sender.
class Sink : public QObject
{
public:
    bool listen() { return server.listen(QHostAddress::LocalHost, VeskTcpSocket::kTcpPort); }

    Sink()
    {
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* accepted = server.nextPendingConnection()) {
                auto* buffer = new QByteArray;
                connect(accepted, &QIODevice::readyRead, accepted,
                        [accepted, buffer] { *buffer += accepted->readAll(); });
                connect(accepted, &QAbstractSocket::disconnected, this, [this, accepted, buffer] {
                    *buffer += accepted->readAll();
                    completed.append(*buffer);
                    delete buffer;
                    accepted->deleteLater();
                });
            }
        });
    }

    QTcpServer server;
    QList<QByteArray> completed;
};

} // namespace

class TestVeskTcpSocket : public QObject
{
    Q_OBJECT

private:
    // A sending socket whose life this test follows: it must delete itself once its message is out or has failed.
    VeskTcpSocket* newSender()
    {
        auto* socket = new VeskTcpSocket;
        ++m_live;
        connect(socket, &QObject::destroyed, this, [this] { --m_live; });
        return socket;
    }
    int m_live = 0;

    // Connects a raw client to the receiver and waits until the receiver has adopted the connection.
    bool connectPeer(QTcpSocket& peer, Receiver& receiver)
    {
        peer.connectToHost(QHostAddress::LocalHost, receiver.server.serverPort());
        if (!peer.waitForConnected(3000))
            return false;
        return QTest::qWaitFor([&] { return !receiver.connection.isNull(); }, 3000);
    }
    static void writeAndSettle(QTcpSocket& peer, const QByteArray& bytes)
    {
        peer.write(bytes);
        peer.flush();
        peer.waitForBytesWritten(1000);
        QTest::qWait(30);
    }

private slots:
    void initTestCase();
    void headerInPieces_data();
    void headerInPieces();
    void payloadOverManySegments();
    void zeroLengthFrame();
    void allOnesHeaderIsSkipped_data();
    void allOnesHeaderIsSkipped();
    void unparsablePayload();
    void overLongFrameIsRefused();
    void largestAllowedFrameIsAccepted();
    void connectionEndsOnceTheFrameIsRead();
    void bytesBeforeAdoptionAreRead();
    void peerClosingAfterItsFrame();
    void incompleteFrameIsCutAfterLifetime();
    void sentFrameArrivesAndSenderCloses();
    void sendingAFilePacket();
    void manySendsLeaveNothingOpen();
    void sendingToNobodyIsSilent();
    void unreachableIsReported_data();
    void unreachableIsReported();
    void sendingToNoAddress();
    void sendingWithoutARoute();
    void sendQueueBoundsOpenConnections();
    void sendQueueDropsBeyondItsBound_data();
    void sendQueueDropsBeyondItsBound();
    void silentPeerDoesNotHoldUpOthers();

private:
    bool m_isolated = false;
};

void TestVeskTcpSocket::initTestCase()
{
    qRegisterMetaType<QHash<QString, QVariant>>();
    // With the privilege for it, the test runs in a network namespace of its own: the message port is then
    // certainly free, and there is a network without any route to try.
    if (geteuid() == 0 && unshare(CLONE_NEWNET) == 0)
        m_isolated = QProcess::execute(QStringLiteral("ip"), {"link", "set", "lo", "up"}) == 0;
}

void TestVeskTcpSocket::headerInPieces_data()
{
    QTest::addColumn<int>("pieceSize");
    QTest::newRow("1 byte") << 1;
    QTest::newRow("2 bytes") << 2;
    QTest::newRow("3 bytes") << 3;
}

void TestVeskTcpSocket::headerInPieces()
{
    QFETCH(int, pieceSize);
    Receiver receiver;
    QTcpSocket peer;
    QVERIFY(connectPeer(peer, receiver));

    const QByteArray frame = Vesk::parametersToFrame({{"action", "confirmChat"}, {"chatId", "{42}"}});
    for (int offset = 0; offset < 4; offset += pieceSize) {
        writeAndSettle(peer, frame.mid(offset, qMin(pieceSize, 4 - offset)));
        QVERIFY(receiver.received.isEmpty());
    }
    QVERIFY(!receiver.connection.isNull());
    writeAndSettle(peer, frame.mid(4));
    QTRY_COMPARE(receiver.received.size(), 1);
    QCOMPARE(receiver.received.first(),
             (Parameters{{"action", "confirmChat"}, {"chatId", "{42}"}, {"senderIPAddress", "127.0.0.1"}}));
}

void TestVeskTcpSocket::payloadOverManySegments()
{
    Receiver receiver;
    QTcpSocket peer;
    QVERIFY(connectPeer(peer, receiver));

    QByteArray data(100000, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 7);
    const QByteArray frame = Vesk::parametersToFrame({{"action", "receiveDataPacket"}, {"binaryData", data}});
    constexpr int kSegment = 4096;
    for (int offset = 0; offset < frame.size() - 1; offset += kSegment) {
        writeAndSettle(peer, frame.mid(offset, qMin(kSegment, int(frame.size()) - 1 - offset)));
        QVERIFY(receiver.received.isEmpty());
    }
    writeAndSettle(peer, frame.right(1));
    QTRY_COMPARE(receiver.received.size(), 1);
    QCOMPARE(receiver.received.first().value("binaryData").toByteArray(), data);
    QTest::qWait(100);
    QCOMPARE(receiver.received.size(), 1);
}

void TestVeskTcpSocket::zeroLengthFrame()
{
    Receiver receiver;
    QTcpSocket peer;
    QVERIFY(connectPeer(peer, receiver));
    TestSupport::MessageCatcher catcher;
    writeAndSettle(peer, header(0));
    QTRY_COMPARE(receiver.received.size(), 1);
    QCOMPARE(receiver.received.first(), (Parameters{{"senderIPAddress", "127.0.0.1"}}));
    QVERIFY(catcher.criticals().isEmpty());
}

void TestVeskTcpSocket::allOnesHeaderIsSkipped_data()
{
    QTest::addColumn<bool>("separately");
    QTest::newRow("in its own segment") << true;
    QTest::newRow("together with the frame") << false;
}

void TestVeskTcpSocket::allOnesHeaderIsSkipped()
{
    QFETCH(bool, separately);
    Receiver receiver;
    QTcpSocket peer;
    QVERIFY(connectPeer(peer, receiver));
    const QByteArray noHeader("\xff\xff\xff\xff", 4);
    const QByteArray frame = Vesk::parametersToFrame({{"action", "requestMyInfo"}, {"nodeFrom", "{n}"}});
    if (separately) {
        writeAndSettle(peer, noHeader);
        QVERIFY(receiver.received.isEmpty());
        QVERIFY(!receiver.connection.isNull());
        writeAndSettle(peer, frame);
    } else {
        writeAndSettle(peer, noHeader + noHeader + frame);
    }
    QTRY_COMPARE(receiver.received.size(), 1);
    QCOMPARE(receiver.received.first().value("nodeFrom").toString(), QStringLiteral("{n}"));
}

void TestVeskTcpSocket::unparsablePayload()
{
    Receiver receiver;
    QTcpSocket peer;
    QVERIFY(connectPeer(peer, receiver));
    TestSupport::MessageCatcher catcher;
    writeAndSettle(peer, header(3) + QByteArray("\x0a\x05\x61", 3));
    QTRY_COMPARE(receiver.received.size(), 1);
    QCOMPARE(receiver.received.first(), (Parameters{{"senderIPAddress", "127.0.0.1"}}));
    QCOMPARE(catcher.criticals(), QStringList{"There was an error parsing data to parameters"});
}

void TestVeskTcpSocket::overLongFrameIsRefused()
{
    Receiver receiver;
    QTcpSocket peer;
    QVERIFY(connectPeer(peer, receiver));
    TestSupport::MessageCatcher catcher;
    writeAndSettle(peer, header(VeskTcpSocket::kMaxFrameSize + 1) + QByteArray(1000, 'x'));
    QTRY_VERIFY(peer.state() == QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(receiver.connection.isNull());
    QVERIFY(receiver.received.isEmpty());
    const QStringList criticals = catcher.criticals();
    QCOMPARE(criticals.size(), 1);
    QVERIFY2(criticals.first().contains(QString::number(VeskTcpSocket::kMaxFrameSize + 1)),
             qPrintable(criticals.first()));
}

void TestVeskTcpSocket::largestAllowedFrameIsAccepted()
{
    // One tag byte and four length bytes precede the data in the record.
    const QByteArray data(int(VeskTcpSocket::kMaxFrameSize) - 5, 'd');
    const QByteArray frame = Vesk::parametersToFrame({{"binaryData", data}});
    QCOMPARE(quint32(frame.size() - 4), VeskTcpSocket::kMaxFrameSize);

    Receiver receiver;
    QTcpSocket peer;
    QVERIFY(connectPeer(peer, receiver));
    TestSupport::MessageCatcher catcher;
    peer.write(frame);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.received.size(), 1, 4000);
    QCOMPARE(receiver.received.first().value("binaryData").toByteArray().size(), data.size());
    QVERIFY(catcher.criticals().isEmpty());
}

void TestVeskTcpSocket::connectionEndsOnceTheFrameIsRead()
{
    Receiver receiver;
    QTcpSocket peer;
    QVERIFY(connectPeer(peer, receiver));
    QElapsedTimer clock;
    clock.start();
    // Bytes after the frame are not a second message.
    writeAndSettle(peer, Vesk::parametersToFrame({{"action", "confirmChat"}}) + header(0));
    QTRY_VERIFY(peer.state() == QAbstractSocket::UnconnectedState);
    QVERIFY2(clock.elapsed() < VeskTcpSocket::kLifetimeMs, "the connection waited for its lifetime");
    QTRY_VERIFY(receiver.connection.isNull());
    QCOMPARE(receiver.received.size(), 1);
}

void TestVeskTcpSocket::bytesBeforeAdoptionAreRead()
{
    Receiver receiver(false);
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, receiver.server.serverPort());
    QVERIFY(peer.waitForConnected(3000));
    peer.write(Vesk::parametersToFrame({{"action", "confirmFileToSend"}, {"fileId", "f"}}));
    QVERIFY(peer.waitForBytesWritten(1000));
    QVERIFY(receiver.server.waitForNewConnection(1000));
    QTest::qWait(100);
    receiver.adoptNext();
    QTRY_COMPARE(receiver.received.size(), 1);
    QCOMPARE(receiver.received.first().value("fileId").toString(), QStringLiteral("f"));
}

void TestVeskTcpSocket::peerClosingAfterItsFrame()
{
    Receiver receiver;
    QTcpSocket peer;
    QVERIFY(connectPeer(peer, receiver));
    peer.write(Vesk::parametersToFrame({{"action", "addMeRequestConfirmed"}, {"nodeFrom", "{p}"}}));
    peer.disconnectFromHost();
    QTRY_COMPARE(receiver.received.size(), 1);
    QCOMPARE(receiver.received.first().value("action").toString(), QStringLiteral("addMeRequestConfirmed"));
    QTRY_VERIFY(receiver.connection.isNull());
}

void TestVeskTcpSocket::incompleteFrameIsCutAfterLifetime()
{
    Receiver receiver;
    QTcpSocket peer;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(connectPeer(peer, receiver));
    writeAndSettle(peer, header(100) + QByteArray(50, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(peer.state() == QAbstractSocket::UnconnectedState, 2 * VeskTcpSocket::kLifetimeMs);
    QVERIFY2(clock.elapsed() >= VeskTcpSocket::kLifetimeMs - 500, "an incomplete frame was cut short");
    QTRY_VERIFY(receiver.connection.isNull());
    QVERIFY(receiver.received.isEmpty());
}

void TestVeskTcpSocket::sentFrameArrivesAndSenderCloses()
{
    Sink sink;
    QVERIFY(sink.listen());
    const Parameters parameters{{"action", "newChatMessage"},
                                {"message", QString::fromUtf8("h\xc3\xa9llo")},
                                {"chatId", "{c}"},
                                {"timeSent", qint64(1700000000000)},
                                {"nodeFrom", "{me}"}};
    TestSupport::MessageCatcher catcher;
    newSender()->sendParameters(QHostAddress::LocalHost, parameters);
    // The sink only records a connection once the sender has closed it.
    QTRY_COMPARE_WITH_TIMEOUT(sink.completed.size(), 1, VeskTcpSocket::kLifetimeMs / 2);
    QCOMPARE(sink.completed.first(), Vesk::parametersToFrame(parameters));
    QTRY_COMPARE(m_live, 0);
    QVERIFY(catcher.criticals().isEmpty());
}

void TestVeskTcpSocket::sendingAFilePacket()
{
    Sink sink;
    QVERIFY(sink.listen());
    QByteArray packet(1000000, Qt::Uninitialized);
    for (int i = 0; i < packet.size(); ++i)
        packet[i] = char(i % 251);
    const Parameters parameters{{"action", "receiveDataPacket"},
                                {"binaryData", packet},
                                {"fileSeek", quint32(3000000)},
                                {"fileId", "0123456789abcdef0123456789abcdef"}};
    newSender()->sendParameters(QHostAddress::LocalHost, parameters);
    QTRY_COMPARE_WITH_TIMEOUT(sink.completed.size(), 1, VeskTcpSocket::kLifetimeMs / 2);
    const QByteArray frame = sink.completed.first();
    QCOMPARE(qFromLittleEndian<quint32>(frame.constData()), quint32(frame.size() - 4));
    QCOMPARE(Vesk::byteArrayToParameters(frame.mid(4)), parameters);
}

void TestVeskTcpSocket::manySendsLeaveNothingOpen()
{
    Sink sink;
    QVERIFY(sink.listen());
    QTest::qWait(50);
    const int baseline = openDescriptors();
    constexpr int kMessages = 300;
    for (int i = 0; i < kMessages; ++i) {
        newSender()->sendParameters(QHostAddress::LocalHost, {{"action", "confirmChat"}, {"chatId", i}});
        if (i % 20 == 0)
            QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(sink.completed.size(), kMessages, VeskTcpSocket::kLifetimeMs / 2);
    QTRY_COMPARE(m_live, 0);
    QTRY_VERIFY2(openDescriptors() <= baseline + 2, qPrintable(QString::number(openDescriptors() - baseline)));

    QSet<QString> chatIds;
    for (const QByteArray& frame : std::as_const(sink.completed))
        chatIds.insert(Vesk::byteArrayToParameters(frame.mid(4)).value("chatId").toString());
    QCOMPARE(chatIds.size(), kMessages);
}

void TestVeskTcpSocket::sendingToNobodyIsSilent()
{
    // Nothing listens on the message port of this host while this test runs (the port tests are serialised).
    TestSupport::MessageCatcher catcher;
    newSender()->sendParameters(QHostAddress::LocalHost, {{"action", "confirmChat"}});
    QCOMPARE(m_live, 1);
    // Refused at once on loopback: the object goes well before its lifetime.
    QTRY_COMPARE_WITH_TIMEOUT(m_live, 0, VeskTcpSocket::kLifetimeMs / 2);
    QTest::qWait(50);
    QVERIFY2(catcher.all().isEmpty(), qPrintable(catcher.all().join('\n')));
}

void TestVeskTcpSocket::unreachableIsReported_data()
{
    QTest::addColumn<bool>("listening");
    QTest::addColumn<bool>("probe");
    QTest::newRow("message, listening") << true << false;
    QTest::newRow("probe, listening") << true << true;
    QTest::newRow("message, nobody there") << false << false;
    QTest::newRow("probe, nobody there") << false << true;
}

void TestVeskTcpSocket::unreachableIsReported()
{
    QFETCH(bool, listening);
    QFETCH(bool, probe);
    Sink sink;
    if (listening)
        QVERIFY(sink.listen());
    SendQueue queue;
    QSignalSpy unreachable(&queue, &SendQueue::unreachable);
    if (probe)
        queue.probe(QHostAddress::LocalHost);
    else
        queue.send(QHostAddress::LocalHost, {{"action", "confirmChat"}});
    QTRY_COMPARE(queue.openConnections(), 0);
    QCOMPARE(unreachable.size(), listening ? 0 : 1);
    if (!listening) {
        QCOMPARE(unreachable.first().first().value<QHostAddress>(), QHostAddress(QHostAddress::LocalHost));
        return;
    }
    // A probe reaches the peer as a connection that carries nothing at all.
    QTRY_COMPARE(sink.completed.size(), 1);
    QCOMPARE(sink.completed.first().isEmpty(), probe);
}

void TestVeskTcpSocket::sendingToNoAddress()
{
    TestSupport::MessageCatcher catcher;
    newSender()->sendParameters(QHostAddress(), {{"action", "confirmChat"}});
    QTRY_COMPARE(m_live, 0);
    QVERIFY2(catcher.all().isEmpty(), qPrintable(catcher.all().join('\n')));
}

void TestVeskTcpSocket::sendingWithoutARoute()
{
    if (!m_isolated)
        QSKIP("needs a private network namespace");
    // Without a route the connection fails inside connectToHost itself, before the frame is written.
    TestSupport::MessageCatcher catcher;
    newSender()->sendParameters(QHostAddress("10.200.0.1"), {{"action", "confirmChat"}});
    QTRY_COMPARE(m_live, 0);
    QVERIFY2(catcher.all().isEmpty(), qPrintable(catcher.all().join('\n')));
}

void TestVeskTcpSocket::sendQueueBoundsOpenConnections()
{
    Sink sink;
    QVERIFY(sink.listen());
    constexpr int kMaxOpen = 3;
    constexpr int kMessages = 60;
    SendQueue queue(kMaxOpen, kMaxOpen);
    int peakOpen = 0;
    connect(&sink.server, &QTcpServer::newConnection, this,
            [&peakOpen, &queue] { peakOpen = qMax(peakOpen, queue.openConnections()); });
    for (int i = 0; i < kMessages; ++i)
        queue.send(QHostAddress::LocalHost, {{"action", "confirmChat"}, {"chatId", i}});
    QCOMPARE(queue.openConnections(), kMaxOpen);
    QCOMPARE(queue.queuedMessages(), kMessages - kMaxOpen);

    QTRY_COMPARE(sink.completed.size(), kMessages);
    QTRY_COMPARE(queue.openConnections(), 0);
    QCOMPARE(queue.queuedMessages(), 0);
    QVERIFY2(peakOpen <= kMaxOpen, qPrintable(QString::number(peakOpen)));
    QSet<QString> chatIds;
    for (const QByteArray& frame : std::as_const(sink.completed))
        chatIds.insert(Vesk::byteArrayToParameters(frame.mid(4)).value("chatId").toString());
    QCOMPARE(chatIds.size(), kMessages);
}

void TestVeskTcpSocket::sendQueueDropsBeyondItsBound_data()
{
    QTest::addColumn<int>("maxQueued");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<int>("payload");
    QTest::addColumn<int>("expectedQueued");
    QTest::newRow("by count") << 3 << qint64(1 << 20) << 10 << 3;
    QTest::newRow("by bytes") << 100 << qint64(2500) << 1000 << 2;
}

void TestVeskTcpSocket::sendQueueDropsBeyondItsBound()
{
    QFETCH(int, maxQueued);
    QFETCH(qint64, maxBytes);
    QFETCH(int, payload);
    QFETCH(int, expectedQueued);
    Sink sink;
    QVERIFY(sink.listen());
    SendQueue queue(1, 1, maxQueued, maxBytes);
    TestSupport::MessageCatcher catcher;
    const auto burst = [&queue, payload](int first) {
        for (int i = first; i < first + 10; ++i)
            queue.send(QHostAddress::LocalHost, {{"chatId", i}, {"binaryData", QByteArray(payload, 'x')}});
    };
    burst(0);
    QCOMPARE(queue.queuedMessages(), expectedQueued);
    QCOMPARE(catcher.criticals().size(), 1);
    QTRY_COMPARE(sink.completed.size(), 1 + expectedQueued);
    QTRY_COMPARE(queue.openConnections(), 0);

    // Once drained, the queue takes messages again, and a new overflow is reported again.
    burst(100);
    QTRY_COMPARE(sink.completed.size(), 2 * (1 + expectedQueued));
    QCOMPARE(catcher.criticals().size(), 2);
    QVERIFY(catcher.criticals().first().startsWith("Too many messages waiting to be sent"));
}

void TestVeskTcpSocket::silentPeerDoesNotHoldUpOthers()
{
    if (!m_isolated)
        QSKIP("needs a private network namespace");
    // A link with nobody at the other end: a connection to 10.79.0.2 waits seconds for an answer that never comes.
    QVERIFY(QProcess::execute("sh", {"-c", "ip link add v0 type veth peer name v1 && "
                                           "ip addr add 10.79.0.1/24 dev v0 && ip link set v0 up && "
                                           "ip link set v1 up"}) == 0);
    Sink sink;
    QVERIFY(sink.listen());
    SendQueue queue(8, 2);
    for (int i = 0; i < 4; ++i)
        queue.send(QHostAddress("10.79.0.2"), {{"action", "confirmChat"}, {"chatId", i}});
    QCOMPARE(queue.openConnections(), 2);
    QCOMPARE(queue.queuedMessages(), 2);
    for (int i = 0; i < 5; ++i)
        queue.send(QHostAddress::LocalHost, {{"action", "confirmChat"}, {"chatId", 100 + i}});
    QTRY_COMPARE(sink.completed.size(), 5);
    // The silent peer's attempts are still pending while everything else has gone through.
    QCOMPARE(queue.openConnections(), 2);
    QCOMPARE(queue.queuedMessages(), 2);

    // Without the link the attempts fail (at the latest when their 5 s lifetime ends), and the queue drains.
    QVERIFY(QProcess::execute("ip", {"link", "del", "v0"}) == 0);
    QTRY_COMPARE_WITH_TIMEOUT(queue.openConnections() + queue.queuedMessages(), 0, 15000);
}

QTEST_GUILESS_MAIN(TestVeskTcpSocket)
#include "tst_vesktcpsocket.moc"
