#include "app/veskqmlviewer.h"

#include "app/globals.h"
#include "app/notificationdialog.h"

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

using Vesk::Globals;

namespace {

// Waits for the close confirmation to appear, records what it shows and answers it.
class BoxAnswerer : public QObject
{
public:
    enum Answer { Quit, Minimize, Escape, CloseButton };

    explicit BoxAnswerer(Answer answer) : m_answer(answer)
    {
        connect(&m_poll, &QTimer::timeout, this, &BoxAnswerer::poll);
        m_poll.start(10);
    }

    bool seen = false;
    QString title, text, details, defaultButton;
    QStringList buttons;
    QMessageBox::Icon icon = QMessageBox::NoIcon;

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        m_poll.stop();
        seen = true;
        title = box->windowTitle();
        text = box->text();
        details = box->detailedText();
        icon = box->icon();
        for (QAbstractButton* button : box->buttons())
            if (box->buttonRole(button) != QMessageBox::ActionRole) // the details toggle
                buttons << button->text();
        if (box->defaultButton())
            defaultButton = box->defaultButton()->text();
        switch (m_answer) {
        case Quit:
        case Minimize:
            for (QAbstractButton* button : box->buttons())
                if (button->text() ==
                    (m_answer == Quit ? VeskQMLViewer::quitButtonText() : VeskQMLViewer::minimizeButtonText()))
                    button->click();
            break;
        case Escape:
            QTest::keyClick(box, Qt::Key_Escape);
            break;
        case CloseButton:
            box->close();
            break;
        }
    }

    Answer m_answer;
    QTimer m_poll;
};

// Runs the event loop until something quits it or the time runs out; tells which.
int runLoop(int timeoutMs)
{
    QTimer::singleShot(timeoutMs, qApp, [] { QCoreApplication::exit(99); });
    return QCoreApplication::exec();
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void drops_data();
    void drops();
    void dragsAreAccepted();
    void closeBox_data();
    void closeBox();
    void quitEndsTheEventLoop();
    void minimizeKeepsRunning();
    void openPopupsDoNotKeepTheProgramRunning();
    void quitFromTheInterfaceAsksToo();
    void wakeMeUpBringsTheWindowBack_data();
    void wakeMeUpBringsTheWindowBack();
    void registersWithTheController();
    void carriesTheProgramsIcon();
};

void TestMainWindow::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavimor"));
    QCoreApplication::setApplicationName(QStringLiteral("Vesk"));
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    Globals::instance();
}

void TestMainWindow::drops_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<QString>("text");
    QTest::newRow("three files") << QList<QUrl>{QUrl::fromLocalFile(QStringLiteral("/tmp/a.txt")),
                                                QUrl::fromLocalFile(QStringLiteral("/tmp/b c.pdf")),
                                                QUrl::fromLocalFile(QStringLiteral("/tmp/folder"))}
                                 << QString();
    QTest::newRow("web link passed on") << QList<QUrl>{QUrl(QStringLiteral("https://example.org/x"))} << QString();
    QTest::newRow("text only") << QList<QUrl>{} << QStringLiteral("just some words, no urls");
    QTest::newRow("nothing") << QList<QUrl>{} << QString();
}

void TestMainWindow::drops()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(QString, text);
    VeskQMLViewer window;
    QSignalSpy spy(&window, &VeskQMLViewer::newFileToSend);
    QMimeData data;
    if (!urls.isEmpty())
        data.setUrls(urls);
    if (!text.isEmpty())
        data.setText(text);
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    event.setAccepted(false);
    window.dropEvent(&event);
    QVERIFY(event.isAccepted());
    QCOMPARE(event.dropAction(), Qt::CopyAction);
    QCOMPARE(spy.count(), urls.size());
    for (int i = 0; i < urls.size(); ++i)
        QCOMPARE(spy.at(i).at(0).toUrl(), urls.at(i));
}

void TestMainWindow::dragsAreAccepted()
{
    VeskQMLViewer window;
    QVERIFY(window.acceptDrops());
    QMimeData data;
    data.setData(QStringLiteral("application/x-anything"), QByteArray("x"));
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    enter.setAccepted(false);
    window.dragEnterEvent(&enter);
    QVERIFY(enter.isAccepted());
    QDragMoveEvent move(QPoint(6, 6), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    move.setAccepted(false);
    window.dragMoveEvent(&move);
    QVERIFY(move.isAccepted());
}

void TestMainWindow::closeBox_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("closes");
    QTest::newRow("Quit Vesk") << int(BoxAnswerer::Quit) << true;
    QTest::newRow("Minimize Vesk") << int(BoxAnswerer::Minimize) << false;
    QTest::newRow("Escape") << int(BoxAnswerer::Escape) << false;
    QTest::newRow("close button") << int(BoxAnswerer::CloseButton) << false;
}

