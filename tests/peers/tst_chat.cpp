#include "app/globals.h"

#include "app/notificationdialog.h"
#include "app/platform.h"
#include "common/clock.h"
#include "outboxrecorder.h"
#include "store/database.h"
#include "store/vesksqlquerymodel.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QSettings>
#include <QDir>
#include <QTest>
#include <QTextEdit>

using Vesk::Globals;
using Vesk::Parameters;

namespace {

constexpr qint64 kBaseTime = 1700000000000;
constexpr qint64 kHourMs = 3600000;

qint64 g_now = kBaseTime;

struct ChatRow
{
    int count = 0;
    QString message, peerfrom, peerto, status, timesent;
};

ChatRow chatRow(const QString& id)
{
    ChatRow row;
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("select message, peerfrom, peerto, status, timesent from vesk_chats where id = ?"));
    q.bindValue(0, id);
    q.exec();
    while (q.next()) {
        ++row.count;
        row.message = q.value(0).toString();
        row.peerfrom = q.value(1).toString();
        row.peerto = q.value(2).toString();
        row.status = q.value(3).toString();
        row.timesent = q.value(4).toString();
    }
    return row;
}

int chatCount()
{
    QSqlQuery q(Database::connection());
    q.exec(QStringLiteral("select count(*) from vesk_chats"));
    return q.next() ? q.value(0).toInt() : -1;
}

QString peerField(const QString& id, const QString& column)
{
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("select ") + column + QStringLiteral(" from vesk_peers where id = ?"));
    q.bindValue(0, id);
    return q.exec() && q.next() ? q.value(0).toString() : QStringLiteral("<no row>");
}

void setPeerField(const QString& id, const QString& column, const QString& value)
{
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("update vesk_peers set ") + column + QStringLiteral(" = ? where id = ?"));
    q.bindValue(0, value);
    q.bindValue(1, id);
    QVERIFY(q.exec());
}

int unread(const QString& id)
{
    return peerField(id, QStringLiteral("unreadMessagesCount")).toInt();
}

// What the chat popup of a peer shows, as plain text; empty when it has none.
QString popupText(Globals* g, const QString& nodeId)
{
    NotificationDialog* popup = g->chatPopups.value(nodeId);
    return popup ? popup->textView()->toPlainText() : QString();
}

} // namespace

class tst_Chat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void blankMessagesAreIgnored_data();
    void blankMessagesAreIgnored();
    void sendChatStoresThenSends();
    void newIdIsShownAndCountedOnceAndEveryCopyConfirmed();
    void unreadRule_data();
    void unreadRule();
    void storedTime_data();
    void storedTime();
    void blockedSenderIsDroppedWithoutConfirmation();
    void missingChatIdIsOnlyConfirmed();
    void senderWithoutRowIsStoredButNotCounted();
    void popupShowsTextNotMarkup();
    void longMessageIsStoredWholeAndShownCut();
    void confirmChat();
    void resendFiveOldestOfTheLastHour();
    void receivedMessagesAreNeverResent();
    void resendTimerRunsAfterInit();

private:
    void addPeer(const QString& id, const QString& address);
    Parameters incoming(const QString& from, const QString& id, const QString& text, const QVariant& timeSent);

    Globals* g = nullptr;
    OutboxRecorder* outbox = nullptr;
};

