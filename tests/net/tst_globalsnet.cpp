#include "app/globals.h"

#include "net/vesktcpsocket.h"
#include "net/wire.h"
#include "store/database.h"
#include "store/vesksqlquerymodel.h"

#include "testsupport.h"

#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>
#include <sched.h>
#include <unistd.h>
#include <vector>

using Vesk::Globals;
using Vesk::Parameters;

namespace {

const QString kKnown = QStringLiteral("{known-peer}");

bool exec(const QString& statement, const QVariantList& values = {})
{
    QSqlQuery q(Database::connection());
    if (!q.prepare(statement))
        return false;
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    return q.exec();
}

QStringList column(const QString& statement, const QVariantList& values = {})
{
    QSqlQuery q(Database::connection());
    q.prepare(statement);
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values.at(i));
    QStringList result;
    if (q.exec()) {
        while (q.next())
            result << q.value(0).toString();
    }
    return result;
}

QString storedAddress(const QString& id)
{
    return column(QStringLiteral("select ipAddress from vesk_peers where id = ?"), {id}).value(0);
}

int unknownActionLines(const QStringList& criticals)
{
    int count = 0;
    for (const QString& line : criticals)
        count += line.startsWith(QLatin1String("unknown options parameters")) ? 1 : 0;
    return count;
}

} // namespace

class TestGlobalsNet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void addressFollowsTheSenderWhateverTheAction();
    void unknownNodeChangesNoRow();
    void openConversationHearsOfTheNewAddress();
    void sendToNodeReachesItsStoredAddress();
    void sendToUnknownNodeIsSilent();
    void everyPendingConnectionIsTaken();

private:
    Globals* g = nullptr;
};

void TestGlobalsNet::initTestCase()
{
    // The controller listens on the message port and this test talks to it: in a network namespace of its own
    // (when root) nothing else on the machine can answer or listen there.
    if (geteuid() == 0 && unshare(CLONE_NEWNET) == 0)
        QProcess::execute(QStringLiteral("ip"), {"link", "set", "lo", "up"});
    g = Globals::instance();
    QVERIFY(g->messageServer().tcpServer.isListening());
    g->init();
    for (QTimer* timer : {&g->downloadUITimer, &g->unsentChatTimer, &g->unsentUploadsTimer, &g->refreshPeersTimer,
                          &g->uploadsToDeleteTimer, &g->downloadsToDeleteTimer, &g->wakeUpTimer})
        timer->stop();
}

void TestGlobalsNet::init()
{
    QVERIFY(exec(QStringLiteral("delete from vesk_peers")));
    QVERIFY(exec(QStringLiteral("insert into vesk_peers (id, alias, ipAddress, status, blocked) "
                                "values (?, 'Ann', '10.1.1.1', 'on', 'no')"),
                 {kKnown}));
    g->setCurrentSelectedChatPeer(QString());
    g->nodeData->refresh();
}

void TestGlobalsNet::addressFollowsTheSenderWhateverTheAction()
{
    TestSupport::MessageCatcher catcher;
    g->processMessage({{"action", "noSuchAction"}, {"nodeFrom", kKnown}, {"senderIPAddress", "10.1.1.2"}});
    QCOMPARE(storedAddress(kKnown), QStringLiteral("10.1.1.2"));
    QCOMPARE(unknownActionLines(catcher.criticals()), 1);

    // A message without an action at all (what an undecodable frame becomes) still names its sender.
    g->processMessage({{"nodeFrom", kKnown}, {"senderIPAddress", "10.1.1.3"}});
    QCOMPARE(storedAddress(kKnown), QStringLiteral("10.1.1.3"));
    QCOMPARE(unknownActionLines(catcher.criticals()), 2);
}

void TestGlobalsNet::unknownNodeChangesNoRow()
{
    const QStringList before = column(QStringLiteral("select id || '=' || ipAddress from vesk_peers order by id"));
    TestSupport::MessageCatcher catcher;
    g->processMessage({{"action", "noSuchAction"}, {"nodeFrom", "{stranger}"}, {"senderIPAddress", "10.9.9.9"}});
    QCOMPARE(column(QStringLiteral("select id || '=' || ipAddress from vesk_peers order by id")), before);
    QCOMPARE(unknownActionLines(catcher.criticals()), 1);
}

