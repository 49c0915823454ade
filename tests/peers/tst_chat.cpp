#include "peers/chat.h"

#include "subsystemfixture.h"
#include "testsupport.h"

using namespace TestSupport;
using Vesk::Chat;
using Parameters = Vesk::Parameters;

class tst_Chat : public QObject
{
    Q_OBJECT
    std::unique_ptr<SubsystemFixture> f;
    std::unique_ptr<Chat> chat;

    static Parameters incoming(const QString& from, const QString& id, const QString& text, qint64 time)
    {
        Parameters message{{"action", "newChatMessage"}, {"nodeFrom", from}, {"message", text}, {"timeSent", time}};
        if (!id.isNull())
            message.insert("chatId", id);
        return message;
    }
    // The ids of the chat messages sent since the last call, in order.
    QStringList sentIds()
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

    // A message written is stored, then sent as typed, and the conversation counts as read; a blank one is not
    // sent. Only its own confirmation marks it sent, and a late copy of it does not undo that.
    void sendChat()
    {
        const QHostAddress bob = f->addPeer("bob");
        QVERIFY(exec("update vesk_peers set unreadMessagesCount = '7'"));
        QSignalSpy unreadSpy(chat.get(), &Chat::unreadCountChanged);
        chat->sendChat("bob", "\t\n \r\n");
        QVERIFY(f->sink.sent.isEmpty() && count("vesk_chats") == 0 && unreadSpy.isEmpty());
        QCOMPARE(peerField("bob", "unreadMessagesCount"), QStringLiteral("7"));

        f->clock.advance(1234);
        const qint64 now = f->clock.nowMs();
        const QString text = QStringLiteral("  hello, Bob  \n");
        chat->sendChat("bob", text);
        QCOMPARE(unreadSpy.size(), 1);
        QCOMPARE(peerField("bob", "unreadMessagesCount"), QStringLiteral("0"));
        QCOMPARE(peerField("bob", "timestamp"), QString::number(now)); // the conversation moves up the list
        QCOMPARE(f->sink.sent.size(), 1);
        const QString id = f->sink.sent.first().value("chatId").toString();
        QCOMPARE(f->sink.sent.first().address, bob);
        QCOMPARE(f->sink.sent.first().parameters, (Parameters{{"action", "newChatMessage"},
                                                              {"message", text},
                                                              {"chatId", id},
                                                              {"timeSent", now},
                                                              {"nodeFrom", f->profile.id}}));
        QCOMPARE(row("vesk_chats", id), (QHash<QString, QString>{{"id", id},
                                                                 {"message", text},
                                                                 {"peerfrom", f->profile.id},
                                                                 {"peerto", "bob"},
                                                                 {"status", "unknown"},
                                                                 {"timesent", QString::number(now)}}));
        chat->handleConfirmChat({{"action", "confirmChat"}, {"chatId", "{no-such-id}"}});
        QCOMPARE(row("vesk_chats", id).value("status"), QStringLiteral("unknown"));
        chat->handleConfirmChat({{"action", "confirmChat"}, {"chatId", id}});
        chat->processNewChatMessage(text, f->profile.id, {"bob"}, id, now);
        QCOMPARE(row("vesk_chats", id).value("status"), QStringLiteral("sent"));
        QCOMPARE(count("vesk_chats"), 1);
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
        QTest::newRow("new message") << "carol" << QString("no") << "{c-1}" << QString() << 1 << 1;
        QTest::newRow("conversation open") << "carol" << QString("no") << "{c-1}" << QString("carol") << 1 << 0;
        QTest::newRow("blocked author") << "carol" << QString("yes") << "{c-1}" << QString() << 0 << 0;
        QTest::newRow("no chat id") << "carol" << QString("no") << QString() << QString() << 0 << 0;
        QTest::newRow("author without a row") << "ghost" << QString("no") << "{g-1}" << QString() << 1 << 0;
    }
    void incomingIsStoredOnceAndEveryCopyConfirmed()
    {
        QFETCH(QString, from);
        QFETCH(QString, blocked);
        QFETCH(QString, chatId);
        QFETCH(QString, openConversation);
        const QHostAddress carol = f->addPeer("carol", "on", QString(), blocked);
        f->shell.openConversation = openConversation;
        QSignalSpy unreadSpy(chat.get(), &Chat::unreadCountChanged);
        const Parameters message = incoming(from, chatId, "once upon a time", f->clock.nowMs() - 10);
        chat->handleNewChatMessage(message);
        chat->handleNewChatMessage(message);

        QTEST(count("vesk_chats"), "stored");
        QCOMPARE(int(f->shell.chatPopups.size()), count("vesk_chats"));
        QTEST(peerField("carol", "unreadMessagesCount").toInt(), "unread");
        if (from == "carol")
            QCOMPARE(int(unreadSpy.size()), peerField("carol", "unreadMessagesCount").toInt());
        const int confirmations = blocked == "yes" ? 0 : 2;
        QCOMPARE(f->sink.values("confirmChat", "chatId"), QStringList(confirmations, chatId));
        QCOMPARE(f->sink.sent.size(), confirmations);
        for (const auto& sent : std::as_const(f->sink.sent))
            QCOMPARE(sent.address, from == "carol" ? carol : QHostAddress());
    }

