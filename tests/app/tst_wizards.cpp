#include "app/firstrunwizard.h"

#include "app/globals.h"
#include "app/platform.h"
#include "app/profileform.h"
#include "app/veskprofilewizard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QTranslator>

using Vesk::Globals;

namespace {

QString ownAvatarFile()
{
    return dataFolderPath() + QStringLiteral("myavatar.png");
}

QByteArray fileDigest(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

QString writeImage(const QString& folder, const QString& name, const QColor& color)
{
    QImage image(40, 40, QImage::Format_RGB32);
    image.fill(color);
    const QString path = folder + QLatin1Char('/') + name;
    image.save(path);
    return path;
}

bool isEnabled(QWizard& wizard, QWizard::WizardButton which)
{
    QAbstractButton* button = wizard.button(which);
    return button && button->isEnabled();
}

// Answers the picture chooser with the queued paths, one per call ("" is a cancelled dialog).
struct ScriptedChooser
{
    QStringList answers;
    int calls = 0;
    QWidget* lastParent = nullptr;
    void install()
    {
        ProfileForm::setAvatarChooser([this](QWidget* parent, const QString&, const QString&) {
            ++calls;
            lastParent = parent;
            return answers.isEmpty() ? QString() : answers.takeFirst();
        });
    }
};

} // namespace

class TestWizards : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void firstRunPagesAndOrder();
    void sidePanelFillsTheHeight_data();
    void sidePanelFillsTheHeight();
    void wizardsKeepTheSidePanelFull();
    void termsAreReadableInEnglish();
    void termsBoxGatesNext();
    void nameGatesNext_data();
    void nameGatesNext();
    void finishWithoutPictureStoresOnlyTheName();
    void cancelledSecondChoiceKeepsTheFirst();
    void cancelStoresNothing();
    void unknownIsStoredAsTyped();
    void profileWizardStartsEmpty();
    void profileWizardStoresNameAndPicture();
    void launchProfileWizardRunsModally();

private:
    void goToProfilePage(FirstRunWizard& wizard);
    QString storedAlias() const;
    Globals* g = nullptr;
    QTemporaryDir pictures;
    QTranslator english;
    ScriptedChooser chooser;
};

void TestWizards::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavimor"));
    QCoreApplication::setApplicationName(QStringLiteral("Vesk"));
    QVERIFY(english.load(QStringLiteral(VESK_TRANSLATIONS_DIR "/Vesk_en")));
    QCoreApplication::installTranslator(&english);
    g = Globals::instance();
    QVERIFY(pictures.isValid());
    chooser.install();
}

void TestWizards::init()
{
    g->setUserAlias(QStringLiteral("Before"));
    QFile::remove(ownAvatarFile());
    chooser.answers.clear();
    chooser.calls = 0;
}

void TestWizards::cleanupTestCase()
{
    ProfileForm::setAvatarChooser({});
}

QString TestWizards::storedAlias() const
{
    QSettings settings(QStringLiteral("Tavimor"), QStringLiteral("Vesk"));
    return settings.value(QStringLiteral("userAlias")).toString();
}

void TestWizards::goToProfilePage(FirstRunWizard& wizard)
{
    wizard.show();
    QCOMPARE(wizard.currentId(), int(FirstRunWizard::IntroPageId));
    wizard.next();
    QCOMPARE(wizard.currentId(), int(FirstRunWizard::TOAPageId));
    auto* terms = qobject_cast<TOAPage*>(wizard.currentPage());
    QVERIFY(terms);
    terms->acceptBox()->setChecked(true);
    wizard.next();
    QCOMPARE(wizard.currentId(), int(FirstRunWizard::ProfilePageId));
}

