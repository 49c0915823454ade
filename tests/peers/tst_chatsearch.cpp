#include "peers/chatsearch.h"
#include "store/storequeries.h"
#include "store/vesksqlquerymodel.h"

#include "subsystemfixture.h"
#include "testsupport.h"

#include <QSignalSpy>

using namespace TestSupport;
using Vesk::ChatSearch;

// The search of a conversation over the program's own chat list, as the conversation view binds it.
class tst_ChatSearch : public QObject
{
    Q_OBJECT
    std::unique_ptr<SubsystemFixture> f;
    Vesk::VeskSqlQueryModel* chats = nullptr;

    // Bob's conversation as these texts, oldest first, shown through the history query the program gives the list.
    void converse(const QStringList& texts)
    {
        QVERIFY(exec("delete from vesk_chats"));
        for (int i = 0; i < texts.size(); ++i)
            QVERIFY(exec("insert into vesk_chats (id, message, peerfrom, peerto, status, timesent) "
                         "values (?, ?, '{bob}', '{host}', 'sent', ?)",
                         {QString::number(i), texts.at(i), QString::number(1000 + i)}));
        chats->setQuery(QString::fromLatin1(Vesk::StoreQueries::kChatHistory), f->store->database(),
                        {"{bob}", "{bob}"});
    }

private slots:
    void init()
    {
        f = std::make_unique<SubsystemFixture>();
        f->addPeer("{bob}");
        chats = f->store->chatsModel;
    }
    void cleanup() { f.reset(); }

    // What counts as holding the text. The view marks occurrences by lower-casing both sides: the search must find
    // exactly what it marks, in the peer's text as typed (never in its HTML).
    void holds_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("holds");
        const auto add = [](const char* tag, const char* message, const char* text, bool holds) {
            QTest::newRow(tag) << QString::fromUtf8(message) << QString::fromUtf8(text) << holds;
        };
        add("letter case beyond ASCII", "été à Paris", "ÉTÉ", true);
        add("accents count", "été", "ete", false);
        add("the long s is no s", "Meſſe", "messe", false);
        add("markup is text", "<b>yes</b>", "<b>y", true);
        add("across a line break", "line 1\nof the talk", "1\nOF", true);
    }
    void holds()
    {
        QFETCH(QString, message);
        QFETCH(QString, text);
        QTEST(ChatSearch::holds(message, text), "holds");
    }

    // A search starts at the newest match and steps round both ways.
    void stepping()
    {
        converse({"apple", "pear", "Apple pie", "more apples?"});
        ChatSearch search;
        search.setModel(chats);
        QCOMPARE(search.currentRow(), -1);
        search.setText("apple");
        QCOMPARE(search.matchRows(), QList<int>({0, 2, 3}));
        QCOMPARE(search.currentRow(), 3);
        QList<int> visited;
        for (int by : {-1, -1, -1, 1, 1}) {
            search.step(by);
            visited << search.currentRow();
        }
        QCOMPARE(visited, QList<int>({2, 0, 3, 0, 2}));
        QCOMPARE(search.current(), 1);
        search.setText("");
        QCOMPARE(search.count(), 0);
        QCOMPARE(search.currentRow(), -1);
    }

    // When the list is read again the reader stays on the row they were on while it matches, else goes to the
    // newest match, and the view is told to show it. A refresh that changes no match leaves the view alone.
    void listReadAgain()
    {
        converse({"apple", "pear", "apple pie"});
        ChatSearch search;
        search.setModel(chats);
        search.setText("apple");
        search.step(-1);
        QSignalSpy told(&search, &ChatSearch::matchesChanged);

        converse({"apple", "pear", "apple pie", "apple tart"});
        QCOMPARE(search.matchRows(), QList<int>({0, 2, 3}));
        QCOMPARE(search.currentRow(), 0);
        QCOMPARE(told.count(), 1);

        QVERIFY(exec("update vesk_chats set status = 'unknown' where id = '1'"));
        chats->refresh();
        QCOMPARE(told.count(), 1);

        QVERIFY(exec("update vesk_chats set message = 'peach' where id = '0'"));
        chats->refresh();
        QCOMPARE(told.count(), 2);
        QCOMPARE(search.matchRows(), QList<int>({2, 3}));
        QCOMPARE(search.currentRow(), 3);

        // Typing on keeps the match the reader is on while it still holds the text.
        search.step(-1);
        search.setText("apple p");
        QCOMPARE(search.currentRow(), 2);
    }

    // A list without a text column (no query yet, another one) and a list that goes away have no matches.
    void noTextColumn()
    {
        ChatSearch search;
        search.setText("apple");
        Vesk::VeskSqlQueryModel none;
        search.setModel(&none);
        QCOMPARE(search.count(), 0);
        {
            Vesk::VeskSqlQueryModel other;
            other.setQuery("select 'apple' as message", f->store->database());
            search.setModel(&other);
            QCOMPARE(search.matchRows(), QList<int>({0}));
            other.setQuery("select 'apple' as alias", f->store->database());
            QCOMPARE(search.count(), 0);
            other.setQuery("select 'apple' as message", f->store->database());
            QCOMPARE(search.count(), 1);
        }
        QVERIFY(!search.model());
        QCOMPARE(search.count(), 0);
    }
};

QTEST_MAIN(tst_ChatSearch)
#include "tst_chatsearch.moc"