    // The popup shows markup as text, and a long message cut (it is stored whole). The author's clock is kept,
    // unless it lies in the future.
    void incomingAsShownAndStored()
    {
        f->addPeer("heidi");
        const qint64 past = 1600000000000;
        chat->handleNewChatMessage(incoming("heidi", "m-1", "<b>bold?</b> & <img src=x> a<br>b", past));
        QVERIFY2(f->shell.chatPopups.value(0).html.contains("&lt;b&gt;bold?&lt;/b&gt; &amp; &lt;img src=x&gt;"),
                 qPrintable(f->shell.chatPopups.value(0).html));
        QCOMPARE(row("vesk_chats", "m-1").value("timesent"), QString::number(past));
        const QString text(Chat::kMaxChatCharacters, 'w');
        chat->handleNewChatMessage(incoming("heidi", "long-1", text, f->clock.nowMs() + 1));
        QCOMPARE(row("vesk_chats", "long-1").value("message"), text);
        QCOMPARE(row("vesk_chats", "long-1").value("timesent"), QString::number(f->clock.nowMs()));
        const QString shown = f->shell.chatPopups.last().html;
        QVERIFY(shown.contains(QString(Chat::kMaxPopupCharacters, 'w') + QChar(0x2026)));
        QVERIFY(!shown.contains(QString(Chat::kMaxPopupCharacters + 1, 'w')));
    }

    // A message longer than any conversation should have to lay out is refused either way. One received is neither
    // stored nor confirmed, so its author learns it was not delivered, and the user hears from whom (once in a
    // while: it comes again every few seconds); one written is not sent, and the composer keeps it.
    void tooLongIsRefusedBothWays()
    {
        f->addPeer("carol");
        QVERIFY(exec("update vesk_peers set alias = 'Carol %2' where id = 'carol'")); // shown as chosen
        const QString longest(Chat::kMaxChatCharacters, 'x');
        const qint64 now = f->clock.nowMs();
        MessageCatcher catcher;
        chat->handleNewChatMessage(incoming("carol", "{c-1}", longest + 'x', now));
        chat->handleNewChatMessage(incoming("carol", "{c-1}", longest + 'x', now));
        chat->handleNewChatMessage(incoming("carol", QString(Chat::kMaxChatIdLength + 1, 'i'), "hi", now));
        QCOMPARE(count("vesk_chats"), 0);
        QCOMPARE(f->sink.sent.size(), 0);
        QCOMPARE(f->shell.chatPopups.size(), 0);
        QCOMPARE(f->shell.notices, QStringList{"Message too long: Carol %2 sent a message of 50,001 characters; "
                                               "Vesk takes at most 50,000. Ask them to send the text as a file."});
        QCOMPARE(catcher.all().filter("refused a message").size(), 1);
        f->clock.advance(Chat::kRefusalTellMs);
        chat->handleNewChatMessage(incoming("carol", "{c-1}", longest + 'x', now));
        QCOMPARE(f->shell.notices.size(), 2);
        QCOMPARE(f->shell.openNotices.size(), 1); // the same notice, told again

        chat->handleNewChatMessage(incoming("carol", "{c-2}", longest, now));
        QCOMPARE(f->sink.values("confirmChat", "chatId"), QStringList{"{c-2}"});

        QVERIFY(!chat->sendChat("carol", longest + 'y'));
        QCOMPARE(count("vesk_chats"), 1);
        QCOMPARE(f->sink.values("newChatMessage", "chatId").size(), 0);
        QVERIFY2(f->shell.notices.last().startsWith("Message too long: Your message has 50,001 characters"),
                 qPrintable(f->shell.notices.last()));
        QVERIFY(chat->sendChat("carol", longest));
        QCOMPARE(f->sink.values("newChatMessage", "message"), QStringList{longest});
    }