void TestWizards::firstRunPagesAndOrder()
{
    FirstRunWizard wizard;
    QCOMPARE(wizard.wizardStyle(), QWizard::MacStyle);
    QCOMPARE(wizard.startId(), int(FirstRunWizard::IntroPageId));
    QCOMPARE(wizard.pageIds(), (QList<int>{0, 1, 3, 4}));
    QVERIFY(qobject_cast<TOAPage*>(wizard.page(0)));
    QVERIFY(qobject_cast<IntroPage*>(wizard.page(1)));
    QVERIFY(qobject_cast<ProfilePage*>(wizard.page(3)));
    QVERIFY(qobject_cast<CompletionPage*>(wizard.page(4)));
    QCOMPARE(wizard.page(1)->nextId(), 0);
    QCOMPARE(wizard.page(0)->nextId(), 3);
    QCOMPARE(wizard.page(3)->nextId(), 4);
    QCOMPARE(wizard.page(4)->nextId(), -1);
    QCOMPARE(wizard.pixmap(QWizard::LogoPixmap).size(), QSize(165, 348));
    QVERIFY(!wizard.pixmap(QWizard::BackgroundPixmap).isNull());
    QCOMPARE(wizard.windowTitle(), QStringLiteral("Vesk: First Run Wizard"));
    // Nothing is being updated on a first run.
    QCOMPARE(wizard.page(3)->title(), QStringLiteral("How others will see you"));
}

void TestWizards::sidePanelFillsTheHeight_data()
{
    QTest::addColumn<int>("height");
    QTest::newRow("shorter than the watermark") << 200;
    QTest::newRow("as tall") << 348;
    QTest::newRow("taller") << 600;
    QTest::newRow("odd extra") << 601;
}

void TestWizards::sidePanelFillsTheHeight()
{
    QFETCH(int, height);
    const QImage watermark(QStringLiteral(":/vesk_watermark.png"));
    const QImage panel = FirstRunWizard::sidePanel(height).toImage().convertToFormat(watermark.format());
    QCOMPARE(panel.width(), watermark.width());
    QCOMPARE(panel.height(), qMax(height, watermark.height()));
    const int top = (panel.height() - watermark.height()) / 2;
    QCOMPARE(panel.copy(0, top, watermark.width(), watermark.height()), watermark);
    // Above and below, the watermark's first and last rows continue it without a seam.
    for (int x = 0; x < panel.width(); x += 20) {
        QCOMPARE(panel.pixel(x, 0), watermark.pixel(x, 0));
        QCOMPARE(panel.pixel(x, panel.height() - 1), watermark.pixel(x, watermark.height() - 1));
    }
}

void TestWizards::wizardsKeepTheSidePanelFull()
{
    FirstRunWizard first;
    first.show();
    QVERIFY(QTest::qWaitForWindowExposed(&first));
    QVERIFY(first.height() >= 348);
    QCOMPARE(first.pixmap(QWizard::BackgroundPixmap).height(), first.height());
    first.resize(first.width(), first.height() + 77);
    QTRY_COMPARE(first.pixmap(QWizard::BackgroundPixmap).height(), first.height());

    VeskProfileWizard profile;
    profile.show();
    QVERIFY(QTest::qWaitForWindowExposed(&profile));
    QCOMPARE(profile.pixmap(QWizard::BackgroundPixmap).height(), qMax(profile.height(), 348));
}

void TestWizards::termsAreReadableInEnglish()
{
    TOAPage page;
    QCOMPARE(page.title(), QStringLiteral("Terms of use"));
    QVERIFY(!page.subTitle().contains(QLatin1String("TOA")));
    QVERIFY(!page.acceptBox()->text().contains(QLatin1String("TOA")));
    const QString terms = page.termsView()->toPlainText();
    QVERIFY(!terms.contains(QLatin1String("TOA_TEXT")));
    QVERIFY(terms.contains(QLatin1String("encrypted")));
    QVERIFY(terms.contains(QLatin1String("warranty")));
    QCOMPARE(page.termsView()->height(), 300);
    QVERIFY(page.termsView()->isReadOnly());
}

void TestWizards::termsBoxGatesNext()
{
    FirstRunWizard wizard;
    wizard.show();
    QVERIFY(isEnabled(wizard, QWizard::NextButton)); // the greeting asks nothing
    wizard.next();
    auto* terms = qobject_cast<TOAPage*>(wizard.currentPage());
    QVERIFY(terms);
    QVERIFY(!isEnabled(wizard, QWizard::NextButton));
    terms->acceptBox()->setChecked(true);
    QVERIFY(isEnabled(wizard, QWizard::NextButton));
    terms->acceptBox()->setChecked(false);
    QVERIFY(!isEnabled(wizard, QWizard::NextButton));
}

