#include "app/globals.h"
#include "app/notificationdialog.h"
#include "app/veskqmlviewer.h"
#include "appsupport.h"
#include "common/htmltext.h"
#include "core/core.h"
#include "peers/peerrecords.h"
#include "testsupport.h"
#include "transfer/downloadengine.h"
#include "transfer/downloadsfolder.h"

#include <QQuickWindow>
#include <QtWidgets>

using namespace TestSupport;
using namespace Vesk;

namespace {
const QString kPeer = QStringLiteral("{peer-a}");
}

// The controller's own rules as the interface sees them, and the desktop shell beside it: the main window and its
// title, the popups of peers. Its forwarding to the subsystems is exercised end to end. The tray, closing and the
// wizards: tst_windows.
class TestController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // A node id stored by an earlier run is used as it is.
        QSettings(QStringLiteral("Tavimor"), QStringLiteral("Vesk")).setValue("machineId", "{stored-node-id}");
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        // The shipped English, as start-up installs it: readable wording behind a few source texts.
        QVERIFY(m_english.load(QStringLiteral(VESK_TRANSLATIONS_DIR "/Vesk_en")));
        QCoreApplication::installTranslator(&m_english);
        g = controller(true);
        g->core().setClock(m_clock);
        QCOMPARE(g->hostId(), QStringLiteral("{stored-node-id}"));
        window = new VeskQMLViewer();
        g->shell().setMainWindow(window);
        window->show();
    }
    void init()
    {
        QVERIFY(exec("delete from vesk_peers where id <> ?", {g->hostId()}) && exec("delete from vesk_downloads") &&
                exec("delete from vesk_uploads"));
        QVERIFY(exec("insert into vesk_peers (id, alias, ipAddress, status, unreadMessagesCount, blocked) values "
                     "(?, '<b>Mallory</b>', '10.9.0.1', 'on', '4', 'no')",
                     {kPeer}));
        QVERIFY(exec("insert into vesk_uploads (id, filename, status) values ('u', 'a', 'sent')"));
        QVERIFY(exec("insert into vesk_downloads (id, nodefrom, filename, filesize, status) values ('d1', ?, 'a', 1, "
                     "'unknown'), ('d2', '{other}', 'b', 1, 'unknown'), ('d3', ?, 'c', 1, 'downloaded')",
                     {kPeer, kPeer}));
        window->showMinimized();
        g->setCurrentSelectedTabIndex(1); // no conversation on screen
    }
    // A message is read as it arrives only where its conversation is on screen in the window the user works in;
    // anywhere else it counts as unread.
    void unreadUnlessOnScreen_data()
    {
        using View = DesktopShell::WindowView;
        QTest::addColumn<int>("view");
        QTest::addColumn<int>("tab");
        QTest::addColumn<QString>("from");
        QTest::addColumn<bool>("onScreen");
        QTest::newRow("active, conversation tab, that peer") << int(View::Active) << 0 << kPeer << true;
        QTest::newRow("active, the id in other case") << int(View::Active) << 0 << kPeer.toUpper() << true;
        QTest::newRow("active, another peer") << int(View::Active) << 0 << "{peer-b}" << false;
        QTest::newRow("active, send tab") << int(View::Active) << 1 << kPeer << false;
        QTest::newRow("behind another program") << int(View::Inactive) << 0 << kPeer << false;
    }
    void unreadUnlessOnScreen()
    {
        QFETCH(int, view);
        QFETCH(int, tab);
        QFETCH(QString, from);
        QTEST(DesktopShell::conversationOnScreen(DesktopShell::WindowView(view), tab, kPeer, from), "onScreen");
        QVERIFY(!DesktopShell::conversationOnScreen(DesktopShell::WindowView(view), tab, QString(), QString()));
    }
    // With the conversation selected and the window put away, a message counts: in the peer's count and the
    // window's title. The window back in front shows it, and it is read.
    void messageToPutAwayWindowCounts_data()
    {
        QTest::addColumn<bool>("minimise");
        QTest::newRow("hidden in the tray") << false;
        QTest::newRow("minimised") << true;
    }
    void messageToPutAwayWindowCounts()
    {
        QFETCH(bool, minimise);
        window->showNormal();
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        g->setCurrentSelectedChatPeer(kPeer);
        QCOMPARE(g->totalNumberOfUnReadMessages(), 0);
        QVERIFY(g->shell().isConversationOpen(kPeer));
        minimise ? window->showMinimized() : window->hide();
        g->core().processMessage({{"action", "newChatMessage"},
                                  {"nodeFrom", kPeer},
                                  {"senderIPAddress", "10.9.0.1"},
                                  {"chatId", QUuid::createUuid().toString()},
                                  {"message", "are you there?"},
                                  {"timeSent", m_clock.nowMs()}});
        QTRY_COMPARE(peerField(kPeer, "unreadMessagesCount"), QStringLiteral("1"));
        QTRY_COMPARE(window->windowTitle(), QStringLiteral("3: Vesk")); // and the two offers waiting
        window->showNormal();
        window->activateWindow();
        QTRY_COMPARE(peerField(kPeer, "unreadMessagesCount"), QStringLiteral("0"));
        QTRY_COMPARE(window->windowTitle(), QStringLiteral("2: Vesk"));
        if (QPointer<NotificationDialog> popup = g->shell().chatPopups().value(kPeer)) {
            popup->close();
            QTRY_VERIFY(!popup);
        }
    }
    // After a sleep, and when the user asks, the peers shown online are asked whether they are still there, and
    // stay shown online meanwhile.
    void wakeFromSleepRefreshesPeers_data()
    {
        QTest::addColumn<qint64>("gap");
        QTest::addColumn<bool>("asked");
        QTest::newRow("exactly thirty minutes") << qint64(1800000) << false;
        QTest::newRow("thirty minutes and a millisecond") << qint64(1800001) << true;
        QTest::newRow("clock set back") << qint64(-5 * 3600000) << false;
    }
    void wakeFromSleepRefreshesPeers()
    {
        QFETCH(qint64, gap);
        QVERIFY(exec("update vesk_peers set ipAddress = '127.0.0.1' where id = ?", {kPeer})); // asked on loopback
        PeerSearch& search = g->core().peerRecords().search();
        g->detectWakeUpFromSleepTimeout(); // takes the reference time
        m_clock.advance(gap);
        g->detectWakeUpFromSleepTimeout();
        QTEST(search.isAwaitingConfirmation(kPeer), "asked");
        g->refreshPeers(); // the refresh button
        QVERIFY(search.isAwaitingConfirmation(kPeer));
        QCOMPARE(peerField(kPeer, "status"), QStringLiteral("on"));
        search.confirmed(kPeer);
    }
    // A computer already online at the address typed is found at once, by the name it goes by.
    void addedComputerIsFoundOnline()
    {
        QSignalSpy answered(g, &Vesk::Globals::addComputerAnswered);
        g->addComputerByAddress("10.9.0.1");
        QCOMPARE(QList<QVariantList>(answered), (QList<QVariantList>{{"10.9.0.1", true, "Found <b>Mallory</b>"}}));
    }
    // The list-wide operations ask first, in words that say what goes (and whom a block is for), and do nothing
    // unless the user says OK.
    void confirmations_data()
    {
        QTest::addColumn<QByteArray>("call");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("results"); // after Cancel, then after OK
        QTest::newRow("clear uploads") << QByteArray("clearAllPendingUploads") << "Stop offering every file"
                                       << "select status from vesk_uploads" << QStringList{"sent", "tobedeleted"};
        QTest::newRow("clear downloads") << QByteArray("clearAllPendingDownloads") << "Files already saved stay"
                                         << "select status from vesk_downloads where id = 'd1'"
                                         << QStringList{"unknown", "tobedeleted"};
        QTest::newRow("block") << QByteArray("blockUser") << "block <b>Mallory</b>?"
                               << "select blocked from vesk_peers where id = '" + kPeer + "'"
                               << QStringList{"no", "yes"};
    }
    void confirmations()
    {
        QFETCH(QByteArray, call);
        QFETCH(QString, says);
        QFETCH(QString, query);
        QFETCH(QStringList, results);
        for (const auto answer : {QMessageBox::Cancel, QMessageBox::Ok}) {
            BoxAnswerer box(answer);
            QVERIFY(call == "blockUser" ? QMetaObject::invokeMethod(g, call, Q_ARG(QString, kPeer))
                                        : QMetaObject::invokeMethod(g, call));
            QVERIFY2(box.seen && box.text.contains(says), qPrintable(box.text));
            QCOMPARE(column(query), QStringList{results.value(answer == QMessageBox::Ok)});
        }
    }
    // One popup per peer and kind gathers its messages. Whatever a peer typed, once escaped, and its name read
    // exactly as typed, never as markup.
    void chatPopupShowsTextAndReplyOpensTheChat_data()
    {
        QTest::addColumn<QString>("text");
        for (const char* text : {"<b>x</b>", "<script>alert(1)</script>", "<img src=\"file:///etc/passwd\">",
                                 "&amp; &lt; &#65;", "one\ntwo\r\nthree\rfour", " a  b   c", "Grüße — 你好 🙂"})
            QTest::newRow(text) << QString::fromUtf8(text);
    }
    void chatPopupShowsTextAndReplyOpensTheChat()
    {
        QFETCH(QString, text);
        g->shell().showChatNotification(kPeer, Vesk::plainTextToHtml(text));
        g->shell().showChatNotification(kPeer, QStringLiteral("second"));
        QPointer<NotificationDialog> popup = g->shell().chatPopups().value(kPeer);
        QVERIFY(popup && popup->isVisible());
        QCOMPARE(g->shell().chatPopups().size(), 1);
        QCOMPARE(popup->textView()->toPlainText().replace(QChar::LineSeparator, '\n').replace(QChar::Nbsp, ' '),
                 text.replace("\r\n", "\n").replace('\r', '\n') + "\nsecond");
        QCOMPARE(QStringList({popup->aliasLabel()->text(), popup->actionButton()->text()}),
                 (QStringList{"<b>Mallory</b>", "Reply"}));
        QCOMPARE(popup->aliasLabel()->textFormat(), Qt::PlainText);
        popup->actionButton()->click();
        QTRY_VERIFY(!popup);
        QVERIFY(g->shell().isConversationOpen(kPeer));
        QCOMPARE(peerField(kPeer, "unreadMessagesCount"), QStringLiteral("0"));
        QVERIFY(!window->isMinimized());
    }
    // A notice names what a peer chose (a file's name, its own name) as written: markup in it is not rendered.
    void noticeShowsNamesAsWritten()
    {
        takeTransferNotices();
        const QString text = "<img src=\"file:///etc/passwd\"><b>Ann</b>.pdf is paused.\nNot enough space";
        g->shell().showNotice("Download paused", text);
        QMessageBox* box = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<QMessageBox*>(widget); found && found->isVisible())
                box = found;
        QVERIFY(box);
        const auto* label = box->findChild<QLabel*>("qt_msgbox_label");
        QVERIFY(label && label->text() == text);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(takeTransferNotices(), QStringList{text});
    }
    // A peer writing without pause keeps its popup open: it shows the newest messages, not every one since it
    // opened (each new one laid all of them out again, so a flood of them slowed the program to a crawl).
    void chatPopupKeepsTheNewestMessages()
    {
        QStringList newest;
        for (int i = 0; i < NotificationDialog::kMaxMessages + 5; ++i) {
            newest.append(QStringLiteral("m%1").arg(i));
            g->shell().showChatNotification(kPeer, newest.last());
        }
        QPointer<NotificationDialog> popup = g->shell().chatPopups().value(kPeer);
        QVERIFY(popup);
        QCOMPARE(popup->textView()->toPlainText().split('\n'), newest.mid(5));
        popup->close();
        QTRY_VERIFY(!popup);
    }
    // A burst of offers from one peer is one popup that sums it up; its button queues every waiting download. It
    // has no taskbar button of its own.
    void offerBurstIsOnePopup_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<QString>("text");
        QTest::newRow("one file") << 1 << "<b>Mallory</b> offers f0.pdf\n125.0 kB";
        QTest::newRow("fifty files") << 50 << "<b>Mallory</b> offers f0.pdf and 49 more\n50 files, 6.3 MB";
    }
    void offerBurstIsOnePopup()
    {
        QFETCH(int, files);
        QLocale::setDefault(QLocale::c());
        for (int i = 0; i < files; ++i) {
            Vesk::Parameters offer{
                {"action", "newFileToDownload"}, {"nodeFrom", kPeer}, {"senderIPAddress", "10.9.0.1"}};
            offer.insert({{"fileId", QStringLiteral("%1").arg(i, 32, 16, QLatin1Char('0'))},
                          {"fileName", QStringLiteral("f%1.pdf").arg(i)},
                          {"fileSize", 125000}});
            g->core().processMessage(offer);
        }
        QCOMPARE(g->shell().downloadPopups().size(), 1);
        QPointer<NotificationDialog> popup = g->shell().downloadPopups().value(kPeer);
        QVERIFY(popup && popup->isVisible() && !g->shell().chatPopups().contains(kPeer));
        QVERIFY(popup->windowFlags() & Qt::Tool);
        QTEST(popup->textView()->toPlainText().replace(QChar::LineSeparator, '\n'), "text");
        // The window fits its text: no scrolling, no empty box below it.
        QCOMPARE(popup->textView()->verticalScrollBar()->maximum(), 0);
        QVERIFY(popup->textView()->height() < 2 * popup->textView()->document()->size().height());
        QCOMPARE(popup->actionButton()->text(), QStringLiteral("Download all"));
        popup->actionButton()->click();
        QTRY_VERIFY(!popup);
        QCOMPARE(column("select count(*) from vesk_downloads where status = 'queued'"),
                 QStringList{QString::number(files + 2)});
        QCOMPARE(g->currentSelectedTabIndex(), 2);
        QVERIFY(!window->isMinimized());
    }
    // A downloads folder chosen is where the engine writes from then on, and the interface is told.
    void downloadsFolderChoiceReachesTheEngine()
    {
        QTemporaryDir dir;
        QSignalSpy changed(g, &Globals::downloadsFolderChanged);
        DownloadsFolder& downloads = g->core().downloadsFolder();
        const QString old = downloads.path();
        QVERIFY(downloads.change(dir.path()).isEmpty());
        QCOMPARE(g->core().downloadEngine().downloadsFolder(), dir.path() + "/");
        QCOMPARE(changed.count(), 1);
        QVERIFY(downloads.change(old).isEmpty());
    }
    // No popup for the conversation the user is reading, none at all once notices are off, and none above a question
    // the user has to answer: it waits until the question is gone.
    void chatPopupOnlyWhereItHelps()
    {
        window->showNormal();
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        g->setCurrentSelectedChatPeer(kPeer);
        g->shell().showChatNotification(kPeer, QStringLiteral("on screen"));
        QVERIFY(!g->shell().chatPopups().contains(kPeer));
        g->setCurrentSelectedTabIndex(1);

        g->preferences()->toggleShowNotices();
        QVERIFY(!g->preferences()->showNotices());
        g->shell().showChatNotification(kPeer, QStringLiteral("notices off"));
        QVERIFY(!g->shell().chatPopups().contains(kPeer));
        g->preferences()->toggleShowNotices();

        QMessageBox question(QMessageBox::Question, "Vesk", "Block?", QMessageBox::Ok | QMessageBox::Cancel);
        question.open();
        QTRY_COMPARE(QApplication::activeModalWidget(), &question);
        g->shell().showChatNotification(kPeer, QStringLiteral("later"));
        QPointer<NotificationDialog> popup = g->shell().chatPopups().value(kPeer);
        QVERIFY(popup);
        QTest::qWait(3 * NotificationDialog::kFadeIntervalMs);
        QVERIFY(!popup->isVisible());
        question.reject();
        QTRY_VERIFY(popup && popup->isVisible());
        popup->close();
    }
    // Files dropped on the open conversation are offered to its peer at once; anywhere else they join the files
    // picked on the send tab. A folder or a missing file dropped on a conversation is refused, not offered.
    void droppedFilesAreOffered_data()
    {
        QTest::addColumn<int>("tab");
        QTest::addColumn<QString>("chat");
        QTest::addColumn<bool>("offered"); // else every dropped file joins the picked ones
        QTest::newRow("no conversation") << 0 << QString() << false;
        QTest::newRow("conversation open") << 0 << kPeer << true;
        QTest::newRow("conversation behind the files tab") << 1 << kPeer << false;
    }
    void droppedFilesAreOffered()
    {
        QFETCH(int, tab);
        QFETCH(QString, chat);
        QFETCH(bool, offered);
        const QDir dir(m_files.path());
        QVERIFY(writeFile(dir.filePath("a.txt"), "abc") && writeFile(dir.filePath("b c.pdf"), "abc"));
        QVERIFY(dir.mkpath("folder"));
        g->setCurrentSelectedChatPeer(chat);
        g->setCurrentSelectedTabIndex(tab);
        QSignalSpy picked(window, &VeskQMLViewer::newFileToSend);
        QSignalSpy told(g, &Globals::filesOfferedToPeer);
        const QStringList dropped{"a.txt", "b c.pdf", "folder", "gone"};
        QMimeData data;
        QList<QUrl> urls;
        for (const QString& name : dropped)
            urls.append(QUrl::fromLocalFile(dir.filePath(name)));
        data.setUrls(urls);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        takeTransferNotices();
        window->dropEvent(&drop);
        QVERIFY(drop.isAccepted());
        // What a conversation could not offer is named to the user.
        const QString notices = takeTransferNotices().join('\n');
        QVERIFY2(!offered || (notices.contains("folder: it is a folder") && notices.contains("gone:")),
                 qPrintable(notices));
        QStringList pickedNames;
        for (const QList<QVariant>& signal : std::as_const(picked))
            pickedNames.append(QFileInfo(signal.at(0).toUrl().toLocalFile()).fileName());
        QCOMPARE(pickedNames, offered ? QStringList() : dropped);
        QCOMPARE(column("select filename from vesk_uploads where nodeTo = '" + kPeer + "' order by filename"),
                 offered ? dropped.mid(0, 2) : QStringList());
        QCOMPARE(told.size(), offered ? 1 : 0);
        g->setCurrentSelectedChatPeer(QString());
    }
    // A new installation shows notices and resumes what the user queued but does not open received files by itself;
    // a choice the user stored is kept. The settings menu reads and flips each through its property (named as its
    // key) and toggle, and the flip is stored at once.
    void preferences_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QVariant>("stored"); // invalid: never stored
        QTest::addColumn<bool>("on");
        QTest::newRow("open automatically, new") << QByteArray(Preferences::kAutoOpenKey) << QVariant() << false;
        QTest::newRow("open automatically, chosen") << QByteArray(Preferences::kAutoOpenKey) << QVariant(true) << true;
        QTest::newRow("resume, new") << QByteArray(Preferences::kResumeKey) << QVariant() << true;
        QTest::newRow("notices, new") << QByteArray(Preferences::kShowNoticesKey) << QVariant() << true;
    }
    void preferences()
    {
        QFETCH(QByteArray, key);
        QFETCH(QVariant, stored);
        QFETCH(bool, on);
        QTemporaryDir dir;
        QSettings settings(dir.filePath("vesk.conf"), QSettings::IniFormat);
        if (stored.isValid())
            settings.setValue(key, stored);
        Preferences preferences(settings);
        QCOMPARE(preferences.property(key).toBool(), on);
        const QMetaObject* meta = preferences.metaObject();
        QSignalSpy changed(&preferences, meta->property(meta->indexOfProperty(key)).notifySignal());
        const QByteArray toggle = "toggle" + key.left(1).toUpper() + key.mid(1);
        QVERIFY(QMetaObject::invokeMethod(&preferences, toggle.constData()));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(preferences.property(key).toBool(), !on);
        QCOMPARE(QSettings(dir.filePath("vesk.conf"), QSettings::IniFormat).value(key).toBool(), !on);
    }
    void secondStartBringsTheWindowBack()
    {
        window->setWindowState(Qt::WindowMaximized | Qt::WindowMinimized);
        window->wakeMeUp();
        QVERIFY(window->isVisible() && !window->isMinimized() && window->isMaximized());
    }

private:
    Vesk::Globals* g = nullptr;
    Vesk::ManualClock m_clock;
    VeskQMLViewer* window = nullptr;
    QTranslator m_english;
    QTemporaryDir m_files;
};

QTEST_MAIN(TestController)
#include "tst_controller.moc"
