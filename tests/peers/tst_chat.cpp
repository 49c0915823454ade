#include "peers/chat.h"

#include "store/vesksqlquerymodel.h"
#include "subsystemfixture.h"
#include "testsupport.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace TestSupport;
using Vesk::Chat;
using Parameters = Vesk::MessageSink::Parameters;

class tst_Chat : public QObject
{
    Q_OBJECT
    std::unique_ptr<SubsystemFixture> f;
    std::unique_ptr<Chat> chat;

    static Parameters incoming(const QString& from, const QString& id, const QString& text, const QVariant& time = {})
    {
        Parameters message{{"action", "newChatMessage"}, {"nodeFrom", from}, {"message", text}};
        if (!id.isNull())
            message.insert("chatId", id);
        if (time.isValid())
            message.insert("timeSent", time);
        return message;
    }
    QStringList resentIds()
    {
        const QStringList ids = f->sink.values("newChatMessage", "chatId");
        f->sink.clear();
        return ids;
    }

private slots:
    void init()
    {
        f = std::make_unique<SubsystemFixture>();
        chat = std::make_unique<Chat>(*f->store, f->sink, f->clock, f->profile, f->shell);
    }
    void cleanup()
    {
        chat.reset();
        f.reset();
    }

    // A message written is stored, then sent as typed, and the conversation counts as read; a blank one is not.
    void sendChat_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("text with spaces") << "  hello, Bob  \n";
        QTest::newRow("empty") << "";
        QTest::newRow("spaces") << "   ";
        QTest::newRow("tabs and breaks") << "\t\n \r\n";
    }
    void sendChat()
    {
        QFETCH(QString, text);
        const bool sent = !text.trimmed().isEmpty();
        const QHostAddress bob = f->addPeer("bob");
        QVERIFY(exec("update vesk_peers set unreadMessagesCount = '7'"));
        f->clock.advance(1234);
        const qint64 now = f->clock.nowMs();
        QSignalSpy unreadSpy(chat.get(), &Chat::unreadCountChanged);
        chat->sendChat("bob", text);

        QCOMPARE(f->sink.sent.size(), sent ? 1 : 0);
        QCOMPARE(count("vesk_chats"), sent ? 1 : 0);
        QCOMPARE(peerField("bob", "unreadMessagesCount"), QString(sent ? "0" : "7"));
        QCOMPARE(unreadSpy.size(), sent ? 1 : 0);
        if (!sent)
            return;
        const QString id = f->sink.sent.first().value("chatId").toString();
        QVERIFY2(QRegularExpression("^\\{[0-9a-f]{8}-([0-9a-f]{4}-){3}[0-9a-f]{12}\\}$").match(id).hasMatch(),
                 qPrintable(id));
        QCOMPARE(f->sink.sent.first().address, bob);
        QCOMPARE(f->sink.sent.first().parameters, (Parameters{{"action", "newChatMessage"},
                                                              {"message", text},
                                                              {"chatId", id},
                                                              {"timeSent", now},
                                                              {"nodeFrom", f->profile.id}}));
        QCOMPARE(f->sink.sent.first().value("timeSent").metaType().id(), QMetaType::LongLong);
        QCOMPARE(row("vesk_chats", id), (QHash<QString, QString>{{"id", id},
                                                                 {"message", text},
                                                                 {"peerfrom", f->profile.id},
                                                                 {"peerto", "bob"},
                                                                 {"status", "unknown"},
                                                                 {"timesent", QString::number(now)}}));
        QCOMPARE(peerField("bob", "timestamp"), QString::number(now));
    }

    // Every copy of a message is confirmed, but it is stored, shown and counted once; a blocked author hears
    // nothing back, so from its side the message stays undelivered.
    void incomingIsStoredOnceAndEveryCopyConfirmed_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("blocked");
        QTest::addColumn<QString>("chatId");
        QTest::addColumn<QString>("openConversation");
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("unread");
        QTest::addColumn<int>("confirmations");
        QTest::newRow("new message") << "carol" << QString("no") << "{c-1}" << QString() << 1 << 1 << 2;
        QTest::newRow("conversation open") << "carol" << QString("no") << "{c-1}" << QString("carol") << 1 << 0 << 2;
        QTest::newRow("another open") << "carol" << QString("no") << "{c-1}" << QString("dave") << 1 << 1 << 2;
        QTest::newRow("blocked author") << "carol" << QString("yes") << "{c-1}" << QString() << 0 << 0 << 0;
        QTest::newRow("no chat id") << "carol" << QString("no") << QString() << QString() << 0 << 0 << 2;
        QTest::newRow("author without a row") << "ghost" << QString("no") << "{g-1}" << QString() << 1 << 0 << 2;
    }
    void incomingIsStoredOnceAndEveryCopyConfirmed()
    {
        QFETCH(QString, from);
        QFETCH(QString, blocked);
        QFETCH(QString, chatId);
        QFETCH(int, stored);
        QFETCH(int, unread);
        QFETCH(int, confirmations);
        const QHostAddress carol = f->addPeer("carol", "on", QString(), blocked);
        QFETCH(QString, openConversation);
        f->shell.openConversation = openConversation;
        QSignalSpy unreadSpy(chat.get(), &Chat::unreadCountChanged);
        const Parameters message = incoming(from, chatId, "once upon a time", f->clock.nowMs() - 10);
        chat->handleNewChatMessage(message);
        chat->handleNewChatMessage(message);

        QCOMPARE(count("vesk_chats"), stored);
        if (stored)
            QCOMPARE(row("vesk_chats", chatId).value("peerto"), f->profile.id);
        QCOMPARE(f->shell.chatPopups.size(), stored);
        QCOMPARE(peerField("carol", "unreadMessagesCount").toInt(), unread);
        if (from == "carol")
            QCOMPARE(unreadSpy.size(), unread);
        QCOMPARE(f->sink.values("confirmChat", "chatId"), QStringList(confirmations, chatId));
        QCOMPARE(f->sink.sent.size(), confirmations);
        for (const auto& sent : std::as_const(f->sink.sent))
            QCOMPARE(sent.address, from == "carol" ? carol : QHostAddress());
    }

    // The author's clock is kept, unless it lies in the future.
    void storedTime_data()
    {
        QTest::addColumn<QVariant>("timeSent");
        QTest::addColumn<qint64>("expected"); // -1: now
        QTest::newRow("in the past") << QVariant(qint64(1600000000000)) << qint64(1600000000000);
        QTest::newRow("in the future") << QVariant(qint64(9000000000000)) << qint64(-1);
        QTest::newRow("missing") << QVariant() << qint64(0);
        QTest::newRow("negative") << QVariant(qint64(-5)) << qint64(-5);
    }
    void storedTime()
    {
        QFETCH(QVariant, timeSent);
        QFETCH(qint64, expected);
        f->addPeer("frank");
        chat->handleNewChatMessage(incoming("frank", "t-1", "tick", timeSent));
        QCOMPARE(row("vesk_chats", "t-1").value("timesent"),
                 QString::number(expected == -1 ? f->clock.nowMs() : expected));
    }

    // The popup shows markup as text, and a long message cut (it is stored whole).
    void popupShowsTextNotMarkupAndCutsLongMessages()
    {
        f->addPeer("heidi");
        chat->handleNewChatMessage(incoming("heidi", "m-1", "<b>bold?</b> & <img src=x> a<br>b"));
        QCOMPARE(f->shell.chatPopups.size(), 1);
        QVERIFY2(f->shell.chatPopups.first().html.contains("&lt;b&gt;bold?&lt;/b&gt; &amp; &lt;img src=x&gt;"),
                 qPrintable(f->shell.chatPopups.first().html));
        const QString text(300000, 'w');
        chat->handleNewChatMessage(incoming("heidi", "long-1", text));
        QCOMPARE(row("vesk_chats", "long-1").value("message"), text);
        const QString shown = f->shell.chatPopups.last().html;
        QVERIFY(shown.contains(QString(Chat::kMaxPopupCharacters, 'w') + QChar(0x2026)));
        QVERIFY(!shown.contains(QString(Chat::kMaxPopupCharacters + 1, 'w')));
    }

    // Only the message confirmed is marked sent, and a late copy of it does not undo that.
    void confirmationIsKept()
    {
        f->addPeer("ivan");
        chat->sendChat("ivan", "are you there?");
        const QString id = f->sink.sent.first().value("chatId").toString();
        chat->handleConfirmChat({{"action", "confirmChat"}, {"chatId", "{no-such-id}"}});
        QCOMPARE(row("vesk_chats", id).value("status"), QStringLiteral("unknown"));
        chat->handleConfirmChat({{"action", "confirmChat"}, {"chatId", id}});
        QCOMPARE(row("vesk_chats", id).value("status"), QStringLiteral("sent"));
        chat->processNewChatMessage("are you there?", f->profile.id, {"ivan"}, id, f->clock.nowMs());
        QCOMPARE(row("vesk_chats", id).value("status"), QStringLiteral("sent"));
        QCOMPARE(count("vesk_chats"), 1);
    }

    // Each round resends the five oldest unconfirmed messages of the last hour, as first sent; received ones never.
    void resendFiveOldestOfTheLastHour()
    {
        const QHostAddress judy = f->addPeer("judy");
        chat->handleNewChatMessage(incoming("judy", "in-1", "hello", f->clock.nowMs()));
        QStringList ids;
        const qint64 start = f->clock.nowMs();
        for (int i = 0; i < 6; ++i) {
            f->clock.setNowMs(start + i * 60000); // one a minute
            chat->sendChat("judy", QStringLiteral("message %1").arg(i));
            ids << f->sink.sent.last().value("chatId").toString();
        }
        f->sink.clear();
        chat->resendUnconfirmed();
        QCOMPARE(f->sink.sent.first().address, judy);
        QCOMPARE(f->sink.sent.first().parameters, (Parameters{{"action", "newChatMessage"},
                                                              {"message", "message 0"},
                                                              {"chatId", ids.at(0)},
                                                              {"timeSent", start},
                                                              {"nodeFrom", f->profile.id}}));
        QCOMPARE(resentIds(), ids.mid(0, 5));
        chat->resendUnconfirmed(); // resending changes nothing
        QCOMPARE(resentIds(), ids.mid(0, 5));
        chat->handleConfirmChat({{"chatId", ids.at(2)}}); // a confirmation makes room for the sixth
        chat->resendUnconfirmed();
        QCOMPARE(resentIds(), (QStringList{ids.at(0), ids.at(1), ids.at(3), ids.at(4), ids.at(5)}));
        // Exactly one hour old is out; one millisecond younger is still in.
        f->clock.setNowMs(start + Chat::kResendWindowMs - 1);
        chat->resendUnconfirmed();
        QCOMPARE(resentIds().first(), ids.at(0));
        f->clock.setNowMs(start + Chat::kResendWindowMs);
        chat->resendUnconfirmed();
        QCOMPARE(resentIds(), (QStringList{ids.at(1), ids.at(3), ids.at(4), ids.at(5)}));
    }

    // A peer coming back gets everything unconfirmed written to it, however old, oldest first.
    void everythingUnconfirmedGoesOutWhenThePeerIsBack()
    {
        const QHostAddress judy = f->addPeer("judy", "off");
        f->addPeer("other", "off");
        const qint64 start = f->clock.nowMs();
        QStringList ids;
        for (int i = 0; i < 8; ++i) {
            chat->sendChat(i == 3 ? "other" : "judy", QStringLiteral("m%1").arg(i));
            ids << f->sink.sent.last().value("chatId").toString();
            f->clock.advance(Chat::kResendWindowMs / 2);
        }
        chat->handleConfirmChat({{"chatId", ids.at(5)}});
        f->sink.clear();
        chat->resendAllTo("judy");
        QCOMPARE(f->sink.values("newChatMessage", "chatId"),
                 (QStringList{ids.at(0), ids.at(1), ids.at(2), ids.at(4), ids.at(6), ids.at(7)}));
        for (const auto& sent : std::as_const(f->sink.sent))
            QCOMPARE(sent.address, judy);
        QCOMPARE(f->sink.sent.first().value("timeSent").toLongLong(), start); // the time it was written
    }
};

QTEST_GUILESS_MAIN(tst_Chat)
#include "tst_chat.moc"
