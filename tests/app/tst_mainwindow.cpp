#include "app/veskqmlviewer.h"

#include "app/globals.h"
#include "app/notificationdialog.h"
#include "appsupport.h"
#include "common/htmltext.h"
#include "testsupport.h"

#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

using namespace TestSupport;

namespace {
const QString kPeer = QStringLiteral("{peer-a}");
}

// The main window, its title and the popups of peers, as the user sees them.
class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        g = controller(true);
        window = new VeskQMLViewer();
        window->show();
    }
    void init()
    {
        QVERIFY(exec("delete from vesk_peers") && exec("delete from vesk_downloads"));
        QVERIFY(exec("insert into vesk_peers (id, alias, status, unreadMessagesCount, blocked) values "
                     "(?, '<b>Mallory</b>', 'on', '4', 'no')",
                     {kPeer}));
        QVERIFY(
            exec("insert into vesk_downloads (id, nodefrom, filename, filesize, status) values "
                 "('d1', ?, 'a', 1, 'unknown'), ('d2', '{other}', 'b', 1, 'unknown'), ('d3', ?, 'c', 1, 'downloaded')",
                 {kPeer, kPeer}));
        window->showMinimized();
    }
    void titleShowsUnreadAndPendingCount()
    {
        g->updateAppIcons();
        QCOMPARE(window->windowTitle(), QStringLiteral("6: Vesk")); // 4 unread messages, 2 offers to answer
        QVERIFY(exec("delete from vesk_peers") && exec("delete from vesk_downloads"));
        g->updateAppIcons();
        QCOMPARE(window->windowTitle(), QStringLiteral("Vesk"));
    }
    // One popup per peer and kind gathers its messages; what a peer wrote is shown as text, never as markup.
    void chatPopupShowsTextAndReplyOpensTheChat()
    {
        g->showChatNotification(kPeer, Vesk::plainTextToHtml(QStringLiteral("<i>first</i>")));
        g->showChatNotification(kPeer, QStringLiteral("second"));
        QPointer<NotificationDialog> popup = g->chatPopups.value(kPeer);
        QVERIFY(popup && popup->isVisible());
        QCOMPARE(g->chatPopups.size(), 1);
        QCOMPARE(popup->textView()->toPlainText().split('\n', Qt::SkipEmptyParts),
                 (QStringList{"<i>first</i>", "second"}));
        QCOMPARE(popup->aliasLabel()->text(), QStringLiteral("<b>Mallory</b>"));
        QCOMPARE(popup->aliasLabel()->textFormat(), Qt::PlainText);
        QCOMPARE(popup->actionButton()->text(), QStringLiteral("Reply"));
        popup->actionButton()->click();
        QTRY_VERIFY(!popup);
        QCOMPARE(g->currentSelectedChatPeer(), kPeer);
        QCOMPARE(g->currentSelectedTabIndex(), 0);
        QCOMPARE(peerField(kPeer, "unreadMessagesCount"), QStringLiteral("0"));
        QVERIFY(!window->isMinimized());
    }
    void downloadAllQueuesEveryPendingOffer()
    {
        g->showDownloadNotification(kPeer, QStringLiteral("I have sent you a file called : <br> <b>a</b>"));
        QPointer<NotificationDialog> popup = g->downloadPopups.value(kPeer);
        QVERIFY(popup && !g->chatPopups.contains(kPeer));
        QCOMPARE(popup->actionButton()->text(), QStringLiteral("Download All"));
        popup->actionButton()->click();
        QTRY_VERIFY(!popup);
        QCOMPARE(column("select status from vesk_downloads order by id"),
                 (QStringList{"queued", "queued", "downloaded"}));
        QCOMPARE(g->currentSelectedTabIndex(), 2);
        QVERIFY(!window->isMinimized());
    }
    void droppedFilesAreOffered()
    {
        const QList<QUrl> urls{QUrl::fromLocalFile("/tmp/a.txt"), QUrl::fromLocalFile("/tmp/b c.pdf")};
        QSignalSpy offered(window, &VeskQMLViewer::newFileToSend);
        QMimeData data;
        data.setUrls(urls);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        window->dropEvent(&drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(offered.size(), 2);
        QCOMPARE(offered.at(1).at(0).toUrl(), urls.at(1));
    }
    // Closing asks first; only "Quit Vesk" closes, anything else keeps the program running in the taskbar.
    void closeAsks_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("quit") << VeskQMLViewer::quitButtonText();
        QTest::newRow("minimize") << VeskQMLViewer::minimizeButtonText();
        QTest::newRow("escape") << QString();
    }
    void closeAsks()
    {
        QFETCH(QString, answer);
        VeskQMLViewer other;
        other.show();
        BoxAnswerer box(answer);
        const bool closed = other.close();
        QCOMPARE(box.title, QStringLiteral("Do you really want to close Vesk?"));
        QCOMPARE(box.buttons, (QStringList{VeskQMLViewer::quitButtonText(), VeskQMLViewer::minimizeButtonText()}));
        QCOMPARE(closed, answer == VeskQMLViewer::quitButtonText());
        QTRY_COMPARE(other.isMinimized(), !closed);
    }
    void secondStartBringsTheWindowBack()
    {
        window->setWindowState(Qt::WindowMaximized | Qt::WindowMinimized);
        window->wakeMeUp();
        QVERIFY(window->isVisible() && !window->isMinimized() && window->isMaximized());
    }

private:
    Vesk::Globals* g = nullptr;
    VeskQMLViewer* window = nullptr;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
