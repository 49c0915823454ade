#include "app/firstrunwizard.h"

#include "app/globals.h"
#include "app/platform.h"
#include "app/profileform.h"
#include "app/veskprofilewizard.h"
#include "appsupport.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

// The first-run wizard and the profile wizard store the name (and picture) only when the user finishes.
class TestWizards : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { g = TestSupport::controller(); }
    void firstRun_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("finish");
        QTest::addColumn<QString>("stored");
        QTest::newRow("finished") << "  Ann Smith " << true << "Ann Smith";
        QTest::newRow("typed as is") << "UnKnown" << true << "UnKnown";
        QTest::newRow("cancelled") << "Someone" << false << "Before";
    }
    void firstRun()
    {
        QFETCH(QString, typed);
        QFETCH(bool, finish);
        g->setUserAlias(QStringLiteral("Before"));
        FirstRunWizard wizard;
        wizard.show();
        const auto nextEnabled = [&wizard] {
            return wizard.button(QWizard::NextButton)->isEnabled();
        };
        wizard.next();
        QVERIFY(!nextEnabled()); // the terms first
        qobject_cast<TOAPage*>(wizard.currentPage())->acceptBox()->setChecked(true);
        wizard.next();
        auto* page = qobject_cast<ProfilePage*>(wizard.currentPage());
        QTest::keyClicks(page->form()->nameEdit(), QStringLiteral("   "));
        QVERIFY(!nextEnabled()); // and a name
        page->form()->nameEdit()->setText(typed);
        QVERIFY(nextEnabled());
        wizard.next();
        QCOMPARE(g->userAlias(), QStringLiteral("Before"));
        finish ? wizard.button(QWizard::FinishButton)->click() : wizard.reject();
        QTEST(g->userAlias(), "stored");
    }
    void profileWizardStoresNameAndCentreSquare()
    {
        const QString picture = dataFolderPath() + QStringLiteral("chosen.png");
        QVERIFY(TestSupport::writeFile(picture, TestSupport::pictureBytes(120, 40)));
        QFile::remove(dataFolderPath() + QStringLiteral("myavatar.png"));
        ProfileForm::setAvatarChooser([picture](QWidget*, const QString&, const QString&) { return picture; });
        VeskProfileWizard wizard;
        wizard.show();
        auto* page = qobject_cast<InAppProfilePage*>(wizard.currentPage());
        page->form()->chooseButton()->click();
        QTest::keyClicks(page->form()->nameEdit(), QStringLiteral("Ann Again"));
        wizard.button(QWizard::FinishButton)->click();
        QCOMPARE(g->userAlias(), QStringLiteral("Ann Again"));
        QCOMPARE(QImage(dataFolderPath() + QStringLiteral("myavatar.png")).size(), QSize(256, 256));
        ProfileForm::setAvatarChooser({});
    }

private:
    Vesk::Globals* g = nullptr;
};

QTEST_MAIN(TestWizards)
#include "tst_wizards.moc"