void TestMainWindow::closeBox()
{
    QFETCH(int, answer);
    QFETCH(bool, closes);
    VeskQMLViewer window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    BoxAnswerer answerer{BoxAnswerer::Answer(answer)};
    const bool closed = window.close();

    QVERIFY(answerer.seen);
    QCOMPARE(answerer.title, QStringLiteral("Do you really want to close Vesk?"));
    QCOMPARE(
        answerer.text,
        QStringLiteral("If you close Vesk, your peers WILL NOT be able to chat with you or transfer files with you."));
    QVERIFY(answerer.details.startsWith(QLatin1String("Vesk is meant to be run as an always-on service.")));
    QCOMPARE(answerer.icon, QMessageBox::Critical);
    QCOMPARE(answerer.buttons, (QStringList{QStringLiteral("Quit Vesk"), QStringLiteral("Minimize Vesk")}));
    QCOMPARE(answerer.defaultButton, QStringLiteral("Minimize Vesk"));

    QCOMPARE(closed, closes);
    QCOMPARE(window.isVisible(), !closes);
    if (!closes)
        QTRY_VERIFY(window.isMinimized());
}

void TestMainWindow::quitEndsTheEventLoop()
{
    auto* window = new VeskQMLViewer();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    BoxAnswerer answerer{BoxAnswerer::Quit};
    QTimer::singleShot(0, window, &QWidget::close);
    QCOMPARE(runLoop(5000), 0);
    QVERIFY(answerer.seen);
    delete window;
}

void TestMainWindow::minimizeKeepsRunning()
{
    VeskQMLViewer window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    BoxAnswerer answerer{BoxAnswerer::Escape};
    QTimer::singleShot(0, &window, &QWidget::close);
    QCOMPARE(runLoop(500), 99); // only the test's own timer ends the loop
    QVERIFY(answerer.seen);
    QVERIFY(window.isMinimized());
}

void TestMainWindow::openPopupsDoNotKeepTheProgramRunning()
{
    auto* window = new VeskQMLViewer();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    Globals::instance()->showChatNotification(QStringLiteral("{some-peer}"), QStringLiteral("hi"));
    Globals::instance()->showDownloadNotification(QStringLiteral("{some-peer}"), QStringLiteral("a file"));
    QPointer<NotificationDialog> popup = Globals::instance()->chatPopups.value(QStringLiteral("{some-peer}"));
    QVERIFY(popup && popup->isVisible());
    BoxAnswerer answerer{BoxAnswerer::Quit};
    QTimer::singleShot(0, window, &QWidget::close);
    QCOMPARE(runLoop(3000), 0);
    QVERIFY(answerer.seen);
    delete window;
}

void TestMainWindow::quitFromTheInterfaceAsksToo()
{
    QTemporaryDir dir;
    const QString qml = dir.filePath(QStringLiteral("main.qml"));
    QFile file(qml);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("import QtQuick\nItem { width: 100; height: 100\n"
               "  Timer { interval: 50; running: true; onTriggered: Qt.quit() } }\n");
    file.close();

    VeskQMLViewer window;
    window.setMainQmlFile(qml);
    QCOMPARE(window.mainQmlFile(), qml);
    QCOMPARE(window.status(), QQuickWidget::Ready);
    window.show();
    BoxAnswerer answerer{BoxAnswerer::Minimize};
    QTRY_VERIFY(answerer.seen);
    QCOMPARE(answerer.title, QStringLiteral("Do you really want to close Vesk?"));
    QTRY_VERIFY(window.isMinimized());
    QVERIFY(window.isVisible());
}

void TestMainWindow::wakeMeUpBringsTheWindowBack_data()
{
    // How the window was left before the second start; no state means it was never shown.
    QTest::addColumn<Qt::WindowStates>("before");
    QTest::newRow("never shown") << Qt::WindowStates(Qt::WindowNoState);
    QTest::newRow("minimised") << Qt::WindowStates(Qt::WindowMinimized);
    QTest::newRow("maximised, then minimised") << (Qt::WindowMaximized | Qt::WindowMinimized);
}

void TestMainWindow::wakeMeUpBringsTheWindowBack()
{
    QFETCH(Qt::WindowStates, before);
    VeskQMLViewer window;
    if (before != Qt::WindowNoState) {
        window.setWindowState(before);
        window.show();
        QTRY_VERIFY(window.isMinimized());
    }
    window.wakeMeUp();
    QVERIFY(window.isVisible());
    QVERIFY(!window.isMinimized());
    QCOMPARE(window.isMaximized(), before.testFlag(Qt::WindowMaximized));
    QVERIFY(QTest::qWaitForWindowActive(&window));
}

void TestMainWindow::registersWithTheController()
{
    auto* window = new VeskQMLViewer();
    Globals* g = Globals::instance();
    QCOMPARE(g->mainWindow, window);
    QCOMPARE(g->taskbar, window->taskbar());
    delete window;
    QVERIFY(!g->mainWindow);
    QVERIFY(!g->taskbar);
}

void TestMainWindow::carriesTheProgramsIcon()
{
    VeskQMLViewer window;
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(window.windowIcon().pixmap(64).toImage(),
             QIcon(QStringLiteral(":/qml/Vesk/pics/Vesk.png")).pixmap(64).toImage());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
