#include <QCoreApplication>
#include <QTest>
#include <QTranslator>

// The English translation gives readable wording to the texts that read badly in the code. A lookup only succeeds
// with the exact source text and the class it is used in, so a typo in either would silently show the old text.
class TestTranslations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void readableEnglish_data();
    void readableEnglish();

private:
    QTranslator m_english;
};

void TestTranslations::initTestCase()
{
    QVERIFY(m_english.load(QStringLiteral(VESK_TRANSLATIONS_DIR "/Vesk_en")));
}

void TestTranslations::readableEnglish_data()
{
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("gone"); // the awkward part that must not survive (letter case counts)

    QTest::newRow("close question") << "VeskQMLViewer"
                                    << "If you close Vesk, your peers WILL NOT be able to chat with you or transfer "
                                       "files with you."
                                    << "WILL NOT";
    QTest::newRow("close details") << "VeskQMLViewer"
                                   << "Vesk is meant to be run as an always-on service. It uses minimum CPU and memory "
                                      "when idle. It is adviced to leave Vesk on so that other devices around you can "
                                      "contact you."
                                   << "adviced";
    QTest::newRow("offer notice") << "Vesk::IncomingOffers"
                                  << "I have sent you a file called : <br> <b>%1</b><br>Please download it using Vesk."
                                  << " :";
    QTest::newRow("download notice") << "Vesk::DownloadEngine"
                                     << "File Downloaded : <br> <b>%1</b><br>"
                                     << " :";
    QTest::newRow("block question") << "Vesk::Globals"
                                    << "Do you really want to block this user"
                                    << "user";
    QTest::newRow("first-run profile page") << "ProfilePage"
                                            << "Vesk: Profile update"
                                            << "update";
    QTest::newRow("profile wizard page") << "InAppProfilePage"
                                         << "Vesk: Profile update"
                                         << "update";
}

void TestTranslations::readableEnglish()
{
    QFETCH(QString, context);
    QFETCH(QString, source);
    QFETCH(QString, gone);
    const QString english = m_english.translate(context.toLatin1().constData(), source.toLatin1().constData());
    QVERIFY2(!english.isEmpty(), "no translation for this context and source text");
    QVERIFY2(!english.contains(gone), qPrintable(english));
    // The text is filled in with the file name: the placeholder must stay.
    QCOMPARE(english.contains(QLatin1String("%1")), source.contains(QLatin1String("%1")));
}

QTEST_APPLESS_MAIN(TestTranslations)
#include "tst_translations.moc"