void TestWizards::nameGatesNext_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("spaces only") << QStringLiteral("   ") << false;
    QTest::newRow("a name") << QStringLiteral("Ann") << true;
    QTest::newRow("one letter") << QStringLiteral("A") << true;
}

void TestWizards::nameGatesNext()
{
    QFETCH(QString, name);
    QFETCH(bool, enabled);
    FirstRunWizard wizard;
    goToProfilePage(wizard);
    QVERIFY(!isEnabled(wizard, QWizard::NextButton));
    auto* page = qobject_cast<ProfilePage*>(wizard.currentPage());
    QTest::keyClicks(page->form()->nameEdit(), name);
    QCOMPARE(isEnabled(wizard, QWizard::NextButton), enabled);
}

void TestWizards::finishWithoutPictureStoresOnlyTheName()
{
    const QString previous = writeImage(pictures.path(), QStringLiteral("previous.png"), Qt::blue);
    QVERIFY(QFile::copy(previous, ownAvatarFile()));
    const QByteArray before = fileDigest(ownAvatarFile());

    FirstRunWizard wizard;
    goToProfilePage(wizard);
    auto* page = qobject_cast<ProfilePage*>(wizard.currentPage());
    QTest::keyClicks(page->form()->nameEdit(), QStringLiteral("  Ann Smith "));
    QCOMPARE(storedAlias(), QStringLiteral("Before")); // nothing before Finish
    wizard.next();
    QCOMPARE(wizard.currentId(), int(FirstRunWizard::CompletionPageId));
    QCOMPARE(storedAlias(), QStringLiteral("Before"));
    QVERIFY(isEnabled(wizard, QWizard::FinishButton));
    wizard.button(QWizard::FinishButton)->click();

    QCOMPARE(wizard.result(), int(QDialog::Accepted));
    QCOMPARE(storedAlias(), QStringLiteral("Ann Smith"));
    QCOMPARE(g->userAlias(), QStringLiteral("Ann Smith"));
    QCOMPARE(fileDigest(ownAvatarFile()), before);
    QCOMPARE(chooser.calls, 0);
}

void TestWizards::cancelledSecondChoiceKeepsTheFirst()
{
    const QString red = writeImage(pictures.path(), QStringLiteral("red.png"), Qt::red);
    chooser.answers = {red, QString()};

    FirstRunWizard wizard;
    goToProfilePage(wizard);
    auto* page = qobject_cast<ProfilePage*>(wizard.currentPage());
    ProfileForm* form = page->form();
    form->chooseButton()->click();
    QCOMPARE(chooser.calls, 1);
    QCOMPARE(chooser.lastParent, page);
    QCOMPARE(form->avatarPathEdit()->text(), red);
    QVERIFY(!form->pictureLabel()->pixmap().isNull());
    const QImage shown = form->pictureLabel()->pixmap().toImage();
    QCOMPARE(QColor(shown.pixel(shown.width() / 2, shown.height() / 2)), QColor(Qt::red));

    form->chooseButton()->click(); // cancelled
    QCOMPARE(chooser.calls, 2);
    QCOMPARE(form->avatarPathEdit()->text(), red);
    QCOMPARE(QColor(form->pictureLabel()->pixmap().toImage().pixel(10, 10)), QColor(Qt::red));
    QVERIFY(!form->avatarPathEdit()->isVisible());
    QVERIFY(!QFile::exists(ownAvatarFile())); // nothing stored before Finish

    QTest::keyClicks(form->nameEdit(), QStringLiteral("Ann"));
    wizard.next();
    wizard.button(QWizard::FinishButton)->click();
    QCOMPARE(storedAlias(), QStringLiteral("Ann"));
    QImage stored(ownAvatarFile());
    QVERIFY(!stored.isNull());
    QCOMPARE(QColor(stored.pixel(stored.width() / 2, stored.height() / 2)), QColor(Qt::red));
}

void TestWizards::cancelStoresNothing()
{
    const QString red = writeImage(pictures.path(), QStringLiteral("red2.png"), Qt::red);
    chooser.answers = {red};
    FirstRunWizard wizard;
    goToProfilePage(wizard);
    auto* page = qobject_cast<ProfilePage*>(wizard.currentPage());
    page->form()->chooseButton()->click();
    QTest::keyClicks(page->form()->nameEdit(), QStringLiteral("Someone"));
    wizard.next();
    wizard.reject();
    QCOMPARE(storedAlias(), QStringLiteral("Before"));
    QVERIFY(!QFile::exists(ownAvatarFile()));
}

