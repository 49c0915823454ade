#include <QTest>
#include <QTranslator>

// The shipped English translation loads and gives readable wording; a lookup needs the exact source text and its
// class, so a typo in either would silently show the raw text.
class TestTranslations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readableEnglish_data()
    {
        QTest::addColumn<QByteArray>("context");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("gone"); // the awkward part that must not survive
        QTest::newRow("close") << QByteArray("VeskQMLViewer")
                               << QByteArray("If you close Vesk, your peers WILL NOT be able to chat with you or "
                                             "transfer files with you.")
                               << "WILL NOT";
        QTest::newRow("offer") << QByteArray("Vesk::IncomingOffers")
                               << QByteArray("I have sent you a file called : <br> <b>%1</b><br>Please download it "
                                             "using Vesk.")
                               << " :";
        QTest::newRow("block") << QByteArray("Vesk::Globals") << QByteArray("Do you really want to block this user")
                               << "user";
    }
    void readableEnglish()
    {
        QTranslator english;
        QVERIFY(english.load(QStringLiteral(VESK_TRANSLATIONS_DIR "/Vesk_en")));
        QFETCH(QByteArray, context);
        QFETCH(QByteArray, source);
        const QString text = english.translate(context, source);
        QFETCH(QString, gone);
        QVERIFY2(!text.isEmpty() && !text.contains(gone), qPrintable(text));
        QCOMPARE(text.contains("%1"), source.contains("%1")); // the file name still goes in
    }
};

QTEST_APPLESS_MAIN(TestTranslations)
#include "tst_translations.moc"
