#pragma once

#include <QString>
#include <QStringList>

// What the command line asks for, decided before anything of the program starts: "--help" and "--version" print
// and end at once, an unknown option ends with the usage, and everything else (no option at all, or Qt's own
// options such as -platform or -style, which Qt reads itself) starts the program.
namespace Vesk::CommandLine {

enum class Action {
    Run,          // start the program
    PrintHelp,    // print text on standard output, exit 0
    PrintVersion, // print text on standard output, exit 0
    Refuse,       // print text on standard error, exit 2
};

struct Decision
{
    Action action = Action::Run;
    int exitCode = 0;
    QString text;
};

constexpr int kUsageExitCode = 2;

// arguments as the process got them, the program's own name first.
Decision decide(const QStringList& arguments);

// "vesk 0.1.0"
QString versionText();

} // namespace Vesk::CommandLine
