#include "app/avatarimage.h"
#include "app/logging.h"
#include "app/platform.h"
#include "common/htmltext.h"

#include "testsupport.h"

#include <QDir>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTranslator>

// The application's small helpers: the log file, the node id, the login start, escaped text, the avatar crop and
// the shipped translation.
class TestAppHelpers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void logLine_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("line");
        QTest::newRow("critical") << int(QtCriticalMsg) << "2014.03.01 18:22:05[C]  padded ";
        QTest::newRow("warning dropped") << int(QtWarningMsg) << QString();
    }
    void logLine()
    {
        QFETCH(int, type);
        const QDateTime when(QDate(2014, 3, 1), QTime(18, 22, 5));
        QTEST(Vesk::Log::formatLine(QtMsgType(type), QStringLiteral(" padded "), when), "line");
    }
    void logFileHoldsOnlyCriticalLines()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("vesk.log");
        QVERIFY(TestSupport::writeFile(path, "earlier run\n"));
        QVERIFY(Vesk::Log::installLogFile(path));
        qWarning("a warning line");
        qCritical("a critical line");
        qInstallMessageHandler(nullptr);
        const QStringList lines = QString::fromUtf8(TestSupport::readFile(path)).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.at(0), QStringLiteral("earlier run")); // appended, never truncated
        QVERIFY2(lines.at(1).endsWith(QStringLiteral("[C] a critical line")), qPrintable(lines.at(1)));
    }
    void nodeIdIsStableAndHidesTheMachineId()
    {
        const QByteArray raw("0123456789abcdef0123456789abcdef");
        const QString id = Vesk::Platform::nodeIdFromMachineId(raw);
        QCOMPARE(id.size(), 38);                                       // {8-4-4-4-12}
        QCOMPARE(id, Vesk::Platform::nodeIdFromMachineId(raw + '\n')); // the file's line end does not count
        QVERIFY(id != Vesk::Platform::nodeIdFromMachineId("fedcba9876543210fedcba9876543210"));
        const QString bare = QString(id).remove('{').remove('}').remove('-');
        QVERIFY(!bare.contains(QString::fromLatin1(raw.left(8))) && !QString(raw).contains(bare.left(8)));
    }
    void autostartEntryFollowsTheSetting()
    {
        const QString path = Vesk::Platform::autostartEntryPath();
        QVERIFY2(path.startsWith(QDir::homePath()), qPrintable(path));
        QVERIFY(Vesk::Platform::registerStartOnLogin(true, QStringLiteral("/opt/My Apps/vesk")));
        const QString text = QString::fromUtf8(TestSupport::readFile(path));
        QVERIFY2(text.startsWith("[Desktop Entry]") && text.contains("Exec=\"/opt/My Apps/vesk\""), qPrintable(text));
        QVERIFY(Vesk::Platform::registerStartOnLogin(false, QString()));
        QVERIFY(!QFile::exists(path));
        QVERIFY(Vesk::Platform::registerStartOnLogin(false, QString())); // nothing left to remove is fine
    }
    // Whatever a peer typed reads exactly as typed once its escaped form is shown as rich text.
    void markupShownAsTyped_data()
    {
        QTest::addColumn<QString>("text");
        for (const char* text : {"<b>x</b>", "<script>alert(1)</script>", "<img src=\"file:///etc/passwd\">",
                                 "&amp; &lt; &#65;", "one\ntwo\r\nthree\rfour", " a  b   c", "Grüße — 你好 🙂"})
            QTest::newRow(text) << QString::fromUtf8(text);
    }
    void markupShownAsTyped()
    {
        QFETCH(QString, text);
        QTextDocument document;
        document.setHtml(Vesk::plainTextToHtml(text));
        QCOMPARE(document.toPlainText().replace(QChar::LineSeparator, '\n').replace(QChar::Nbsp, ' '),
                 QString(text).replace("\r\n", "\n").replace('\r', '\n'));
    }
    // A picture becomes its centre square, neither squashed nor cut further: red in the middle, blue round it, and
    // a square picture keeps its blue frame.
    void avatarIsTheCentreSquare_data()
    {
        QTest::addColumn<QSize>("picture");
        for (const QSize size :
             {QSize(900, 300), QSize(300, 900), QSize(301, 100), QSize(40, 40), QSize(1024, 1024), QSize(3, 1)})
            QTest::addRow("%dx%d", size.width(), size.height()) << size;
    }
    void avatarIsTheCentreSquare()
    {
        QFETCH(QSize, picture);
        const bool square = picture.width() == picture.height();
        const int inner = square ? picture.width() / 2 : qMin(picture.width(), picture.height());
        QImage image(picture, QImage::Format_RGB32);
        image.fill(Qt::blue);
        QPainter(&image).fillRect(QRect((picture.width() - inner) / 2, (picture.height() - inner) / 2, inner, inner),
                                  Qt::red);
        const QImage avatar = Vesk::squareAvatar(image, 100);
        QCOMPARE(avatar.size(), QSize(100, 100));
        QCOMPARE(QColor(avatar.pixel(50, 50)), QColor(Qt::red));
        for (const QPoint at : {QPoint(1, 1), QPoint(98, 1), QPoint(1, 98), QPoint(98, 98)})
            QCOMPARE(QColor(avatar.pixel(at)), QColor(square ? Qt::blue : Qt::red));
        QVERIFY(Vesk::squareAvatar(QImage(), 100).isNull());
    }
    // A lookup needs the exact source text and its class: a typo in either would silently show the raw text.
    void translationGivesReadableEnglish_data()
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
    void translationGivesReadableEnglish()
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

QTEST_MAIN(TestAppHelpers)
#include "tst_apphelpers.moc"
