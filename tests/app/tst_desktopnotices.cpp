#include "app/desktopnotices.h"
#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QScopeGuard>
#include <QTranslator>
#include <QVariantMap>

using namespace TestSupport;
using Vesk::DesktopNotices;

namespace {
const QString kPeer = QStringLiteral("{Peer-A}");

// The desktop's notification service as the program meets it on the bus: it records each notice and gives it an id.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call
    {
        QString app, icon, summary, body;
        uint replaces = 0, id = 0;
        QStringList actions;
    };
    QList<Call> calls;
    uint lastId = 0;

public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap&, int)
    {
        const uint id = replaces ? replaces : ++lastId;
        calls.append({app, icon, summary, body, replaces, id, actions});
        return id;
    }
};
} // namespace

// Notices through the desktop's notification service: what a notice says and offers, one notice per peer and burst,
// the user's answer on it, and the popups where no service runs.
class tst_DesktopNotices : public QObject
{
    Q_OBJECT

    std::unique_ptr<PrivateBus> bus;
    QTranslator m_english;

private Q_SLOTS:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QVERIFY(m_english.load(QStringLiteral(VESK_TRANSLATIONS_DIR "/Vesk_en")));
        QCoreApplication::installTranslator(&m_english);
        bus = std::make_unique<PrivateBus>();
        if (bus->address().isEmpty())
            QSKIP("dbus-daemon could not be started (package dbus)");
    }
    // A burst of offers told in the program's words, files and folders alike: who offers what, then how much. The
    // names stay as typed; each view escapes them.
    void offerWords_data()
    {
        QTest::addColumn<QString>("alias");
        QTest::addColumn<QStringList>("offers"); // name|bytes for a file, name|bytes|files for a folder
        QTest::addColumn<QString>("headline");
        QTest::addColumn<QString>("details");
        const auto add = [](const char* tag, const char* alias, const QStringList& offers, const char* headline,
                            const char* details) {
            QTest::newRow(tag) << QString(alias) << offers << QString(headline) << QString(details);
        };
        add("one file", "Ann", {"report.pdf|1200000"}, "Ann offers report.pdf", "1.2 MB");
        add("a folder", "Ann", {"Photos|30000000|12"}, "Ann offers the folder Photos", "12 files, 30.0 MB");
        add("a folder of one file", "Ann", {"One|5|1"}, "Ann offers the folder One", "1 file, 5 bytes");
        add("a folder, then a file", "Ann", {"Photos|30000000|12", "a.txt|1000000"},
            "Ann offers the folder Photos and 1 more", "13 files, 31.0 MB");
        add("a file, then an empty folder", "Ann", {"a.txt|10", "Empty|0|0"}, "Ann offers a.txt and 1 more",
            "1 file, 10 bytes");
        add("no name, markup", " ", {"<b>x</b>.txt|2000"}, "Someone offers <b>x</b>.txt", "2.0 kB");
    }
    void offerWords()
    {
        QFETCH(QString, alias);
        QFETCH(QStringList, offers);
        Vesk::OfferBurst burst;
        for (const QString& offer : offers) {
            const QStringList f = offer.split('|');
            burst.add({f[0], f[1].toLongLong(), f.size() > 2 ? f[2].toInt() : -1});
        }
        QCOMPARE(burst.count(), offers.size());
        QTEST(burst.headline(alias), "headline");
        QTEST(burst.details(), "details");
    }
    void notices_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<int>("notices");   // distinct notices the service was asked to show
        QTest::addColumn<QString>("shown"); // the last notice: summary|body|first action
        QTest::addColumn<QString>("requested");
        const auto add = [](const char* tag, const QStringList& steps, int notices, const char* shown,
                            const char* requested = "") {
            QTest::newRow(tag) << steps << notices << QString(shown) << QString(requested);
        };
        add("chat message", {"chat"}, 1, "Ann|hello there|reply");
        add("second message replaces the first", {"chat", "wait", "chat2"}, 1, "Ann|hello there\nsecond|reply");
        add("quick burst is one notice", {"chat", "chat2"}, 1, "Ann|hello there\nsecond|reply");
        add("burst of offers is summed up", {"offer", "offer", "wait", "offer"}, 1,
            "Ann offers a.txt and 2 more|3 files, 3.0 kB|download");
        add("a folder joins the files' notice", {"offer", "wait", "folder"}, 1,
            "Ann offers a.txt and 1 more|13 files, 46.0 kB|download");
        add("closed: the next message is a new notice", {"chat", "wait", "closed", "wait", "chat2"}, 2,
            "Ann|second|reply");
        add("Reply opens the conversation", {"chat", "wait", "reply"}, 1, "Ann|hello there|reply", "conversation");
        add("a click on the notice opens it too", {"offer", "wait", "default"}, 1, "Ann offers a.txt|1.0 kB|download",
            "conversation");
        add("Download fetches the peer's offers", {"offer", "wait", "download"}, 1, "Ann offers a.txt|1.0 kB|download",
            "download");
        add("no service: the popups are used", {"gone", "chat"}, 0, "");
    }
    void notices()
    {
        QFETCH(QStringList, steps);
        QFETCH(int, notices);
        QFETCH(QString, shown);
        QFETCH(QString, requested);
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        const auto disconnect = qScopeGuard([&] {
            QDBusConnection::disconnectFromBus("program " + tag);
            QDBusConnection::disconnectFromBus("service " + tag);
        });
        QDBusConnection service = QDBusConnection::connectToBus(bus->address(), "service " + tag);
        FakeNotifications fake;
        QVERIFY(service.registerObject(DesktopNotices::kPath, &fake, QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(DesktopNotices::kService));
        DesktopNotices desktop(QDBusConnection::connectToBus(bus->address(), "program " + tag));
        desktop.setAppIcon("/icons/vesk.png");
        QVERIFY(desktop.available());
        QSignalSpy conversation(&desktop, &DesktopNotices::conversationRequested);
        QSignalSpy download(&desktop, &DesktopNotices::downloadRequested);
        const auto signal = [&](const char* name, const QVariantList& args) {
            QDBusMessage m = QDBusMessage::createSignal(DesktopNotices::kPath, DesktopNotices::kInterface, name);
            m.setArguments(args);
            QVERIFY(service.send(m));
        };

        bool popup = false;
        for (const QString& step : steps) {
            if (step == "chat")
                popup = !desktop.addMessage(kPeer, "Ann", {}, "hello <b>there</b>");
            else if (step == "chat2")
                popup = !desktop.addMessage(kPeer, "Ann", {}, "second");
            else if (step == "offer")
                popup = !desktop.addOffer(kPeer, "Ann", {}, {"a.txt", 1000});
            else if (step == "folder")
                popup = !desktop.addOffer(kPeer, "Ann", {}, {"Photos", 45000, 12});
            else if (step == "wait") // until the service answered and the answer came back
                QTRY_VERIFY(!fake.calls.isEmpty() && (QTest::qWait(50), true));
            else if (step == "closed")
                signal("NotificationClosed", {fake.lastId, 2u});
            else if (step == "gone") {
                QVERIFY(service.unregisterService(DesktopNotices::kService));
                QTRY_VERIFY(!desktop.available());
            } else
                signal("ActionInvoked", {fake.lastId, step});
        }
        QCOMPARE(popup, notices == 0);
        const auto last = [&] {
            return fake.calls.value(fake.calls.size() - 1);
        };
        if (notices) {
            QTRY_COMPARE(last().summary + "|" + last().body + "|" + last().actions.value(0), shown);
            QCOMPARE(fake.lastId, uint(notices));
            QCOMPARE(last().app, "Vesk");
            QCOMPARE(last().icon, "/icons/vesk.png");
            const QString button = last().actions.value(0) == "reply" ? "Reply" : "Download";
            QCOMPARE(last().actions.mid(1), QStringList({button, "default", "Show"}));
        }
        QTRY_COMPARE(conversation.count() + download.count(), requested.isEmpty() ? 0 : 1);
        QCOMPARE(requested == "download" ? download.value(0).value(0) : conversation.value(0).value(0),
                 requested.isEmpty() ? QVariant() : QVariant(kPeer));
    }
};

QTEST_MAIN(tst_DesktopNotices)
#include "tst_desktopnotices.moc"
