#include "net/messagedispatcher.h"

#include "testsupport.h"

#include <QTest>

using Message = MessageDispatcher::Message;

class TestMessageDispatcher : public QObject
{
    Q_OBJECT

private slots:
    void vocabularyOrder();
    void caseInsensitiveMatch_data();
    void caseInsensitiveMatch();
    void eachActionReachesItsHandler();
    void unknownActions_data();
    void unknownActions();
    void unregisteredActionIsUnknown();
    void onlyVocabularyCanBeRegistered();
    void addressRefreshRunsFirstForEveryMessageNamingANode();
    void noAddressRefreshWithoutNodeFrom();
};

void TestMessageDispatcher::vocabularyOrder()
{
    const QStringList expected{
        "newChatMessage",  "confirmChat",    "newFileToDownload", "confirmFileToSend",     "sendDataPacket",
        "avatarRequested", "avatarObtained", "receiveDataPacket", "fileTransferComplete",  "removeFileToSend",
        "removeFileToGet", "requestMyInfo",  "addMeRequest",      "addMeRequestConfirmed",
    };
    QCOMPARE(MessageDispatcher::actions(), expected);
}

void TestMessageDispatcher::caseInsensitiveMatch_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("exact") << "newChatMessage";
    QTest::newRow("capitals") << "NEWCHATMESSAGE";
    QTest::newRow("lower case") << "newchatmessage";
    QTest::newRow("mixed") << "NewChatMessage";
}

void TestMessageDispatcher::caseInsensitiveMatch()
{
    QFETCH(QString, action);
    MessageDispatcher dispatcher;
    Message received;
    int calls = 0;
    dispatcher.registerHandler("newChatMessage", [&](const Message& message) {
        received = message;
        ++calls;
    });
    dispatcher.registerHandler("confirmChat", [&](const Message&) { QFAIL("wrong handler"); });

    const Message message{{"action", action}, {"message", "hello"}, {"senderIPAddress", "10.0.0.2"}};
    TestSupport::MessageCatcher catcher;
    QVERIFY(dispatcher.dispatch(message));
    QCOMPARE(calls, 1);
    QCOMPARE(received, message);
    QVERIFY(catcher.criticals().isEmpty());
}

void TestMessageDispatcher::eachActionReachesItsHandler()
{
    MessageDispatcher dispatcher;
    QStringList ran;
    for (const QString& action : MessageDispatcher::actions())
        QVERIFY(dispatcher.registerHandler(action, [&ran, action](const Message&) { ran.append(action); }));

    for (const QString& action : MessageDispatcher::actions()) {
        ran.clear();
        QVERIFY(dispatcher.dispatch({{"action", action.toUpper()}}));
        QCOMPARE(ran, QStringList{action});
    }
}

void TestMessageDispatcher::unknownActions_data()
{
    QTest::addColumn<Message>("message");
    QTest::newRow("missing action") << Message{{"senderIPAddress", "10.0.0.2"}};
    QTest::newRow("empty action") << Message{{"action", ""}, {"senderIPAddress", "10.0.0.2"}};
    QTest::newRow("unknown word") << Message{{"action", "launchMissiles"}, {"senderIPAddress", "10.0.0.2"}};
    QTest::newRow("prefix of a known word") << Message{{"action", "newChat"}, {"senderIPAddress", "10.0.0.2"}};
    QTest::newRow("known word with a space") << Message{{"action", "confirmChat "}, {"senderIPAddress", "10.0.0.2"}};
}

void TestMessageDispatcher::unknownActions()
{
    QFETCH(Message, message);
    MessageDispatcher dispatcher;
    for (const QString& action : MessageDispatcher::actions())
        dispatcher.registerHandler(action, [](const Message&) { QFAIL("no handler may run"); });

    TestSupport::MessageCatcher catcher;
    QVERIFY(!dispatcher.dispatch(message));
    const QStringList criticals = catcher.criticals();
    QCOMPARE(criticals.size(), 1);
    QVERIFY2(criticals.first().startsWith("unknown options parameters QHash("), qPrintable(criticals.first()));
    QVERIFY2(criticals.first().contains("\"senderIPAddress\""), qPrintable(criticals.first()));
    QVERIFY2(criticals.first().contains("10.0.0.2"), qPrintable(criticals.first()));
}

void TestMessageDispatcher::unregisteredActionIsUnknown()
{
    MessageDispatcher dispatcher;
    dispatcher.registerHandler("confirmChat", [](const Message&) {});
    QVERIFY(!dispatcher.hasHandler("requestMyInfo"));

    TestSupport::MessageCatcher catcher;
    QVERIFY(!dispatcher.dispatch({{"action", "requestMyInfo"}}));
    QCOMPARE(catcher.criticals().size(), 1);
    QVERIFY(dispatcher.dispatch({{"action", "confirmchat"}}));
    QCOMPARE(catcher.criticals().size(), 1);
}

void TestMessageDispatcher::onlyVocabularyCanBeRegistered()
{
    MessageDispatcher dispatcher;
    QVERIFY(!dispatcher.registerHandler("launchMissiles", [](const Message&) {}));
    QVERIFY(!dispatcher.hasHandler("launchMissiles"));
    TestSupport::MessageCatcher catcher;
    QVERIFY(!dispatcher.dispatch({{"action", "launchMissiles"}}));
    QCOMPARE(catcher.criticals().size(), 1);
}

void TestMessageDispatcher::addressRefreshRunsFirstForEveryMessageNamingANode()
{
    MessageDispatcher dispatcher;
    QStringList events;
    dispatcher.setAddressRefresh([&events](const QString& nodeId, const QString& address) {
        events.append("refresh " + nodeId + " " + address);
    });
    dispatcher.registerHandler("addMeRequest", [&events](const Message&) { events.append("handler"); });

    dispatcher.dispatch({{"action", "addMeRequest"}, {"nodeFrom", "{a}"}, {"senderIPAddress", "10.0.0.7"}});
    QCOMPARE(events, (QStringList{"refresh {a} 10.0.0.7", "handler"}));

    events.clear();
    TestSupport::MessageCatcher catcher;
    dispatcher.dispatch({{"action", "noSuchThing"}, {"nodeFrom", "{b}"}, {"senderIPAddress", "10.0.0.8"}});
    QCOMPARE(events, QStringList{"refresh {b} 10.0.0.8"});
    QCOMPARE(catcher.criticals().size(), 1);

    events.clear();
    dispatcher.dispatch({{"nodeFrom", ""}, {"senderIPAddress", "10.0.0.9"}});
    QCOMPARE(events, QStringList{"refresh  10.0.0.9"});
}

void TestMessageDispatcher::noAddressRefreshWithoutNodeFrom()
{
    MessageDispatcher dispatcher;
    int refreshes = 0;
    dispatcher.setAddressRefresh([&refreshes](const QString&, const QString&) { ++refreshes; });
    dispatcher.registerHandler("confirmChat", [](const Message&) {});
    dispatcher.dispatch({{"action", "confirmChat"}, {"chatId", "{c}"}, {"senderIPAddress", "10.0.0.2"}});
    QCOMPARE(refreshes, 0);
}

QTEST_GUILESS_MAIN(TestMessageDispatcher)
#include "tst_messagedispatcher.moc"