    // A message that cannot be stored is not lost: the disk is full, or so nearly full that what any computer may
    // send is not taken. One received is left unconfirmed, unshown and uncounted, so its author sends it again, and
    // is taken once there is room; one written on a full disk is not sent (it would be in nobody's history, never
    // resent), and the composer keeps it. The user hears why, once, until a message is stored again.
    void messageNotStoredIsNotLost_data()
    {
        QTest::addColumn<bool>("diskFull");
        QTest::addColumn<QString>("reason");
        QTest::newRow("disk full") << true << "is full";
        QTest::newRow("little room left") << false << "has less than 100 MB free";
    }
    void messageNotStoredIsNotLost()
    {
        QFETCH(bool, diskFull);
        QFETCH(QString, reason);
        f->addPeer("carol");
        qint64 free = Vesk::DiskRoom::kMinFreeBytes - 1;
        if (!diskFull)
            chat->setFreeSpaceProbe([&free] { return free; });
        const Parameters message = incoming("carol", "{c-1}", QString(20000, 'x'), f->clock.nowMs());
        // The database may not grow: what a full disk does to it. A long message needs new pages.
        if (diskFull)
            QVERIFY(exec("pragma max_page_count = 1"));
        MessageCatcher catcher;
        chat->handleNewChatMessage(message);
        chat->handleNewChatMessage(message); // sent again by its author
        QCOMPARE(count("vesk_chats"), 0);
        QCOMPARE(f->sink.sent.size(), 0);
        QCOMPARE(f->shell.chatPopups.size(), 0);
        QCOMPARE(f->shell.notices.size(), 1);
        const QString notice = f->shell.openNotices.values().value(0);
        QVERIFY2(notice.startsWith(
                     "Messages not saved: A message from alias of carol could not be saved: the disk holding ") &&
                     notice.contains(reason),
                 qPrintable(notice));
        QCOMPARE(catcher.all().filter("could not be stored").size(), 1);

        // Our own words are few: only a full disk keeps them.
        QCOMPARE(chat->sendChat("carol", QString(20000, 'y')), !diskFull);
        QCOMPARE(f->sink.values("newChatMessage", "chatId").size(), diskFull ? 0 : 1);
        QCOMPARE(count("vesk_chats"), diskFull ? 0 : 1);
        if (diskFull) {
            QVERIFY2(f->shell.notices.value(1).startsWith(
                         "Message not sent: Your message to alias of carol could not be saved"),
                     qPrintable(f->shell.notices.value(1)));
        }
        f->sink.clear();

        if (diskFull)
            QVERIFY(exec("pragma max_page_count = 1073741823"));
        // Room for two and a half of this one; what is stored before the disk is looked at again counts.
        free = Vesk::DiskRoom::kMinFreeBytes + 100000;
        f->clock.advance(Vesk::DiskRoom::kLookMs);
        chat->handleNewChatMessage(message);
        QCOMPARE(column("select message from vesk_chats where peerfrom = 'carol'"), QStringList{QString(20000, 'x')});
        QCOMPARE(f->sink.values("confirmChat", "chatId"), QStringList{"{c-1}"});
        QCOMPARE(f->shell.chatPopups.size(), 1);
        QVERIFY(f->shell.openNotices.isEmpty());
        QVERIFY(chat->sendChat("carol", "there is room again"));
        QCOMPARE(f->sink.values("newChatMessage", "message"), QStringList{"there is room again"});
        if (!diskFull) {
            chat->handleNewChatMessage(incoming("carol", "{c-2}", QString(20000, 'x'), f->clock.nowMs()));
            chat->handleNewChatMessage(incoming("carol", "{c-3}", QString(20000, 'x'), f->clock.nowMs()));
            QCOMPARE(f->sink.values("confirmChat", "chatId"), (QStringList{"{c-1}", "{c-2}"}));
        }
    }

    // Each round resends the five oldest unconfirmed messages of the last hour, as first sent; received ones never.
    // A peer coming back gets everything unconfirmed written to it, however old.
    void resendOldestFirst()
    {
        const QHostAddress judy = f->addPeer("judy");
        f->addPeer("other");
        chat->handleNewChatMessage(incoming("judy", "in-1", "hello", f->clock.nowMs()));
        const qint64 start = f->clock.nowMs();
        for (int i = 0; i < 7; ++i) {
            f->clock.setNowMs(start + i * 60000); // one a minute
            chat->sendChat(i == 5 ? "other" : "judy", QStringLiteral("message %1").arg(i));
        }
        const RecordingSink::Sent first = f->sink.withAction("newChatMessage").first();
        const QStringList ids = sentIds();
        chat->resendUnconfirmed();
        QVERIFY(f->sink.sent.first().address == judy && f->sink.sent.first().parameters == first.parameters);
        QCOMPARE(sentIds(), ids.mid(0, 5));
        chat->resendUnconfirmed(); // resending changes nothing
        QCOMPARE(sentIds(), ids.mid(0, 5));
        chat->handleConfirmChat({{"chatId", ids.at(2)}}); // a confirmation makes room for the sixth
        chat->resendUnconfirmed();
        QCOMPARE(sentIds(), (QStringList{ids.at(0), ids.at(1), ids.at(3), ids.at(4), ids.at(5)}));
        // Exactly one hour old is out; one millisecond younger is still in.
        f->clock.setNowMs(start + Chat::kResendWindowMs - 1);
        chat->resendUnconfirmed();
        QCOMPARE(sentIds().first(), ids.at(0));
        f->clock.setNowMs(start + Chat::kResendWindowMs);
        chat->resendUnconfirmed();
        QCOMPARE(sentIds(), (QStringList{ids.at(1), ids.at(3), ids.at(4), ids.at(5), ids.at(6)}));
        f->clock.advance(Chat::kResendWindowMs);
        chat->resendAllTo("judy");
        QCOMPARE(f->sink.sent.first().value("timeSent").toLongLong(), start); // the time it was written
        for (const auto& sent : std::as_const(f->sink.sent))
            QCOMPARE(sent.address, judy);
        QCOMPARE(sentIds(), (QStringList{ids.at(0), ids.at(1), ids.at(3), ids.at(4), ids.at(6)}));
    }
};

QTEST_GUILESS_MAIN(tst_Chat)
#include "tst_chat.moc"
