#include "app/commandline.h"

#ifndef VESK_VERSION
#error "VESK_VERSION (the project version) must be defined for the app sources"
#endif

namespace Vesk::CommandLine {

namespace {

// Options that Qt's application objects take from the command line themselves, by name without the leading dash
// (Qt accepts one dash or two). Those with a value take it from the next argument or after "=".
const QStringList kQtOptionsWithValue = {
    QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
    QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
    QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
    QStringLiteral("qwindowtitle"),    QStringLiteral("session"),
    QStringLiteral("display"),         QStringLiteral("geometry"),
    QStringLiteral("style"),           QStringLiteral("stylesheet"),
    QStringLiteral("qmljsdebugger"),
};
const QStringList kQtFlags = {
    QStringLiteral("reverse"), QStringLiteral("widgetcount"), QStringLiteral("nograb"),
    QStringLiteral("dograb"),  QStringLiteral("sync"),
};

QString usage()
{
    return QStringLiteral("Usage: vesk [OPTION]...\n"
                          "Chat and share files with the people on your local network, without a server.\n"
                          "\n"
                          "  -h, --help       show this help and exit\n"
                          "  -v, --version    show the version and exit\n"
                          "\n"
                          "Qt's own options (-platform, -style, -display, -qwindowtitle, ...) are passed on to Qt.\n"
                          "Started while it already runs, vesk brings its window forward instead.\n");
}

Decision refuse(const QString& why)
{
    return {Action::Refuse, kUsageExitCode, QStringLiteral("vesk: ") + why + QLatin1Char('\n') + usage()};
}

// The option's name without its dashes and without an "=value" part: "--style=fusion" -> "style".
QString optionName(const QString& argument)
{
    QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    const qsizetype equals = name.indexOf(QLatin1Char('='));
    return equals < 0 ? name : name.left(equals);
}

} // namespace

QString versionText()
{
    return QStringLiteral("vesk " VESK_VERSION);
}

Decision decide(const QStringList& arguments)
{
    bool help = false;
    bool version = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            help = true;
            continue;
        }
        if (argument == QLatin1String("-v") || argument == QLatin1String("--version")) {
            version = true;
            continue;
        }
        if (argument.size() < 2 || !argument.startsWith(QLatin1Char('-')))
            return refuse(QStringLiteral("unexpected argument '%1'").arg(argument));
        const QString name = optionName(argument);
        if (kQtFlags.contains(name) && !argument.contains(QLatin1Char('=')))
            continue;
        if (kQtOptionsWithValue.contains(name)) {
            if (argument.contains(QLatin1Char('=')))
                continue;
            if (i + 1 >= arguments.size())
                return refuse(QStringLiteral("option '%1' needs a value").arg(argument));
            ++i;
            continue;
        }
        return refuse(QStringLiteral("unknown option '%1'").arg(argument));
    }
    if (help)
        return {Action::PrintHelp, 0, usage()};
    if (version)
        return {Action::PrintVersion, 0, versionText() + QLatin1Char('\n')};
    return {};
}

} // namespace Vesk::CommandLine
