#include "app/notificationdialog.h"

#include "app/globals.h"
#include "transfer/downloadengine.h"
#include "app/veskqmlviewer.h"
#include "common/htmltext.h"
#include "common/random.h"
#include "store/database.h"
#include "store/vesksqlquerymodel.h"
#include "testsupport.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTest>
#include <QTextCursor>
#include <QTextEdit>

using Vesk::Globals;

namespace {
const QString kPeerA = QStringLiteral("{aaaaaaaa-0000-0000-0000-000000000001}");
const QString kPeerB = QStringLiteral("{bbbbbbbb-0000-0000-0000-000000000002}");
const QString kSentFile =
    QStringLiteral("I have sent you a file called : <br> <b>%1</b><br>Please download it using Vesk.");

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}
} // namespace

class TestNotificationDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void threeMessagesOnePopupInOrder();
    void chatAndDownloadAreSeparate();
    void eachPeerHasItsOwnPopup();
    void showsAliasAndPictures();
    void unknownNodeStillWorks();
    void peerTextIsNeverMarkup();
    void systemTemplatesKeepTheirMarkup();
    void fadeClosesOnThe81stTick();
    void newMessageRestartsTheFade();
    void activePopupStaysOpaque();
    void placementInsideTheScreen_data();
    void placementInsideTheScreen();
    void placementSpreadsOverTheScreen();
    void realPopupIsOnScreen();
    void replyOpensTheChat();
    void downloadAllQueuesEverything();

private:
    void insertPeer(const QString& id, const QString& alias, const QString& avatar, int unread);
    void insertDownload(const QString& id, const QString& node, const QString& status, qint64 size);
    QString downloadStatus(const QString& id);
    Globals* g = nullptr;
    VeskQMLViewer* window = nullptr;
};

void TestNotificationDialog::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavimor"));
    QCoreApplication::setApplicationName(QStringLiteral("Vesk"));
    g = Globals::instance();
    window = new VeskQMLViewer();
    g->init();
}

void TestNotificationDialog::init()
{
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, exec(QStringLiteral("delete from vesk_peers where id <> '%1'").arg(g->hostId())));
    QVERIFY_SQL(q, exec(QStringLiteral("delete from vesk_downloads")));
    insertPeer(kPeerA, QStringLiteral("Ann"), QStringLiteral(":/qml/Vesk/pics/ui/bl-avatar-default.png"), 0);
    insertPeer(kPeerB, QStringLiteral("Bob"), QString(), 0);
}

void TestNotificationDialog::cleanup()
{
    const auto popups = g->chatPopups.values() + g->downloadPopups.values();
    for (const auto& popup : popups)
        if (popup)
            popup->close();
    flushDeletes();
    QVERIFY(g->chatPopups.isEmpty());
    QVERIFY(g->downloadPopups.isEmpty());
}

void TestNotificationDialog::insertPeer(const QString& id, const QString& alias, const QString& avatar, int unread)
{
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, prepare(QStringLiteral("insert into vesk_peers (id, alias, avatarPath, ipAddress, status, "
                                          "unreadMessagesCount, sysinfo, timestamp, blocked) "
                                          "values (?, ?, ?, '', 'on', ?, 'Linux', 1, 'no')")));
    q.addBindValue(id);
    q.addBindValue(alias);
    q.addBindValue(avatar);
    q.addBindValue(QString::number(unread));
    QVERIFY_SQL(q, exec());
}

void TestNotificationDialog::insertDownload(const QString& id, const QString& node, const QString& status, qint64 size)
{
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, prepare(QStringLiteral("insert into vesk_downloads (id, status, nodefrom, filename, filesize, "
                                          "downloadsize, timestamp) values (?, ?, ?, ?, ?, 0, 1)")));
    q.addBindValue(id);
    q.addBindValue(status);
    q.addBindValue(node);
    q.addBindValue(QString(id + QStringLiteral(".bin")));
    q.addBindValue(size);
    QVERIFY_SQL(q, exec());
}

QString TestNotificationDialog::downloadStatus(const QString& id)
{
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("select status from vesk_downloads where id = ?"));
    q.addBindValue(id);
    if (!q.exec() || !q.next())
        return QString();
    return q.value(0).toString();
}

void TestNotificationDialog::threeMessagesOnePopupInOrder()
{
    const QStringList messages{QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third")};
    NotificationDialog* popup = nullptr;
    for (const QString& message : messages) {
        if (popup) {
            for (int i = 0; i < 30; ++i)
                popup->decreaseOpacity();
            QVERIFY(popup->opacity() < 0.8f);
            QVERIFY(popup->windowOpacity() < 0.8);
        }
        g->showChatNotification(kPeerA, message);
        if (!popup)
            popup = g->chatPopups.value(kPeerA);
        QVERIFY(popup);
        QCOMPARE(g->chatPopupFor(kPeerA), popup);
        QCOMPARE(popup->opacity(), 1.0f);
        QCOMPARE(popup->windowOpacity(), 1.0);
        QVERIFY(popup->isVisible());
    }
    QCOMPARE(g->chatPopups.size(), 1);
    QCOMPARE(popup->textView()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts), messages);
}

