#include "app/globals.h"
#include "app/notificationdialog.h"
#include "app/veskqmlviewer.h"
#include "appsupport.h"
#include "common/htmltext.h"
#include "testsupport.h"
#include "transfer/downloadengine.h"

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
        g->setClock(m_clock);
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
        QTest::newRow("active, transfers tab") << int(View::Active) << 2 << kPeer << false;
        QTest::newRow("behind another program") << int(View::Inactive) << 0 << kPeer << false;
        QTest::newRow("minimised") << int(View::Minimized) << 0 << kPeer << false;
        QTest::newRow("hidden in the tray") << int(View::Hidden) << 0 << kPeer << false;
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
        g->processMessage({{"action", "newChatMessage"},
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
    void wakeFromSleepRefreshesPeers_data()
    {
        QTest::addColumn<qint64>("gap");
        QTest::addColumn<QString>("status");
        QTest::newRow("exactly thirty minutes") << qint64(1800000) << "on";
        QTest::newRow("thirty minutes and a millisecond") << qint64(1800001) << "off";
        QTest::newRow("clock set back") << qint64(-5 * 3600000) << "on";
    }
    void wakeFromSleepRefreshesPeers()
    {
        QFETCH(qint64, gap);
        g->detectWakeUpFromSleepTimeout(); // takes the reference time
        m_clock.advance(gap);
        g->detectWakeUpFromSleepTimeout();
        QTEST(peerField(kPeer, "status"), "status");
        g->refreshPeers(); // the refresh button
        QCOMPARE(peerField(kPeer, "status"), QStringLiteral("off"));
    }
    // The other networks are stored only when every row can be used; otherwise the rows are named and the stored
    // list stays. A computer already online at an address is found at once.
    void otherNetworks_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("stored");
        QTest::newRow("address, range and name")
            << " 10.9.0.7,10.9.1.0/24 , pc-anna.lan" << true << "10.9.0.7, 10.9.1.0/24, pc-anna.lan";
        QTest::newRow("a range too large") << "10.9.0.7, 10.0.0.0/16" << false << "10.9.0.5";
        QTest::newRow("emptied") << " " << true << "";
    }
    void otherNetworks()
    {
        QFETCH(QString, typed);
        QFETCH(bool, accepted);
        QVERIFY(g->setOtherNetworks("10.9.0.5"));
        QSignalSpy problems(g, &Vesk::Globals::otherNetworksProblemsChanged);
        QCOMPARE(g->setOtherNetworks(typed), accepted);
        QTEST(g->settings->value(Vesk::Globals::kOtherNetworksKey).toString(), "stored");
        QCOMPARE(g->otherNetworks(), g->settings->value(Vesk::Globals::kOtherNetworksKey).toString());
        QVERIFY(!problems.isEmpty());
        QCOMPARE(g->otherNetworksProblems().size(), accepted ? 0 : 1);

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
    void ownIdFromAnotherComputerGivesAFreshId()
    {
        const QString before = g->hostId();
        const auto announce = [&](const char* from) {
            g->addNodeFromUDP(before, from, "os", "twin");
        };
        MessageCatcher catcher;
        announce("127.0.0.1"); // from this computer itself: our own announcement
        QCOMPARE(g->hostId(), before);
        // From anywhere else it is a second computer with our id: this one takes a fresh id and keeps it.
        announce("10.99.0.2");
        const QString fresh = g->hostId();
        QVERIFY(fresh != before && !fresh.isEmpty());
        QCOMPARE(g->settings->value("machineId").toString(), fresh);
        QCOMPARE(catcher.criticals().filter("uses this computer's node id").size(), 1);
        announce("10.99.0.2"); // now an ordinary peer
        QCOMPARE(g->hostId(), fresh);
        QCOMPARE(peerField(before, "ipAddress"), QStringLiteral("10.99.0.2"));
    }

    void titleShowsUnreadAndPendingCount()
    {
        g->shell().updateAppIcons();
        QCOMPARE(window->windowTitle(), QStringLiteral("6: Vesk")); // 4 unread messages, 2 offers to answer
        QVERIFY(exec("delete from vesk_peers") && exec("delete from vesk_downloads"));
        g->shell().updateAppIcons();
        QCOMPARE(window->windowTitle(), QStringLiteral("Vesk"));
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
    // A burst of offers from one peer is one popup that sums it up; its button queues every waiting download. It
    // has no taskbar button of its own.
    void offerBurstIsOnePopup_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<QString>("text");
        QTest::newRow("one file") << 1 << "<b>Mallory</b> offers f0.pdf\n125.0 kB";
        QTest::newRow("two files") << 2 << "<b>Mallory</b> offers f0.pdf and 1 more\n2 files, 250.0 kB";
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
            g->processMessage(offer);
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
    // A downloads folder that can be made and written to is used from then on, and a file received in the earlier
    // one is still found; one that cannot is refused with the reason, and the old folder stays.
    void downloadsFolderChoice_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("a new folder") << "new/inner" << true;
        QTest::newRow("a folder inside a file") << "file/inner" << false;
        QTest::newRow("a relative path") << "relative/inner" << false;
    }
    void downloadsFolderChoice()
    {
        QFETCH(QString, chosen);
        QFETCH(bool, accepted);
        const QString old = g->downloadsFolder();
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.path() + "/file", "x") && writeFile(old + "c", "received before"));
        const QString path = chosen.startsWith("relative") ? chosen : dir.path() + "/" + chosen;
        QSignalSpy changed(g, &Globals::downloadsFolderChanged);
        const QString problem = g->setDownloadsFolder(path);
        QCOMPARE(problem.isEmpty(), accepted);
        QVERIFY(accepted || problem.contains(path));
        QCOMPARE(g->downloadsFolder(), accepted ? path + "/" : old);
        QCOMPARE(g->downloadEngine().downloadsFolder(), g->downloadsFolder());
        QCOMPARE(changed.count(), accepted ? 1 : 0);
        QCOMPARE(g->getFilePathForDownloadedFile("d3"), old + "c");
        QVERIFY(g->setDownloadsFolder(old).isEmpty());
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

        g->toggleShowNotices();
        QVERIFY(!g->showNotices());
        g->shell().showChatNotification(kPeer, QStringLiteral("notices off"));
        QVERIFY(!g->shell().chatPopups().contains(kPeer));
        g->toggleShowNotices();

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
    // A new installation does not open received files by itself but resumes what the user queued; a choice the user
    // stored is kept either way.
    void preferenceDefaults_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored"); // invalid: never stored
        QTest::addColumn<bool>("on");
        QTest::newRow("open automatically, new") << DesktopShell::kAutoOpenKey << QVariant() << false;
        QTest::newRow("open automatically, chosen") << DesktopShell::kAutoOpenKey << QVariant(true) << true;
        QTest::newRow("resume, new") << Globals::kResumeKey << QVariant() << true;
        QTest::newRow("resume, turned off") << Globals::kResumeKey << QVariant(false) << false;
    }
    void preferenceDefaults()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QSettings settings(QStringLiteral("Tavimor"), QStringLiteral("Vesk"));
        stored.isValid() ? settings.setValue(key, stored) : settings.remove(key);
        settings.sync();
        g->settings->sync();
        const bool on =
            key == DesktopShell::kAutoOpenKey ? g->automaticallyOpenDownloadedFiles() : g->resumeInterruptedDownloads();
        g->settings->remove(key);
        QTEST(on, "on");
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
