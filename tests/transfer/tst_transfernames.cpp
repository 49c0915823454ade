#include "transfer/fileicons.h"
#include "transfer/transfernames.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

using namespace Vesk;

class tst_TransferNames : public QObject
{
    Q_OBJECT

private slots:
    void suffixIcons_data();
    void suffixIcons();
    void iconForFileName_data();
    void iconForFileName();
    void uploadId_data();
    void uploadId();
    void cleanOfferedName_data();
    void cleanOfferedName();
    void safeLocalName_data();
    void safeLocalName();
    void safeLocalNameShortensLongNames();
    void backupName_data();
    void backupName();
    void numberedName_data();
    void numberedName();
    void mayOpenAutomatically_data();
    void mayOpenAutomatically();
    void mayOpenReceivedFile_data();
    void mayOpenReceivedFile();
    void mayOpenReceivedFileOnlyWhenItIsThere();
    void staysInFolder_data();
    void staysInFolder();
};

namespace {
QString icon(const char* category)
{
    return QStringLiteral("qrc:/qml/Vesk/pics/fileicons/") + QLatin1String(category) + QStringLiteral(".png");
}
} // namespace

void tst_TransferNames::suffixIcons_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("url");
    QTest::newRow("JPG") << "JPG" << icon("image");
    QTest::newRow("Jpg") << "Jpg" << icon("image");
    QTest::newRow("jpg") << "jpg" << icon("image");
    QTest::newRow("gif") << "gif" << icon("image");
    QTest::newRow("doc") << "doc" << icon("word");
    QTest::newRow("DOCX") << "DOCX" << icon("word");
    QTest::newRow("odt") << "odt" << icon("fileicon_bg");
    QTest::newRow("mov") << "mov" << icon("fileicon_bg");
    QTest::newRow("mpeg") << "mpeg" << icon("fileicon_bg");
    QTest::newRow("mpg") << "mpg" << icon("movie");
    QTest::newRow("vob") << "vob" << icon("movie");
    QTest::newRow("pdf") << "pdf" << icon("pdf");
    QTest::newRow("xlsm") << "xlsm" << icon("excel");
    QTest::newRow("rar") << "rar" << icon("compressed");
    QTest::newRow("gz") << "gz" << icon("fileicon_bg");
    QTest::newRow("txt") << "txt" << icon("text");
    QTest::newRow("ogg") << "ogg" << icon("music");
    QTest::newRow("pptx") << "pptx" << icon("powerpoint");
    QTest::newRow("empty") << "" << icon("fileicon_bg");
    QTest::newRow("with dot") << ".jpg" << icon("fileicon_bg");
    QTest::newRow("css has an icon but no suffix maps to it") << "css" << icon("fileicon_bg");
}

void tst_TransferNames::suffixIcons()
{
    QFETCH(QString, suffix);
    QFETCH(QString, url);
    QCOMPARE(FileIcons::urlForSuffix(suffix), url);
}

void tst_TransferNames::iconForFileName_data()
{
    // The suffix is the text after the last dot, as the controller takes it from a path.
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("url");
    QTest::newRow("archive.tar.gz") << "archive.tar.gz" << icon("fileicon_bg");
    QTest::newRow("no dot") << "README" << icon("fileicon_bg");
    QTest::newRow("photo.JPG") << "photo.JPG" << icon("image");
    QTest::newRow("backup.zip") << "backup.zip" << icon("compressed");
}

void tst_TransferNames::iconForFileName()
{
    QFETCH(QString, fileName);
    QFETCH(QString, url);
    QCOMPARE(FileIcons::urlForSuffix(QFileInfo(fileName).suffix()), url);
    QCOMPARE(FileIcons::placeholderUrl(), icon("fileicon_bg"));
}

void tst_TransferNames::uploadId_data()
{
    QTest::addColumn<QString>("nodeId");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("hashed");
    QTest::newRow("plain") << "{node-1}"
                           << "/home/u/a.txt" << QByteArray("{node-1}_/home/u/a.txt");
    QTest::newRow("latin-1") << "n" << QString::fromUtf8("/tmp/caf\u00e9") << QByteArray("n_/tmp/caf\xe9");
    QTest::newRow("outside latin-1 becomes ?")
        << "n" << QString::fromUtf8("/tmp/\u65e5.txt") << QByteArray("n_/tmp/?.txt");
}

void tst_TransferNames::uploadId()
{
    QFETCH(QString, nodeId);
    QFETCH(QString, path);
    QFETCH(QByteArray, hashed);
    const QString id = TransferNames::uploadId(nodeId, path);
    QCOMPARE(id, QString::fromLatin1(QCryptographicHash::hash(hashed, QCryptographicHash::Md5).toHex()));
    QCOMPARE(id.size(), 32);
    QCOMPARE(id, id.toLower());
    QVERIFY(TransferNames::uploadId(nodeId + QLatin1Char('x'), path) != id);
}