void TestNotificationDialog::chatAndDownloadAreSeparate()
{
    g->showChatNotification(kPeerA, QStringLiteral("hello"));
    g->showDownloadNotification(kPeerA, kSentFile.arg(QStringLiteral("a.txt")));
    NotificationDialog* chat = g->chatPopups.value(kPeerA);
    NotificationDialog* download = g->downloadPopups.value(kPeerA);
    QVERIFY(chat);
    QVERIFY(download);
    QVERIFY(chat != download);
    QCOMPARE(chat->kind(), QStringLiteral("chat"));
    QCOMPARE(download->kind(), QStringLiteral("download"));
    QCOMPARE(chat->actionButton()->text(), QStringLiteral("Reply"));
    QCOMPARE(download->actionButton()->text(), QStringLiteral("Download All"));
    QVERIFY(!chat->textView()->toPlainText().contains(QLatin1String("a.txt")));
    QVERIFY(!download->textView()->toPlainText().contains(QLatin1String("hello")));

    // Fading one leaves the other alone.
    for (int i = 0; i < 81; ++i)
        chat->decreaseOpacity();
    flushDeletes();
    QVERIFY(!g->chatPopups.contains(kPeerA));
    QCOMPARE(g->downloadPopups.value(kPeerA), download);
    QCOMPARE(download->opacity(), 1.0f);
}

void TestNotificationDialog::eachPeerHasItsOwnPopup()
{
    g->showChatNotification(kPeerA, QStringLiteral("from a"));
    g->showChatNotification(kPeerB, QStringLiteral("from b"));
    QCOMPARE(g->chatPopups.size(), 2);
    QVERIFY(g->chatPopups.value(kPeerA) != g->chatPopups.value(kPeerB));
    QCOMPARE(g->chatPopups.value(kPeerB)->nodeId(), kPeerB);
}

void TestNotificationDialog::showsAliasAndPictures()
{
    NotificationDialog* popup = g->chatPopupFor(kPeerA);
    QCOMPARE(popup->aliasLabel()->text(), QStringLiteral("Ann"));
    const QList<QLabel*> labels = popup->findChildren<QLabel*>();
    int pictures = 0;
    for (QLabel* label : labels) {
        if (label->pixmap().isNull())
            continue;
        ++pictures;
        QVERIFY(label->pixmap().width() <= NotificationDialog::kPictureSide);
        QVERIFY(label->pixmap().height() <= NotificationDialog::kPictureSide);
    }
    QCOMPARE(pictures, 2); // the peer's avatar and the logo
}

void TestNotificationDialog::unknownNodeStillWorks()
{
    g->showChatNotification(QStringLiteral("{no-such-node}"), QStringLiteral("who?"));
    NotificationDialog* popup = g->chatPopups.value(QStringLiteral("{no-such-node}"));
    QVERIFY(popup);
    QVERIFY(popup->aliasLabel()->text().isEmpty());
    QVERIFY(popup->textView()->toPlainText().contains(QLatin1String("who?")));
}

void TestNotificationDialog::peerTextIsNeverMarkup()
{
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("update vesk_peers set alias = ? where id = ?"));
    q.addBindValue(QStringLiteral("<b>Mallory</b>"));
    q.addBindValue(kPeerB);
    QVERIFY_SQL(q, exec());

    g->showChatNotification(kPeerB, Vesk::plainTextToHtml(QStringLiteral("<b>x</b>")));
    NotificationDialog* popup = g->chatPopups.value(kPeerB);
    QVERIFY(popup);
    QCOMPARE(popup->textView()->toPlainText().trimmed(), QStringLiteral("<b>x</b>"));
    QTextCursor cursor(popup->textView()->document());
    cursor.movePosition(QTextCursor::End);
    QVERIFY(cursor.charFormat().fontWeight() < QFont::Bold);
    QCOMPARE(popup->aliasLabel()->textFormat(), Qt::PlainText);
    QCOMPARE(popup->aliasLabel()->text(), QStringLiteral("<b>Mallory</b>"));
}