void tst_Chat::initTestCase()
{
    // The test's home is its own: start from an empty data folder and no settings, as on a first run.
    QVERIFY(QDir(dataFolderPath()).removeRecursively());
    QSettings(QStringLiteral("Tavimor"), QStringLiteral("Vesk")).clear();
    QVERIFY(QDir().mkpath(dataFolderPath()));
    Vesk::setClockOverride([] { return g_now; });
    outbox = new OutboxRecorder;
    g = Globals::instance();
    new QAbstractItemModelTester(g->chatsModel, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
    new QAbstractItemModelTester(g->nodeData, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
    new QAbstractItemModelTester(g->nodesProxyData, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
}

void tst_Chat::init()
{
    g_now += 2 * kHourMs; // earlier tests' own messages are past the resend hour
    outbox->clear();
    g->setCurrentSelectedTabIndex(1);
}

void tst_Chat::cleanupTestCase()
{
    delete outbox;
    Vesk::setClockOverride({});
}

void tst_Chat::addPeer(const QString& id, const QString& address)
{
    g->addNodeFromUDP(id, address, QStringLiteral("os"), QStringLiteral("alias of ") + id);
    outbox->clear();
}

Parameters tst_Chat::incoming(const QString& from, const QString& id, const QString& text, const QVariant& timeSent)
{
    Parameters message{{QStringLiteral("action"), QStringLiteral("newChatMessage")},
                       {QStringLiteral("nodeFrom"), from},
                       {QStringLiteral("message"), text},
                       {QStringLiteral("senderIPAddress"), QStringLiteral("10.77.0.99")}};
    if (!id.isNull())
        message.insert(QStringLiteral("chatId"), id);
    if (timeSent.isValid())
        message.insert(QStringLiteral("timeSent"), timeSent);
    return message;
}

void tst_Chat::blankMessagesAreIgnored_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("spaces") << "   ";
    QTest::newRow("tabs and breaks") << "\t\n \r\n";
}

void tst_Chat::blankMessagesAreIgnored()
{
    QFETCH(QString, text);
    addPeer(QStringLiteral("quiet"), QStringLiteral("10.77.1.1"));
    setPeerField(QStringLiteral("quiet"), QStringLiteral("unreadMessagesCount"), QStringLiteral("4"));
    const int before = chatCount();
    QSignalSpy unreadSpy(g, &Globals::totalNumberOfUnReadMessagesChanged);

    g->sendChat(QStringLiteral("quiet"), text);

    QCOMPARE(chatCount(), before);
    QVERIFY(outbox->sent.isEmpty());
    QCOMPARE(unread(QStringLiteral("quiet")), 4);
    QCOMPARE(unreadSpy.size(), 0);
}

void tst_Chat::sendChatStoresThenSends()
{
    addPeer(QStringLiteral("bob"), QStringLiteral("10.77.1.2"));
    setPeerField(QStringLiteral("bob"), QStringLiteral("unreadMessagesCount"), QStringLiteral("7"));
    g_now += 1234;
    QSignalSpy unreadSpy(g, &Globals::totalNumberOfUnReadMessagesChanged);

    g->sendChat(QStringLiteral("bob"), QStringLiteral("  hello, Bob  \n"));

    QCOMPARE(outbox->sent.size(), 1);
    const OutboxRecorder::Sent sent = outbox->sent.first();
    QCOMPARE(sent.action(), QStringLiteral("newChatMessage"));
    QCOMPARE(sent.address, QHostAddress(QStringLiteral("10.77.1.2")));
    QCOMPARE(sent.parameters.value(QStringLiteral("message")).toString(), QStringLiteral("  hello, Bob  \n"));
    QCOMPARE(sent.parameters.value(QStringLiteral("nodeFrom")).toString(), g->hostId());
    QCOMPARE(sent.parameters.value(QStringLiteral("timeSent")).toLongLong(), g_now);
    QCOMPARE(sent.parameters.value(QStringLiteral("timeSent")).metaType().id(), QMetaType::LongLong);
    const QString id = sent.parameters.value(QStringLiteral("chatId")).toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"))
                 .match(id)
                 .hasMatch(),
             qPrintable(id));

    const ChatRow row = chatRow(id);
    QCOMPARE(row.count, 1);
    QCOMPARE(row.message, QStringLiteral("  hello, Bob  \n"));
    QCOMPARE(row.peerfrom, g->hostId());
    QCOMPARE(row.peerto, QStringLiteral("bob"));
    QCOMPARE(row.status, QStringLiteral("unknown"));
    QCOMPARE(row.timesent, QString::number(g_now));
    QCOMPARE(unread(QStringLiteral("bob")), 0);
    QCOMPARE(peerField(QStringLiteral("bob"), QStringLiteral("timestamp")), QString::number(g_now));
    QCOMPARE(unreadSpy.size(), 1);
}

void tst_Chat::newIdIsShownAndCountedOnceAndEveryCopyConfirmed()
{
    addPeer(QStringLiteral("carol"), QStringLiteral("10.77.1.3"));
    const QString id = QStringLiteral("{11111111-2222-3333-4444-555555555555}");
    const Parameters message = incoming(QStringLiteral("carol"), id, QStringLiteral("once upon a time"), g_now - 10);
    QSignalSpy totalSpy(g, &Globals::totalNumberOfUnReadMessagesChanged);

    g->handleNewChatMessage(message);
    g->handleNewChatMessage(message);

    QCOMPARE(chatRow(id).count, 1);
    QCOMPARE(chatRow(id).peerto, g->hostId());
    QCOMPARE(unread(QStringLiteral("carol")), 1);
    QCOMPARE(totalSpy.size(), 1);
    QCOMPARE(popupText(g, QStringLiteral("carol")).count(QStringLiteral("once upon a time")), 1);
    const auto confirmations = outbox->withAction(QStringLiteral("confirmChat"));
    QCOMPARE(confirmations.size(), 2);
    for (const auto& confirmation : confirmations) {
        QCOMPARE(confirmation.address, QHostAddress(QStringLiteral("10.77.1.3")));
        QCOMPARE(confirmation.parameters.value(QStringLiteral("chatId")).toString(), id);
    }
    QCOMPARE(outbox->sent.size(), 2);
}

void tst_Chat::unreadRule_data()
{
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<bool>("counted");

    QTest::newRow("chat tab, this peer") << 0 << "dave" << false;
    QTest::newRow("chat tab, this peer in other case") << 0 << "DaVe" << false;
    QTest::newRow("chat tab, another peer") << 0 << "erin" << true;
    QTest::newRow("chat tab, nobody") << 0 << "" << true;
    QTest::newRow("other tab, this peer") << 2 << "dave" << true;
}

void tst_Chat::unreadRule()
{
    QFETCH(int, tab);
    QFETCH(QString, selected);
    QFETCH(bool, counted);

    addPeer(QStringLiteral("dave"), QStringLiteral("10.77.1.4"));
    g->setCurrentSelectedChatPeer(selected);
    g->setCurrentSelectedTabIndex(tab);
    const int before = unread(QStringLiteral("dave"));
    const QString id = QStringLiteral("unread-") + QTest::currentDataTag();

    g->handleNewChatMessage(incoming(QStringLiteral("dave"), id, QStringLiteral("hi"), g_now));

    QCOMPARE(chatRow(id).count, 1);
    QCOMPARE(unread(QStringLiteral("dave")), before + (counted ? 1 : 0));
    QCOMPARE(outbox->withAction(QStringLiteral("confirmChat")).size(), 1);
}

void tst_Chat::storedTime_data()
{
    QTest::addColumn<QVariant>("timeSent");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("in the past") << QVariant(kBaseTime) << kBaseTime;
    QTest::newRow("in the future") << QVariant(qint64(9000000000000)) << qint64(-1); // -1: now
    QTest::newRow("missing") << QVariant() << qint64(0);
    QTest::newRow("negative") << QVariant(qint64(-5)) << qint64(-5);
}

void tst_Chat::storedTime()
{
    QFETCH(QVariant, timeSent);
    QFETCH(qint64, expected);
    addPeer(QStringLiteral("frank"), QStringLiteral("10.77.1.5"));
    const QString id = QStringLiteral("time-") + QTest::currentDataTag();
    g->handleNewChatMessage(incoming(QStringLiteral("frank"), id, QStringLiteral("tick"), timeSent));
    QCOMPARE(chatRow(id).timesent, QString::number(expected == -1 ? g_now : expected));
}

void tst_Chat::blockedSenderIsDroppedWithoutConfirmation()
{
    addPeer(QStringLiteral("mallory"), QStringLiteral("10.77.1.6"));
    setPeerField(QStringLiteral("mallory"), QStringLiteral("blocked"), QStringLiteral("yes"));
    g->handleNewChatMessage(
        incoming(QStringLiteral("mallory"), QStringLiteral("blocked-1"), QStringLiteral("psst"), g_now));
    QCOMPARE(chatRow(QStringLiteral("blocked-1")).count, 0);
    QCOMPARE(unread(QStringLiteral("mallory")), 0);
    QVERIFY(popupText(g, QStringLiteral("mallory")).isEmpty());
    QVERIFY(outbox->sent.isEmpty());
}

void tst_Chat::missingChatIdIsOnlyConfirmed()
{
    addPeer(QStringLiteral("grace"), QStringLiteral("10.77.1.7"));
    const int before = chatCount();
    g->handleNewChatMessage(incoming(QStringLiteral("grace"), QString(), QStringLiteral("no id"), g_now));
    QCOMPARE(chatCount(), before);
    QCOMPARE(unread(QStringLiteral("grace")), 0);
    QVERIFY(popupText(g, QStringLiteral("grace")).isEmpty());
    QCOMPARE(outbox->withAction(QStringLiteral("confirmChat")).size(), 1);
}

void tst_Chat::senderWithoutRowIsStoredButNotCounted()
{
    g->handleNewChatMessage(incoming(QStringLiteral("ghost"), QStringLiteral("ghost-1"), QStringLiteral("boo"), g_now));
    QCOMPARE(chatRow(QStringLiteral("ghost-1")).count, 1);
    QVERIFY(popupText(g, QStringLiteral("ghost")).contains(QStringLiteral("boo")));
    QCOMPARE(peerField(QStringLiteral("ghost"), QStringLiteral("id")), QStringLiteral("<no row>"));
    QCOMPARE(outbox->sent.size(), 1);
    QVERIFY(outbox->sent.first().address.isNull());
}

void tst_Chat::popupShowsTextNotMarkup()
{
    addPeer(QStringLiteral("heidi"), QStringLiteral("10.77.1.8"));
    const QString text = QStringLiteral("<b>bold?</b> & <img src=x> a<br>b");
    g->handleNewChatMessage(incoming(QStringLiteral("heidi"), QStringLiteral("markup-1"), text, g_now));
    QVERIFY2(popupText(g, QStringLiteral("heidi")).contains(text), qPrintable(popupText(g, QStringLiteral("heidi"))));
    QCOMPARE(chatRow(QStringLiteral("markup-1")).message, text);
}

void tst_Chat::longMessageIsStoredWholeAndShownCut()
{
    addPeer(QStringLiteral("olga"), QStringLiteral("10.77.1.13"));
    const QString text = QString(300000, QLatin1Char('w'));
    g->handleNewChatMessage(incoming(QStringLiteral("olga"), QStringLiteral("long-1"), text, g_now));
    QCOMPARE(chatRow(QStringLiteral("long-1")).message, text);
    const QString shown = popupText(g, QStringLiteral("olga"));
    QVERIFY(shown.contains(QString(4000, QLatin1Char('w')) + QChar(0x2026)));
    QVERIFY(!shown.contains(QString(4001, QLatin1Char('w'))));
    QCOMPARE(outbox->withAction(QStringLiteral("confirmChat")).size(), 1);
}

void tst_Chat::confirmChat()
{
    addPeer(QStringLiteral("ivan"), QStringLiteral("10.77.1.9"));
    g->sendChat(QStringLiteral("ivan"), QStringLiteral("are you there?"));
    const QString id = outbox->sent.first().parameters.value(QStringLiteral("chatId")).toString();
    const int before = chatCount();

    g->handleConfirmChat({{QStringLiteral("action"), QStringLiteral("confirmChat")},
                          {QStringLiteral("chatId"), QStringLiteral("{no-such-id}")}});
    QCOMPARE(chatRow(id).status, QStringLiteral("unknown"));
    QCOMPARE(chatCount(), before);

    g->processMessage({{QStringLiteral("action"), QStringLiteral("confirmchat")}, {QStringLiteral("chatId"), id}});
    QCOMPARE(chatRow(id).status, QStringLiteral("sent"));

    // A late copy of the same id does not undo the confirmation.
    g->processNewChatMessage(QStringLiteral("are you there?"), g->hostId(), {QStringLiteral("ivan")}, id, g_now);
    QCOMPARE(chatRow(id).status, QStringLiteral("sent"));
}

void tst_Chat::resendFiveOldestOfTheLastHour()
{
    addPeer(QStringLiteral("judy"), QStringLiteral("10.77.1.10"));
    QStringList ids;
    const qint64 start = g_now;
    for (int i = 0; i < 6; ++i) {
        g_now = start + i * 60000; // one a minute
        g->sendChat(QStringLiteral("judy"), QStringLiteral("message %1").arg(i));
        ids << outbox->sent.last().parameters.value(QStringLiteral("chatId")).toString();
    }
    const auto resentIds = [this] {
        QStringList found;
        for (const auto& sent : outbox->withAction(QStringLiteral("newChatMessage")))
            found << sent.parameters.value(QStringLiteral("chatId")).toString();
        return found;
    };

    outbox->clear();
    g->unsentChatMessagesTimeout();
    QCOMPARE(resentIds(), ids.mid(0, 5));
    const auto first = outbox->sent.first();
    QCOMPARE(first.address, QHostAddress(QStringLiteral("10.77.1.10")));
    QCOMPARE(first.parameters.value(QStringLiteral("message")).toString(), QStringLiteral("message 0"));
    QCOMPARE(first.parameters.value(QStringLiteral("timeSent")).toLongLong(), start);
    QCOMPARE(first.parameters.value(QStringLiteral("nodeFrom")).toString(), g->hostId());

    // Nothing changes by resending: the next tick sends the same five.
    outbox->clear();
    g->unsentChatMessagesTimeout();
    QCOMPARE(resentIds(), ids.mid(0, 5));

    // A confirmation makes room for the sixth.
    g->handleConfirmChat({{QStringLiteral("chatId"), ids.at(2)}});
    outbox->clear();
    g->unsentChatMessagesTimeout();
    QCOMPARE(resentIds(), (QStringList{ids.at(0), ids.at(1), ids.at(3), ids.at(4), ids.at(5)}));

    // Exactly one hour old is out; one millisecond younger is still in.
    g_now = start + kHourMs - 1;
    outbox->clear();
    g->unsentChatMessagesTimeout();
    QCOMPARE(resentIds().first(), ids.at(0));
    g_now = start + kHourMs;
    outbox->clear();
    g->unsentChatMessagesTimeout();
    QCOMPARE(resentIds(), (QStringList{ids.at(1), ids.at(3), ids.at(4), ids.at(5)}));

    // Past the hour of the newest, nothing is ever resent again, whatever its status.
    g_now = start + 5 * 60000 + kHourMs;
    outbox->clear();
    g->unsentChatMessagesTimeout();
    QVERIFY(outbox->sent.isEmpty());
    QCOMPARE(chatRow(ids.at(5)).status, QStringLiteral("unknown"));
}

void tst_Chat::receivedMessagesAreNeverResent()
{
    addPeer(QStringLiteral("kim"), QStringLiteral("10.77.1.11"));
    g->handleNewChatMessage(incoming(QStringLiteral("kim"), QStringLiteral("in-1"), QStringLiteral("hello"), g_now));
    outbox->clear();
    g->unsentChatMessagesTimeout();
    QVERIFY(outbox->sent.isEmpty());
}

void tst_Chat::resendTimerRunsAfterInit()
{
    addPeer(QStringLiteral("leo"), QStringLiteral("10.77.1.12"));
    g->sendChat(QStringLiteral("leo"), QStringLiteral("tick tock"));
    outbox->clear();
    g->init();
    QCOMPARE(g->unsentChatTimer.interval(), 5000);
    QVERIFY(g->unsentChatTimer.isActive());
    g->unsentChatTimer.setInterval(20);
    g->unsentChatTimer.start();
    QTRY_VERIFY(!outbox->withAction(QStringLiteral("newChatMessage")).isEmpty());
    QCOMPARE(outbox->withAction(QStringLiteral("newChatMessage")).first().parameters.value("message").toString(),
             QStringLiteral("tick tock"));
}

QTEST_MAIN(tst_Chat)
#include "tst_chat.moc"