void tst_TransferNames::cleanOfferedName_data()
{
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("cleaned");
    QTest::newRow("asterisk stays") << "a:b?c*.txt"
                                    << "abc*.txt";
    QTest::newRow("every forbidden character") << "\\/:?\"|><x"
                                               << "x";
    QTest::newRow("path") << "../../etc/passwd"
                          << "....etcpasswd";
    QTest::newRow("windows path") << "C:\\Users\\x.doc"
                                  << "CUsersx.doc";
    QTest::newRow("ordinary") << "Report 2014 (final).pdf"
                              << "Report 2014 (final).pdf";
}

void tst_TransferNames::cleanOfferedName()
{
    QFETCH(QString, offered);
    QFETCH(QString, cleaned);
    QCOMPARE(TransferNames::cleanOfferedName(offered), cleaned);
}

void tst_TransferNames::safeLocalName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("safe");
    const QString fallback = QString::fromLatin1(TransferNames::kFallbackName);
    QTest::newRow("ordinary") << "abc*.txt"
                              << "abc*.txt";
    QTest::newRow("empty") << "" << fallback;
    QTest::newRow("dot") << "." << fallback;
    QTest::newRow("dot dot") << ".." << fallback;
    QTest::newRow("blank") << "   " << fallback;
    QTest::newRow("three dots are a name") << "..."
                                           << "...";
    QTest::newRow("hidden file") << ".bashrc"
                                 << ".bashrc";
    QTest::newRow("separators") << "a/b\\c"
                                << "abc";
    QTest::newRow("separators only") << "/" << fallback;
    QTest::newRow("separators around dots") << "/../" << fallback;
    QTest::newRow("control characters") << "a\nb\tc\x7f.txt"
                                        << "abc.txt";
    QTest::newRow("control characters only") << "\n\r" << fallback;
}

void tst_TransferNames::safeLocalName()
{
    QFETCH(QString, name);
    QFETCH(QString, safe);
    QCOMPARE(TransferNames::safeLocalName(name), safe);
    QCOMPARE(TransferNames::safeLocalName(safe), safe);
    QVERIFY(TransferNames::staysInFolder(QDir::tempPath() + QLatin1Char('/'), TransferNames::safeLocalName(name)));
}

void tst_TransferNames::safeLocalNameShortensLongNames()
{
    const QString longName = QString(300, QLatin1Char('a')) + QStringLiteral(".pdf");
    const QString safe = TransferNames::safeLocalName(longName);
    QVERIFY(safe.toUtf8().size() <= 200);
    QVERIFY(safe.endsWith(QStringLiteral(".pdf")));
    QVERIFY(safe.startsWith(QStringLiteral("aaaa")));
    QCOMPARE(TransferNames::safeLocalName(safe), safe);

    // Multi-byte characters count by their encoded size, and none is cut in half.
    const QString wide = QString(150, QChar(0x65e5)) + QStringLiteral(".txt");
    const QString safeWide = TransferNames::safeLocalName(wide);
    QVERIFY(safeWide.toUtf8().size() <= 200);
    QVERIFY(safeWide.endsWith(QStringLiteral(".txt")));
    QCOMPARE(QString::fromUtf8(safeWide.toUtf8()), safeWide);

    // A peer may send a name as large as a message can be; shortening it must not depend on its length squared.
    const QString huge = QString(8 * 1024 * 1024, QLatin1Char('h')) + QStringLiteral(".iso");
    QCOMPARE(TransferNames::safeLocalName(huge), QString(196, QLatin1Char('h')) + QStringLiteral(".iso"));

    const QString emoji = QString::fromUtf8("\xf0\x9f\x98\x80").repeated(100);
    const QString safeEmoji = TransferNames::safeLocalName(emoji);
    QVERIFY(safeEmoji.toUtf8().size() <= 200);
    QVERIFY(!safeEmoji.back().isHighSurrogate());
    QCOMPARE(QString::fromUtf8(safeEmoji.toUtf8()), safeEmoji);
}

void tst_TransferNames::backupName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("backup");
    QTest::newRow("with suffix") << "report.pdf"
                                 << "report_veskbackup_20140307_154501.pdf";
    QTest::newRow("without suffix") << "notes"
                                    << "notes_veskbackup_20140307_154501.";
    QTest::newRow("two dots") << "archive.tar.gz"
                              << "archive.tar_veskbackup_20140307_154501.gz";
}

void tst_TransferNames::backupName()
{
    QFETCH(QString, name);
    QFETCH(QString, backup);
    const QDateTime when(QDate(2014, 3, 7), QTime(15, 45, 1));
    QCOMPARE(TransferNames::backupName(name, when), backup);
    // Hours run from 00 to 23.
    const QDateTime evening(QDate(2014, 3, 7), QTime(21, 5, 9));
    QVERIFY(TransferNames::backupName(name, evening).contains(QStringLiteral("_20140307_210509")));
}

void tst_TransferNames::numberedName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("numbered");
    QTest::newRow("with suffix") << "report.pdf" << 2 << "report (2).pdf";
    QTest::newRow("without suffix") << "notes" << 3 << "notes (3)";
    QTest::newRow("hidden file") << ".profile" << 2 << ".profile (2)";
    QTest::newRow("two dots") << "a.tar.gz" << 12 << "a.tar (12).gz";
}

