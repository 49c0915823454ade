#include "net/wire.h"

#include "messagereceiver.h"
#include "testsupport.h"

#include <QTcpSocket>
#include <QtEndian>

#include <memory>
#include <numeric>
#include <vector>

using TestSupport::MessageReceiver;
using Vesk::MessageServer;

// The message port's bounds: the connections it holds at once, in all and from each address, and the bytes their
// unfinished frames hold together.
class TestSocketBounds : public QObject
{
    Q_OBJECT

private slots:
    // A network namespace of our own: the server listens on every address, and only the test's connections may
    // reach it.
    void initTestCase()
    {
        const int setUp = TestSupport::enterPrivateNetwork();
        if (setUp < 0)
            QSKIP("needs root for a private network namespace");
        QCOMPARE(setUp, 0);
    }

    // Connections from 127.0.0.<n> that announce a frame and stay, each step "<n> <length> <fate>": held ("+"),
    // refused for the budget of 1000 bytes, half of it for one address ("x", logged), or at the door, past 2 from one
    // address ("-"). "end <i>" closes the i-th connection, "finish <i>" sends the rest of its frame; both give back
    // what it held.
    void bounds_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::newRow("budget filled to the byte, room again when one ends")
            << "1 400 +; 2 400 +; 3 200 +; 4 1 x; end 0; 4 401 x; 4 400 +";
        QTest::newRow("a delivered frame gives its room back") << "1 500 +; 2 500 +; 3 1 x; finish 0; 3 500 +";
        QTest::newRow("one address holds half at most, the others get the rest")
            << "1 300 +; 1 201 x; 2 500 +; 1 200 +; 3 1 x";
        QTest::newRow("per address, again when one ends") << "1 10 +; 1 10 +; 1 10 -; 2 10 +; end 1; 1 10 +";
    }
    void bounds()
    {
        QFETCH(QString, steps);
        MessageReceiver receiver(0, MessageServer::kMaxLiveConnections, 2, 1000);
        TestSupport::MessageCatcher catcher;
        std::vector<std::unique_ptr<QTcpSocket>> peers;
        QList<qint64> held; // by each connection
        const auto sum = [&held] {
            return std::accumulate(held.cbegin(), held.cend(), qint64(0));
        };
        int refusedForBudget = 0, delivered = 0, live = 0;
        for (const QString& step : steps.split("; ")) {
            const QStringList words = step.split(' ');
            if (words.size() == 2) {
                const int i = words.at(1).toInt();
                if (words.at(0) == "end") {
                    peers.at(i)->abort();
                } else {
                    const qint64 length = held.at(i);
                    QByteArray frame;
                    for (int data = int(length); frame.size() - 4 != length && data > 0; --data)
                        frame = Vesk::parametersToFrame({{"binaryData", QByteArray(data, 'd')}});
                    QCOMPARE(frame.size() - 4, length);
                    peers.at(i)->write(frame.mid(4));
                    QTRY_COMPARE(receiver.received.size(), qsizetype(delivered + 1));
                    ++delivered;
                }
                held[i] = 0;
                --live;
                QTRY_COMPARE(receiver.server.liveConnections(), live);
                QCOMPARE(receiver.server.heldBytes(), sum());
                continue;
            }
            auto& peer = peers.emplace_back(std::make_unique<QTcpSocket>());
            QVERIFY(peer->bind(QHostAddress("127.0.0." + words.at(0))));
            peer->connectToHost(QHostAddress::LocalHost, receiver.server.tcpServer.serverPort());
            QVERIFY(peer->waitForConnected(3000));
            const quint32 length = words.at(1).toUInt();
            QByteArray header(4, 0);
            qToLittleEndian(length, header.data());
            peer->write(header);
            const bool kept = words.at(2) == "+";
            refusedForBudget += words.at(2) == "x";
            held.append(kept ? length : 0);
            live += kept;
            if (!kept)
                QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
            QTRY_COMPARE(receiver.server.heldBytes(), sum());
            QTRY_COMPARE(receiver.server.liveConnections(), live);
            QVERIFY2(peer->state() == (kept ? QAbstractSocket::ConnectedState : QAbstractSocket::UnconnectedState),
                     qPrintable(step));
        }
        QCOMPARE(catcher.criticals().filter("messages still arriving hold").size(), refusedForBudget);
        peers.clear();
        QTRY_COMPARE(receiver.server.liveConnections(), 0);
        QCOMPARE(receiver.server.heldBytes(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSocketBounds)
#include "tst_socketbounds.moc"