void TestNotificationDialog::systemTemplatesKeepTheirMarkup()
{
    const QString name = QStringLiteral("<i>report</i>.pdf");
    g->showDownloadNotification(kPeerA, kSentFile.arg(Vesk::plainTextToHtml(name)));
    NotificationDialog* popup = g->downloadPopups.value(kPeerA);
    QVERIFY(popup);
    const QString shown = popup->textView()->toPlainText();
    QVERIFY2(shown.contains(name), qPrintable(shown));
    QVERIFY(!shown.contains(QLatin1String("<br>")));
    QVERIFY(!shown.contains(QLatin1String("<b>")));
    const int at = shown.indexOf(name);
    QTextCursor cursor(popup->textView()->document());
    cursor.setPosition(at + 2);
    QCOMPARE(cursor.charFormat().fontWeight(), int(QFont::Bold));
    QVERIFY(!cursor.charFormat().fontItalic());
}

void TestNotificationDialog::fadeClosesOnThe81stTick()
{
    NotificationDialog* popup = g->chatPopupFor(kPeerA);
    popup->appendMessage(QStringLiteral("fading"));
    popup->show();
    // Some platforms activate every window they show; the user is working in the main window.
    window->showNormal();
    window->activateWindow();
    QTRY_VERIFY(!popup->isActiveWindow());
    QPointer<NotificationDialog> watch(popup);
    for (int tick = 1; tick <= 80; ++tick)
        popup->decreaseOpacity();
    flushDeletes();
    QVERIFY(watch);
    QVERIFY(popup->isVisible());
    QVERIFY(popup->isFading());
    QVERIFY(popup->opacity() > NotificationDialog::kCloseOpacity);
    QCOMPARE(g->chatPopups.value(kPeerA), popup);

    popup->decreaseOpacity();
    QVERIFY(!popup->isFading());
    flushDeletes();
    QVERIFY(!watch);
    QVERIFY(!g->chatPopups.contains(kPeerA));

    // The next message gets a new popup.
    g->showChatNotification(kPeerA, QStringLiteral("again"));
    QVERIFY(g->chatPopups.value(kPeerA));
    QCOMPARE(g->chatPopups.value(kPeerA)->textView()->toPlainText().trimmed(), QStringLiteral("again"));
}

void TestNotificationDialog::newMessageRestartsTheFade()
{
    NotificationDialog* popup = g->chatPopupFor(kPeerA);
    QPointer<NotificationDialog> watch(popup);
    for (int tick = 1; tick <= 70; ++tick)
        popup->decreaseOpacity();
    popup->appendMessage(QStringLiteral("still here"));
    for (int tick = 1; tick <= 80; ++tick)
        popup->decreaseOpacity();
    flushDeletes();
    QVERIFY(watch);
    popup->decreaseOpacity();
    flushDeletes();
    QVERIFY(!watch);
}

void TestNotificationDialog::activePopupStaysOpaque()
{
    NotificationDialog* popup = g->chatPopupFor(kPeerA);
    QPointer<NotificationDialog> watch(popup);
    popup->show();
    popup->activateWindow();
    if (!QTest::qWaitForWindowActive(popup))
        QSKIP("this platform does not activate windows");
    for (int tick = 0; tick < 200; ++tick)
        popup->decreaseOpacity();
    flushDeletes();
    QVERIFY(watch);
    QCOMPARE(popup->opacity(), 1.0f);
    QCOMPARE(popup->windowOpacity(), 1.0);
}

void TestNotificationDialog::placementInsideTheScreen_data()
{
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QSize>("size");
    QTest::newRow("full hd") << QRect(0, 0, 1920, 1080) << QSize(330, 290);
    QTest::newRow("exact width") << QRect(0, 0, 1920, 1080) << QSize(1920, 100);
    QTest::newRow("one pixel") << QRect(0, 0, 1920, 1080) << QSize(1, 1);
    QTest::newRow("offset screen") << QRect(1920, 40, 1280, 984) << QSize(330, 290);
}

void TestNotificationDialog::placementInsideTheScreen()
{
    QFETCH(QRect, screen);
    QFETCH(QSize, size);
    for (quint32 seed = 0; seed < 500; ++seed) {
        Vesk::Globals::instance()->random().seed(seed);
        const QRect placed(NotificationDialog::randomPosition(screen, size), size);
        QVERIFY2(screen.contains(placed),
                 qPrintable(QStringLiteral("seed %1 gave %2,%3").arg(seed).arg(placed.x()).arg(placed.y())));
    }
}

void TestNotificationDialog::placementSpreadsOverTheScreen()
{
    const QRect screen(0, 0, 1920, 1080);
    const QSize size(300, 200);
    int minX = screen.width(), maxX = 0, minY = screen.height(), maxY = 0;
    for (quint32 seed = 0; seed < 300; ++seed) {
        Vesk::Globals::instance()->random().seed(seed);
        const QPoint p = NotificationDialog::randomPosition(screen, size);
        minX = qMin(minX, p.x());
        maxX = qMax(maxX, p.x());
        minY = qMin(minY, p.y());
        maxY = qMax(maxY, p.y());
    }
    QVERIFY(minX < 100 && maxX > 1500);
    QVERIFY(minY < 100 && maxY > 750);

    // A window bigger than the screen is pinned to its top-left corner instead of landing off screen.
    QCOMPARE(NotificationDialog::randomPosition(QRect(10, 20, 200, 100), QSize(400, 300)), QPoint(10, 20));
}

