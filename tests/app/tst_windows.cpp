#include "app/appicons.h"
#include "app/firstrunwizard.h"
#include "app/globals.h"
#include "app/platform.h"
#include "app/profileform.h"
#include "app/traymenu.h"
#include "app/veskprofilewizard.h"
#include "app/veskqmlviewer.h"
#include "app/widgetstyle.h"
#include "appsupport.h"
#include "testsupport.h"

#include <QQuickWindow>
#include <QtWidgets>

using namespace TestSupport;
using namespace Vesk;

// The windows around the main one: closing it, the tray and its icon, the widgets' style, and the wizards that ask
// for the user's name and picture.
class tst_Windows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        // The shipped English, as start-up installs it: readable wording behind a few source texts.
        QVERIFY(m_english.load(QStringLiteral(VESK_TRANSLATIONS_DIR "/Vesk_en")));
        QCoreApplication::installTranslator(&m_english);
        g = controller();
    }
    // Closing asks a question with verbs; only "Quit" closes, anything else keeps the program running (in the tray
    // when there is one). "Don't ask again" keeps the answer, and the next close acts on it without asking.
    void closeAsks_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("tray");
        QTest::addColumn<bool>("dontAsk");
        QTest::newRow("quit") << VeskQMLViewer::quitButtonText() << false << false;
        QTest::newRow("keep, no tray") << VeskQMLViewer::keepRunningButtonText(false) << false << false;
        QTest::newRow("keep in tray") << VeskQMLViewer::keepRunningButtonText(true) << true << false;
        QTest::newRow("escape") << QString() << true << false;
        QTest::newRow("quit, don't ask") << VeskQMLViewer::quitButtonText() << false << true;
        QTest::newRow("keep in tray, don't ask") << VeskQMLViewer::keepRunningButtonText(true) << true << true;
    }
    void closeAsks()
    {
        QFETCH(QString, answer);
        QFETCH(bool, tray);
        QFETCH(bool, dontAsk);
        g->settings->remove(VeskQMLViewer::kCloseAnswerKey);
        g->settings->sync();
        const bool quits = answer == VeskQMLViewer::quitButtonText();
        for (int round = 0; round < 2; ++round) {
            VeskQMLViewer other;
            other.setTrayShown(tray);
            other.show();
            BoxAnswerer box(answer);
            box.tickCheckBox = dontAsk;
            QCOMPARE(other.close(), quits);
            QCOMPARE(box.seen, round == 0 || !dontAsk);
            if (box.seen) {
                QVERIFY2(box.icon == QMessageBox::Question && box.detailedText.isEmpty() &&
                             !box.text.contains("WILL NOT"),
                         qPrintable(box.text));
                QCOMPARE(QStringList({box.title, box.checkBoxText}) + box.buttons,
                         (QStringList{"Do you really want to close Vesk?", "Don't ask again",
                                      VeskQMLViewer::quitButtonText(), VeskQMLViewer::keepRunningButtonText(tray)}));
            }
            if (!quits) {
                QTRY_VERIFY(tray ? !other.isVisible() : other.isMinimized());
                other.toggleShown(); // the tray's click brings it back
                QTRY_VERIFY(other.isVisible() && !other.isMinimized());
            }
        }
        g->settings->remove(VeskQMLViewer::kCloseAnswerKey);
    }
    // Quitting by name (the tray's or the menu's quit) always quits; closing the window asks unless an answer is
    // remembered, and only the two answers the question gives count as one.
    void closeOrQuit_data()
    {
        QTest::addColumn<bool>("quitAsked");
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<int>("outcome");
        using Outcome = VeskQMLViewer::CloseOutcome;
        QTest::newRow("quit, keep remembered") << true << "keep" << int(Outcome::Quit);
        QTest::newRow("close, unknown answer") << false << "Keep" << int(Outcome::Ask);
    }
    void closeOrQuit()
    {
        QFETCH(bool, quitAsked);
        QFETCH(QString, remembered);
        QTEST(int(VeskQMLViewer::closeOutcome(quitAsked, remembered)), "outcome");
        // The window acts on it: no question, and the window goes even where keeping would have kept it.
        if (!quitAsked)
            return;
        g->settings->setValue(VeskQMLViewer::kCloseAnswerKey, remembered);
        VeskQMLViewer other;
        other.show();
        BoxAnswerer box(VeskQMLViewer::keepRunningButtonText(false));
        other.quitProgram();
        QVERIFY(!box.seen);
        QVERIFY(!other.isVisible());
        g->settings->remove(VeskQMLViewer::kCloseAnswerKey);
    }
    // "Ask before closing" in the menu brings the question back after "Don't ask again"; turning it off keeps the
    // program running when the window closes.
    void askBeforeClosingSetting()
    {
        g->settings->remove(VeskQMLViewer::kCloseAnswerKey);
        VeskQMLViewer other;
        g->shell().setMainWindow(&other);
        QSignalSpy changed(g->preferences(), &Preferences::askBeforeClosingChanged);
        QVERIFY(g->preferences()->askBeforeClosing());
        other.show();
        BoxAnswerer box(VeskQMLViewer::quitButtonText());
        box.tickCheckBox = true;
        QVERIFY(other.close());
        QCOMPARE(changed.count(), 1);
        QVERIFY(!g->preferences()->askBeforeClosing());
        g->preferences()->toggleAskBeforeClosing();
        QVERIFY(g->preferences()->askBeforeClosing());
        QVERIFY(!g->settings->contains(VeskQMLViewer::kCloseAnswerKey));
        g->preferences()->toggleAskBeforeClosing();
        QVERIFY(!g->preferences()->askBeforeClosing());
        QCOMPARE(g->settings->value(VeskQMLViewer::kCloseAnswerKey).toString(), QStringLiteral("keep"));
        QCOMPARE(changed.count(), 3);
        g->shell().setMainWindow(nullptr);
        g->settings->remove(VeskQMLViewer::kCloseAnswerKey);
    }
    // The tray: a click puts the window away and brings it back; its menu says what it does. Where no launcher shows
    // the count, the icon carries it.
    void trayShowsHidesAndQuits()
    {
        QSystemTrayIcon icon(AppIcons::applicationIcon());
        VeskQMLViewer other;
        {
            TrayMenu tray(icon, other);
            QVERIFY(other.trayShown());
            QStringList entries;
            for (QAction* action : tray.menu()->actions())
                if (!action->isSeparator())
                    entries << action->text();
            QCOMPARE(entries, (QStringList{"Show Vesk", "Quit"}));
            other.show();
            other.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&other));
            Q_EMIT icon.activated(QSystemTrayIcon::Trigger);
            QVERIFY(!other.isVisible());
            Q_EMIT icon.activated(QSystemTrayIcon::Trigger);
            QVERIFY(other.isVisible() && !other.isMinimized());
            other.showMinimized();
            tray.showAction()->trigger();
            QVERIFY(other.isVisible() && !other.isMinimized());
        }
        QVERIFY(!other.trayShown());
    }
    void trayIconCarriesTheCount_data()
    {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<bool>("launcherBadge");
        for (const char* desktop : {"", "openbox", "GNOME", "XFCE"})
            QTest::newRow(*desktop ? desktop : "none") << QString(desktop) << false;
        for (const char* desktop : {"KDE", "ubuntu:GNOME", "Unity:Unity7:ubuntu"})
            QTest::newRow(desktop) << QString(desktop) << true;
    }
    void trayIconCarriesTheCount()
    {
        QFETCH(QString, desktop);
        QTEST(AppIcons::launcherShowsBadge(desktop), "launcherBadge");
        QCOMPARE(AppIcons::windowTitleFor(0) + "|" + AppIcons::windowTitleFor(7), QStringLiteral("Vesk|7: Vesk"));
        const QImage plain = AppIcons::trayPixmap(0).toImage();
        const QImage counted = AppIcons::trayPixmap(7).toImage();
        QCOMPARE(counted.size(), plain.size());
        // The disc sits in the lower right corner; the rest of the icon stays as it is.
        const auto reddish = [](const QImage& image, const QRect& area) {
            int n = 0;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x) {
                    const QColor c = QColor::fromRgba(image.pixel(x, y));
                    n += c.alpha() > 200 && c.red() > 150 && c.green() < 100 && c.blue() < 100;
                }
            return n;
        };
        const QRect corner(plain.width() / 2, plain.height() / 2, plain.width() / 2, plain.height() / 2);
        QVERIFY(reddish(counted, corner) > corner.width() * corner.height() / 3);
        QCOMPARE(reddish(plain, corner), 0);
        QCOMPARE(counted.pixel(2, 2), plain.pixel(2, 2));
    }
    // The widgets' style sheet is filled in completely, with the interface's brand on the button that goes ahead.
    void widgetStyleIsComplete()
    {
        for (const bool dark : {false, true}) {
            const QString sheet = WidgetStyle::styleSheet(dark);
            QVERIFY2(!sheet.contains('%'), qPrintable(sheet));
            QVERIFY(sheet.contains("QPushButton:default { background: #2B7CB6"));
            QCOMPARE(WidgetStyle::palette(dark).color(QPalette::Window).lightness() < 128, dark);
        }
    }
    // The first-run wizard asks for the terms, a name (saying why it cannot go on without one) and whether to start
    // at login, and stores them only when the user finishes.
    void firstRun_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("atLogin");
        QTest::addColumn<bool>("finish");
        QTest::addColumn<QString>("stored");
        QTest::newRow("finished") << "  Ann Smith " << true << true << "Ann Smith";
        QTest::newRow("finished, not at login") << "Ann" << false << true << "Ann";
        QTest::newRow("cancelled") << "Someone" << false << false << "unknown";
    }
    void firstRun()
    {
        QFETCH(QString, typed);
        QFETCH(bool, atLogin);
        QFETCH(bool, finish);
        g->setUserAlias(QStringLiteral("unknown"));
        g->settings->remove("runOnStartup");
        FirstRunWizard wizard(*g);
        wizard.show();
        QAbstractButton* next = wizard.button(QWizard::NextButton);
        wizard.next();
        QVERIFY(!next->isEnabled()); // the terms first
        qobject_cast<TOAPage*>(wizard.currentPage())->acceptBox()->setChecked(true);
        wizard.next();
        auto* page = qobject_cast<ProfilePage*>(wizard.currentPage());
        QVERIFY(page->form()->nameEdit()->text().isEmpty()); // "unknown" is no name to start from
        QCOMPARE(page->form()->chooseButton()->text(), QStringLiteral("Choose a picture..."));
        QTest::keyClicks(page->form()->nameEdit(), QStringLiteral("   "));
        QVERIFY(!next->isEnabled()); // and a name, which the page asks for
        QVERIFY(page->form()->nameHint()->isVisible());
        page->form()->nameEdit()->setText(typed);
        QVERIFY(next->isEnabled());
        QVERIFY(!page->form()->nameHint()->isVisible());
        wizard.next();
        QCOMPARE(g->userAlias(), QStringLiteral("unknown"));
        auto* last = qobject_cast<CompletionPage*>(wizard.currentPage());
        QVERIFY(last->startOnLoginBox()->isChecked());
        last->startOnLoginBox()->setChecked(atLogin);
        finish ? wizard.button(QWizard::FinishButton)->click() : wizard.reject();
        QTEST(g->userAlias(), "stored");
        QCOMPARE(g->settings->value("runOnStartup").isValid(), finish);
        QCOMPARE(g->preferences()->startOnLogin(), finish && atLogin);
    }
    // The profile wizard stores the name and the picture's centre square, neither squashed nor cut further: red in
    // the middle, blue round it, and a square picture keeps its blue frame.
    void profileWizardStoresNameAndCentreSquare_data()
    {
        QTest::addColumn<QSize>("picture");
        for (const QSize size : {QSize(900, 300), QSize(300, 900), QSize(301, 100), QSize(40, 40), QSize(3, 1)})
            QTest::addRow("%dx%d", size.width(), size.height()) << size;
    }
    void profileWizardStoresNameAndCentreSquare()
    {
        QFETCH(QSize, picture);
        const bool square = picture.width() == picture.height();
        const int inner = square ? picture.width() / 2 : qMin(picture.width(), picture.height());
        QImage image(picture, QImage::Format_RGB32);
        image.fill(Qt::blue);
        QPainter(&image).fillRect(QRect((picture.width() - inner) / 2, (picture.height() - inner) / 2, inner, inner),
                                  Qt::red);
        const QString chosen = dataFolderPath() + QStringLiteral("chosen.png");
        QVERIFY(image.save(chosen));
        QFile::remove(dataFolderPath() + QStringLiteral("myavatar.png"));
        QString filter;
        ProfileForm::setAvatarChooser([chosen, &filter](QWidget*, const QString&, const QString& offered) {
            filter = offered;
            return chosen;
        });
        g->setUserAlias(QStringLiteral("Ann"));
        VeskProfileWizard wizard(*g);
        wizard.show();
        auto* page = qobject_cast<InAppProfilePage*>(wizard.currentPage());
        QCOMPARE(page->form()->nameEdit()->text(), QStringLiteral("Ann")); // only the picture needs choosing
        QVERIFY(wizard.button(QWizard::FinishButton)->isEnabled());
        page->form()->chooseButton()->click();
        page->form()->nameEdit()->setText(QStringLiteral("Ann %1").arg(picture.width()));
        wizard.button(QWizard::FinishButton)->click();
        ProfileForm::setAvatarChooser({});
        for (const char* pattern : {"*.png", "*.jpg", "*.jpeg", "*.webp", "*.gif"})
            QVERIFY2(filter.contains(QLatin1String(pattern)), qPrintable(filter));
        QCOMPARE(g->userAlias(), QStringLiteral("Ann %1").arg(picture.width()));
        const QImage avatar(dataFolderPath() + QStringLiteral("myavatar.png"));
        QCOMPARE(avatar.size(), QSize(256, 256));
        QCOMPARE(QColor(avatar.pixel(128, 128)), QColor(Qt::red));
        for (const QPoint at : {QPoint(1, 1), QPoint(254, 1), QPoint(1, 254), QPoint(254, 254)})
            QCOMPARE(QColor(avatar.pixel(at)), QColor(square ? Qt::blue : Qt::red));
    }

private:
    Vesk::Globals* g = nullptr;
    QTranslator m_english;
};

QTEST_MAIN(tst_Windows)
#include "tst_windows.moc"
