#include "app/commandline.h"

#include <QTest>

using Vesk::CommandLine::Action;

class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decide_data();
    void decide();
};

void TestCommandLine::decide_data()
{
    QTest::addColumn<QStringList>("arguments"); // after the program's name
    QTest::addColumn<Action>("action");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says"); // a part of the printed text

    QTest::newRow("nothing") << QStringList{} << Action::Run << 0 << "";
    QTest::newRow("--help") << QStringList{"--help"} << Action::PrintHelp << 0 << "Usage: vesk";
    QTest::newRow("-h") << QStringList{"-h"} << Action::PrintHelp << 0 << "--version";
    QTest::newRow("--version") << QStringList{"--version"} << Action::PrintVersion << 0 << "vesk " VESK_VERSION "\n";
    QTest::newRow("-v") << QStringList{"-v"} << Action::PrintVersion << 0 << "vesk " VESK_VERSION "\n";
    QTest::newRow("help before version") << QStringList{"--version", "--help"} << Action::PrintHelp << 0 << "Usage";

    QTest::newRow("Qt platform") << QStringList{"-platform", "offscreen"} << Action::Run << 0 << "";
    QTest::newRow("Qt platform, two dashes") << QStringList{"--platform", "xcb"} << Action::Run << 0 << "";
    QTest::newRow("Qt style with =") << QStringList{"-style=fusion"} << Action::Run << 0 << "";
    QTest::newRow("Qt display and title")
        << QStringList{"-display", ":1", "-qwindowtitle", "Vesk at work"} << Action::Run << 0 << "";
    QTest::newRow("Qt flag") << QStringList{"-reverse"} << Action::Run << 0 << "";
    QTest::newRow("Qt option and --version")
        << QStringList{"-platform", "offscreen", "--version"} << Action::PrintVersion << 0 << "vesk";

    QTest::newRow("unknown option") << QStringList{"--bogus"} << Action::Refuse << 2 << "unknown option '--bogus'";
    QTest::newRow("usage with the refusal") << QStringList{"-x"} << Action::Refuse << 2 << "Usage: vesk";
    QTest::newRow("unknown beside --help") << QStringList{"--help", "--bogus"} << Action::Refuse << 2 << "--bogus";
    QTest::newRow("Qt option without its value") << QStringList{"-platform"} << Action::Refuse << 2 << "needs a value";
    QTest::newRow("flag given a value") << QStringList{"-reverse=yes"} << Action::Refuse << 2 << "-reverse=yes";
    QTest::newRow("stray argument") << QStringList{"notes.txt"} << Action::Refuse << 2 << "'notes.txt'";
    QTest::newRow("lone dash") << QStringList{"-"} << Action::Refuse << 2 << "'-'";
    QTest::newRow("a value is not read as an option")
        << QStringList{"-qwindowtitle", "--bogus"} << Action::Run << 0 << "";
}

void TestCommandLine::decide()
{
    QFETCH(QStringList, arguments);
    QFETCH(Action, action);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    const Vesk::CommandLine::Decision decision =
        Vesk::CommandLine::decide(QStringList{QStringLiteral("/usr/bin/vesk")} + arguments);
    QCOMPARE(decision.action, action);
    QCOMPARE(decision.exitCode, exitCode);
    if (action == Action::Run)
        QVERIFY(decision.text.isEmpty());
    else
        QVERIFY2(decision.text.contains(says), qPrintable(decision.text));
}

QTEST_APPLESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
