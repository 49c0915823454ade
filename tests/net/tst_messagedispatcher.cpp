#include "net/messagedispatcher.h"

#include "testsupport.h"

using Message = MessageDispatcher::Message;

class TestMessageDispatcher : public QObject
{
    Q_OBJECT

private slots:
    // A message runs the handler of its action whatever the letter case, after refreshing the address of the node
    // it names; any other action runs no handler.
    void dispatch_data()
    {
        QTest::addColumn<Message>("message");
        QTest::addColumn<QString>("handler"); // empty: none runs
        const auto from = [](const QString& action) {
            return Message{{"action", action}, {"nodeFrom", "{a}"}, {"senderIPAddress", "10.0.0.7"}};
        };
        QTest::newRow("exact") << from("newChatMessage") << "newChatMessage";
        QTest::newRow("other case") << from("ADDMEREQUEST") << "addMeRequest";
        QTest::newRow("unknown word") << from("launchMissiles") << "";
        QTest::newRow("prefix of a word") << from("newChat") << "";
        QTest::newRow("word and a space") << from("confirmChat ") << "";
        QTest::newRow("no handler registered") << from("requestMyInfo") << "";
        QTest::newRow("no action") << Message{{"nodeFrom", "{a}"}, {"senderIPAddress", "10.0.0.7"}} << "";
        QTest::newRow("no node named") << Message{{"action", "confirmChat"}, {"senderIPAddress", "10.0.0.7"}}
                                       << "confirmChat";
    }
    void dispatch()
    {
        QFETCH(Message, message);
        QFETCH(QString, handler);
        MessageDispatcher dispatcher;
        QStringList ran;
        dispatcher.setAddressRefresh(
            [&ran](const QString& node, const QString& address) { ran.append("refresh " + node + " " + address); });
        for (const QString& action : MessageDispatcher::actions()) {
            if (action != QLatin1String("requestMyInfo"))
                QVERIFY(dispatcher.registerHandler(action, [&ran, action](const Message&) { ran.append(action); }));
        }
        QVERIFY(!dispatcher.registerHandler("launchMissiles", [&ran](const Message&) { ran.append("missiles"); }));

        TestSupport::MessageCatcher catcher;
        QCOMPARE(dispatcher.dispatch(message), !handler.isEmpty());
        QStringList expected;
        if (message.contains("nodeFrom"))
            expected.append("refresh {a} 10.0.0.7");
        if (!handler.isEmpty())
            expected.append(handler);
        QCOMPARE(ran, expected);
        // What was not understood is logged whole, with where it came from.
        const QString logged = catcher.criticals().join('\n');
        QCOMPARE(logged.startsWith("unknown options parameters") && logged.contains("10.0.0.7"), handler.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMessageDispatcher)
#include "tst_messagedispatcher.moc"
