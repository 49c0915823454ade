#include "testsupport.h"
#include "transfer/transfernames.h"

#include <QFile>
#include <QTemporaryDir>

using namespace TestSupport;
using namespace Vesk;

const QByteArray kElfHeader = QByteArray::fromHex("7f454c460201010000000000000000000200"); // a program's first bytes

// How a name a peer offers becomes a file of the downloads folder, and which received files may be opened.
class tst_TransferNames : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    QString inFolder() const { return folder.path() + QLatin1Char('/'); }

private slots:
    void names_data()
    {
        // inside: whether the offered name, used as it is, would denote a file directly in the folder.
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("cleaned");
        QTest::addColumn<QString>("safe");
        QTest::addColumn<bool>("inside");
        const QString fallback = QString::fromLatin1(TransferNames::kFallbackName);
        const auto add = [](const char* tag, const QString& offered, const QString& cleaned, const QString& safe,
                            bool inside) {
            QTest::newRow(tag) << offered << cleaned << safe << inside;
        };
        add("ordinary", "Report (final).pdf", "Report (final).pdf", "Report (final).pdf", true);
        add("forbidden characters", "a:b?c*\"|<>.txt", "abc*.txt", "a:b?c*\"|<>.txt", true);
        add("climbing out", "../../etc/passwd", "....etcpasswd", "....etcpasswd", false);
        add("absolute", "/etc/passwd", "etcpasswd", "etcpasswd", false);
        add("sub folder", "sub/x", "subx", "subx", false);
        add("windows path", "..\\Users\\x.doc", "..Usersx.doc", "..Usersx.doc", false);
        add("control characters", "a\nb\tc\x7f.txt", "a\nb\tc\x7f.txt", "abc.txt", true);
        add("nul", QString("a") + QChar(0) + "b", QString("a") + QChar(0) + "b", "ab", false);
        add("empty", "", "", fallback, false);
        add("dot", ".", ".", fallback, false);
        add("dot dot", "..", "..", fallback, false);
        add("dot dot between slashes", "/../", "..", fallback, false);
        add("blank", " \r\n", " \r\n", fallback, true);
        add("three dots are a name", "...", "...", "...", true);
    }
    void names()
    {
        QFETCH(QString, offered);
        QFETCH(QString, cleaned);
        QFETCH(QString, safe);
        QFETCH(bool, inside);
        QCOMPARE(TransferNames::cleanOfferedName(offered), cleaned);
        QCOMPARE(TransferNames::safeLocalName(offered), safe);
        QCOMPARE(TransferNames::staysInFolder(inFolder(), offered), inside);
        QVERIFY(TransferNames::staysInFolder(inFolder(), safe));
    }
    void longNamesAreCut_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("latin") << QString(300, 'a') + ".pdf" << QString(".pdf");
        QTest::newRow("three bytes a character") << QString(150, QChar(0x65e5)) + ".txt" << QString(".txt");
        QTest::newRow("surrogate pairs, no suffix") << QString::fromUtf8("\xf0\x9f\x98\x80").repeated(100) << QString();
        QTest::newRow("as large as a message") << QString(8 << 20, 'h') + ".iso" << QString(".iso");
    }
    void longNamesAreCut()
    {
        QFETCH(QString, name);
        QFETCH(QString, suffix);
        const QString safe = TransferNames::safeLocalName(name);
        QCOMPARE(safe, name.left(safe.size() - suffix.size()) + suffix);
        QCOMPARE(QString::fromUtf8(safe.toUtf8()), safe); // no character cut in half
        // The file system takes it, and the name it is moved aside to.
        for (const QString& local : {safe, TransferNames::backupName(safe, QDateTime::currentDateTime())}) {
            QFile file(inFolder() + local);
            QVERIFY2(file.open(QIODevice::WriteOnly) && file.remove(), qPrintable(file.errorString()));
        }
    }
    void mayOpenAutomatically_data()
    {
        // content: null judges by the name alone (an empty file is received under it too).
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("open");
        QTest::newRow("picture") << "photo.jpg" << QByteArray() << true;
        QTest::newRow("PDF in capitals") << "REPORT.PDF" << QByteArray() << true;
        QTest::newRow("double suffix") << "a.exe.txt" << QByteArray() << true;
        QTest::newRow("program, mixed case") << "Setup.Exe" << QByteArray() << false;
        QTest::newRow("trailing dot") << "setup.exe." << QByteArray() << false;
        QTest::newRow("script in capitals") << "SETUP.SH" << QByteArray() << false;
        QTest::newRow("text file") << "notes.txt" << QByteArray("just some notes\n") << true;
        QTest::newRow("script named notes.txt") << "notes.txt" << QByteArray("#!/bin/sh\nrm -rf ~\n") << false;
        QTest::newRow("program named photo.jpg") << "photo.jpg" << kElfHeader << false;
    }
    void mayOpenAutomatically()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(bool, open);
        if (content.isNull())
            QCOMPARE(TransferNames::mayOpenAutomatically(name), open);
        QVERIFY(writeFile(inFolder() + name, content));
        QCOMPARE(TransferNames::mayOpenAutomatically(name, inFolder() + name), open);
    }
};

QTEST_APPLESS_MAIN(tst_TransferNames)
#include "tst_transfernames.moc"