void TestWizards::unknownIsStoredAsTyped()
{
    FirstRunWizard wizard;
    goToProfilePage(wizard);
    auto* page = qobject_cast<ProfilePage*>(wizard.currentPage());
    QTest::keyClicks(page->form()->nameEdit(), QStringLiteral("UnKnown"));
    wizard.next();
    wizard.button(QWizard::FinishButton)->click();
    QCOMPARE(storedAlias(), QStringLiteral("UnKnown"));
}

void TestWizards::profileWizardStartsEmpty()
{
    VeskProfileWizard wizard;
    QCOMPARE(wizard.wizardStyle(), QWizard::MacStyle);
    QCOMPARE(wizard.pageIds(), QList<int>{0});
    QCOMPARE(wizard.startId(), 0);
    QVERIFY(wizard.testOption(QWizard::NoBackButtonOnStartPage));
    QVERIFY(qobject_cast<InAppProfilePage*>(wizard.page(0)));
    QCOMPARE(wizard.windowTitle(), QStringLiteral("Vesk: Change Profile"));
    QCOMPARE(wizard.page(0)->title(), QStringLiteral("Your profile"));
    wizard.show();
    auto* page = qobject_cast<InAppProfilePage*>(wizard.currentPage());
    QVERIFY(page->form()->nameEdit()->text().isEmpty());
    QVERIFY(!isEnabled(wizard, QWizard::FinishButton));
    QTest::keyClicks(page->form()->nameEdit(), QStringLiteral("x"));
    QVERIFY(isEnabled(wizard, QWizard::FinishButton));
}

void TestWizards::profileWizardStoresNameAndPicture()
{
    // A wide picture, green in its centre square and blue beside it: preview and stored avatar show the centre
    // square, as the round frames will, not the whole picture squashed or letterboxed.
    QImage wide(120, 40, QImage::Format_RGB32);
    wide.fill(Qt::blue);
    QPainter(&wide).fillRect(40, 0, 40, 40, Qt::green);
    const QString green = pictures.path() + QStringLiteral("/wide-green.png");
    QVERIFY(wide.save(green));
    chooser.answers = {green};
    VeskProfileWizard wizard;
    wizard.show();
    auto* page = qobject_cast<InAppProfilePage*>(wizard.currentPage());
    page->form()->chooseButton()->click();
    const QImage preview = page->form()->pictureLabel()->pixmap().toImage();
    QCOMPARE(preview.size(), QSize(ProfileForm::kPictureSide, ProfileForm::kPictureSide));
    QCOMPARE(QColor(preview.pixel(1, 1)), QColor(Qt::green));
    QTest::keyClicks(page->form()->nameEdit(), QStringLiteral("Ann Again"));
    wizard.button(QWizard::FinishButton)->click();
    QCOMPARE(storedAlias(), QStringLiteral("Ann Again"));
    QImage stored(ownAvatarFile());
    QVERIFY(!stored.isNull());
    QCOMPARE(stored.size(), QSize(256, 256));
    QCOMPARE(QColor(stored.pixel(1, 128)), QColor(Qt::green));
}

void TestWizards::launchProfileWizardRunsModally()
{
    bool seen = false;
    QTimer driver;
    driver.setInterval(20);
    connect(&driver, &QTimer::timeout, this, [&] {
        auto* wizard = qobject_cast<VeskProfileWizard*>(QApplication::activeModalWidget());
        if (!wizard)
            return;
        driver.stop();
        seen = true;
        auto* page = qobject_cast<InAppProfilePage*>(wizard->currentPage());
        QTest::keyClicks(page->form()->nameEdit(), QStringLiteral("From the interface"));
        wizard->button(QWizard::FinishButton)->click();
    });
    driver.start();
    g->launchProfileWizard();
    QVERIFY(seen);
    QCOMPARE(storedAlias(), QStringLiteral("From the interface"));
    // The own row follows at once, as after a profile change from the interface.
    QCOMPARE(g->getAliasForNode(g->hostId()), QStringLiteral("From the interface"));
}

QTEST_MAIN(TestWizards)
#include "tst_wizards.moc"