void tst_TransferNames::numberedName()
{
    QFETCH(QString, name);
    QFETCH(int, n);
    QFETCH(QString, numbered);
    QCOMPARE(TransferNames::numberedName(name, n), numbered);
}

void tst_TransferNames::mayOpenAutomatically_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("open");
    QTest::newRow("setup.exe") << "setup.exe" << false;
    QTest::newRow("SETUP.EXE") << "SETUP.EXE" << false;
    QTest::newRow("Setup.Exe") << "Setup.Exe" << false;
    QTest::newRow("run.bat") << "run.bat" << false;
    QTest::newRow("script.vb") << "script.vb" << false;
    QTest::newRow("script.vbs") << "script.vbs" << false;
    QTest::newRow("trailing dot") << "setup.exe." << false;
    QTest::newRow("launcher") << "notes.desktop" << false;
    QTest::newRow("shell script") << "install.sh" << false;
    QTest::newRow("AppImage") << "Tool-x86_64.AppImage" << false;
    QTest::newRow("installer") << "setup.run" << false;
    QTest::newRow("Java") << "game.jar" << false;
    QTest::newRow("Python") << "tool.PY" << false;
    QTest::newRow("package") << "vesk_0.1.0_amd64.deb" << false;
    QTest::newRow("photo.jpg") << "photo.jpg" << true;
    QTest::newRow("PDF in capitals") << "REPORT.PDF" << true;
    QTest::newRow("no suffix") << "exe" << true;
    QTest::newRow("double suffix") << "a.exe.txt" << true;
    QTest::newRow("suffix that only starts like one") << "notes.shtml" << true;
}

void tst_TransferNames::mayOpenAutomatically()
{
    QFETCH(QString, name);
    QFETCH(bool, open);
    QCOMPARE(TransferNames::mayOpenAutomatically(name), open);
}

void tst_TransferNames::mayOpenReceivedFile_data()
{
    // The file is written under the offered name; content "copy:<path>" copies that file instead.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("executableBit");
    QTest::addColumn<bool>("open");

    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImage picture(4, 4, QImage::Format_RGB32);
    picture.fill(Qt::darkGreen);
    picture.save(&buffer, "PNG");

    QTest::newRow("plain text") << "notes.txt" << QByteArray("just some notes\n") << false << true;
    QTest::newRow("PNG picture") << "photo.png" << png << false << true;
    QTest::newRow("shell script named notes.txt")
        << "notes.txt" << QByteArray("#!/bin/sh\nrm -rf ~\n") << false << false;
    QTest::newRow("Python script named notes.txt")
        << "notes.txt" << QByteArray("#!/usr/bin/env python3\nimport os\n") << false << false;
    QTest::newRow("program named photo.jpg") << "photo.jpg" << QByteArray("copy:/bin/true") << false << false;
    QTest::newRow("launcher named notes.txt")
        << "notes.txt" << QByteArray("[Desktop Entry]\nType=Application\nName=Start\nExec=sh -c true\n") << false
        << false;
    QTest::newRow("plain text with an execute bit") << "notes.txt" << QByteArray("just some notes\n") << true << false;
    QTest::newRow("refused by name") << "setup.exe" << QByteArray("just some notes\n") << false << false;
}

void tst_TransferNames::mayOpenReceivedFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(bool, executableBit);
    QFETCH(bool, open);

    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString path = folder.filePath(name);
    if (content.startsWith("copy:")) {
        QVERIFY(QFile::copy(QString::fromLatin1(content.mid(5)), path));
        // A copy keeps the original's permissions: only the content is to speak here.
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    } else {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    }
    if (executableBit)
        QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner));

    QCOMPARE(TransferNames::mayOpenAutomatically(name, path), open);
}

void tst_TransferNames::mayOpenReceivedFileOnlyWhenItIsThere()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QVERIFY(!TransferNames::mayOpenAutomatically("notes.txt", folder.filePath("notes.txt")));
    QVERIFY(QDir(folder.path()).mkdir("notes.txt"));
    QVERIFY(!TransferNames::mayOpenAutomatically("notes.txt", folder.filePath("notes.txt")));
}

void tst_TransferNames::staysInFolder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("inside");
    QTest::newRow("ordinary") << "a.txt" << true;
    QTest::newRow("three dots") << "..." << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("up and out") << "../x" << false;
    QTest::newRow("sub folder") << "sub/x" << false;
    QTest::newRow("backslash") << "..\\x" << false;
}

void tst_TransferNames::staysInFolder()
{
    QFETCH(QString, name);
    QFETCH(bool, inside);
    QCOMPARE(TransferNames::staysInFolder(QDir::tempPath() + QLatin1Char('/'), name), inside);
}

QTEST_APPLESS_MAIN(tst_TransferNames)
#include "tst_transfernames.moc"