void TestNotificationDialog::realPopupIsOnScreen()
{
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    for (int i = 0; i < 20; ++i) {
        NotificationDialog* popup = g->chatPopupFor(QStringLiteral("{node-%1}").arg(i));
        QVERIFY2(available.contains(QRect(popup->pos(), popup->size())), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                                                        .arg(popup->x())
                                                                                        .arg(popup->y())
                                                                                        .arg(popup->width())
                                                                                        .arg(popup->height())));
    }
}

void TestNotificationDialog::replyOpensTheChat()
{
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, exec(QStringLiteral("update vesk_peers set unreadMessagesCount = '4' where id = '%1'").arg(kPeerA)));
    g->setCurrentSelectedTabIndex(1);
    window->showMinimized();
    QSignalSpy unread(g, &Globals::totalNumberOfUnReadMessagesChanged);

    g->showChatNotification(kPeerA, QStringLiteral("ping"));
    QPointer<NotificationDialog> popup = g->chatPopups.value(kPeerA);
    QVERIFY(popup);
    popup->actionButton()->click();
    flushDeletes();

    QVERIFY(!popup);
    QVERIFY(!g->chatPopups.contains(kPeerA));
    QCOMPARE(g->currentSelectedChatPeer(), kPeerA);
    QCOMPARE(g->currentSelectedTabIndex(), 0);
    QCOMPARE(g->nodeData->getField(QStringLiteral("vesk_peers"), kPeerA, QStringLiteral("unreadMessagesCount")),
             QStringLiteral("0"));
    QVERIFY(unread.count() >= 1);
    QVERIFY(window->isVisible());
    QVERIFY(!window->isMinimized());

    g->showChatNotification(kPeerA, QStringLiteral("pong"));
    QVERIFY(g->chatPopups.value(kPeerA));
    QCOMPARE(g->chatPopups.value(kPeerA)->textView()->toPlainText().trimmed(), QStringLiteral("pong"));
}

void TestNotificationDialog::downloadAllQueuesEverything()
{
    insertDownload(QStringLiteral("d1"), kPeerA, QStringLiteral("unknown"), 100);
    insertDownload(QStringLiteral("d2"), kPeerB, QStringLiteral("unknown"), 200);
    insertDownload(QStringLiteral("d3"), kPeerB, QStringLiteral("queued"), 300);
    insertDownload(QStringLiteral("d4"), kPeerA, QStringLiteral("downloaded"), 400);
    insertDownload(QStringLiteral("d5"), kPeerA, QStringLiteral("tobedeleted"), 500);
    g->pausedDownloads->refresh();
    g->queuedDownloads->refresh();
    QCOMPARE(g->pausedDownloads->rowCount(), 2);
    g->setCurrentSelectedTabIndex(0);
    window->showMinimized();
    QSignalSpy pending(g, &Globals::pendingValidationsCountChanged);
    QSignalSpy next(&g->downloadEngine(), &Vesk::DownloadEngine::readyToDownloadNextFile);

    g->showDownloadNotification(kPeerA, kSentFile.arg(QStringLiteral("d1.bin")));
    QPointer<NotificationDialog> popup = g->downloadPopups.value(kPeerA);
    QVERIFY(popup);
    popup->actionButton()->click();
    flushDeletes();

    QVERIFY(!popup);
    QVERIFY(!g->downloadPopups.contains(kPeerA));
    QCOMPARE(g->currentSelectedTabIndex(), 2);
    QVERIFY(window->isVisible());
    QVERIFY(!window->isMinimized());
    QCOMPARE(downloadStatus(QStringLiteral("d1")), QStringLiteral("queued"));
    QCOMPARE(downloadStatus(QStringLiteral("d2")), QStringLiteral("queued")); // another peer's too
    QCOMPARE(downloadStatus(QStringLiteral("d3")), QStringLiteral("queued"));
    QCOMPARE(downloadStatus(QStringLiteral("d4")), QStringLiteral("downloaded"));
    QCOMPARE(downloadStatus(QStringLiteral("d5")), QStringLiteral("tobedeleted"));
    QCOMPARE(g->pausedDownloads->rowCount(), 0);
    QCOMPARE(g->queuedDownloads->rowCount(), 3);
    QCOMPARE(g->numberOfPendingValidations(), 0);
    QCOMPARE(pending.count(), 1);
    QCOMPARE(next.count(), 1);
}

QTEST_MAIN(TestNotificationDialog)
#include "tst_notificationdialog.moc"