void TestGlobalsNet::openConversationHearsOfTheNewAddress()
{
    g->setCurrentSelectedChatPeer(kKnown);
    QSignalSpy spy(g, &Globals::currentSelectedChatPeerChanged);
    TestSupport::MessageCatcher catcher;
    g->processMessage({{"action", "noSuchAction"}, {"nodeFrom", kKnown}, {"senderIPAddress", "10.1.1.1"}});
    QCOMPARE(spy.size(), 0);
    g->processMessage({{"action", "noSuchAction"}, {"nodeFrom", kKnown}, {"senderIPAddress", "10.1.1.5"}});
    QCOMPARE(spy.size(), 1);
}

void TestGlobalsNet::sendToNodeReachesItsStoredAddress()
{
    // A peer stored at this machine's loopback address: the message comes back to our own server.
    QVERIFY(exec(QStringLiteral("update vesk_peers set ipAddress = '127.0.0.1' where id = ?"), {kKnown}));
    QSignalSpy spy(g, &Globals::newMessage);
    TestSupport::MessageCatcher catcher;
    g->sendToNode(kKnown, {{"action", "noSuchAction"}, {"chatId", "{c1}"}});
    const Parameters expected{{"action", "noSuchAction"}, {"chatId", "{c1}"}, {"senderIPAddress", "127.0.0.1"}};
    // The controller may be talking to itself as well (its own handshake); only our message matters here.
    QTRY_VERIFY(std::any_of(spy.cbegin(), spy.cend(), [&expected](const QList<QVariant>& arguments) {
        return arguments.first().value<QHash<QString, QVariant>>() == expected;
    }));
    // ... and it is dispatched in a later turn of the event loop.
    QTRY_VERIFY(std::any_of(catcher.criticals().cbegin(), catcher.criticals().cend(), [](const QString& line) {
        return line.startsWith(QLatin1String("unknown options parameters")) && line.contains("{c1}");
    }));
}

void TestGlobalsNet::sendToUnknownNodeIsSilent()
{
    QTest::qWait(200); // let earlier traffic settle
    QSignalSpy spy(g, &Globals::newMessage);
    TestSupport::MessageCatcher catcher;
    g->sendToNode("{nobody}", {{"action", "confirmChat"}, {"chatId", "{c2}"}});
    QTest::qWait(500);
    for (const QList<QVariant>& arguments : std::as_const(spy)) {
        const Parameters message = arguments.first().value<Parameters>();
        QVERIFY(message.value("chatId").toString() != "{c2}");
    }
    for (const QString& line : catcher.all())
        QVERIFY2(!line.contains("{c2}") && !line.contains("{nobody}"), qPrintable(line));
}

void TestGlobalsNet::everyPendingConnectionIsTaken()
{
    // Many peers connect at once, before the controller gets to run: every connection is taken and read.
    constexpr int kPeers = 40;
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    for (int i = 0; i < kPeers; ++i) {
        auto peer = std::make_unique<QTcpSocket>();
        peer->connectToHost(QHostAddress::LocalHost, VeskTcpSocket::kTcpPort);
        QVERIFY(peer->waitForConnected(3000));
        peer->write(Vesk::parametersToFrame({{"chatId", QString::number(i)}}));
        QVERIFY(peer->waitForBytesWritten(3000));
        peers.push_back(std::move(peer));
    }
    QSignalSpy spy(g, &Globals::newMessage);
    TestSupport::MessageCatcher catcher;
    QTRY_COMPARE(spy.size(), kPeers);
    QSet<QString> chatIds;
    for (const QList<QVariant>& arguments : std::as_const(spy))
        chatIds.insert(arguments.first().value<QHash<QString, QVariant>>().value("chatId").toString());
    QCOMPARE(chatIds.size(), kPeers);
    QTRY_COMPARE(unknownActionLines(catcher.criticals()), kPeers);
    // Every connection was ended by the controller's side once its frame was read.
    for (const auto& peer : peers)
        QTRY_VERIFY(peer->state() == QAbstractSocket::UnconnectedState);
}

QTEST_MAIN(TestGlobalsNet)
#include "tst_globalsnet.moc"
