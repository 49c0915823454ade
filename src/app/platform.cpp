#include "app/platform.h"

#ifdef VESK_HAVE_XCB
#include <QGuiApplication>
#include <QWidget>
#include <xcb/xcb.h>

#include <cstdlib>
#endif

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QSettings>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUuid>

namespace {

constexpr const char* kFallbackAvatar = "qrc:/qml/Vesk/pics/ui/bl-avatar-default.png";

QString folderUnder(QStandardPaths::StandardLocation location, const QString& leaf)
{
    QString base = QStandardPaths::writableLocation(location);
    if (base.isEmpty())
        base = QDir::homePath();
    const QString path = QDir::toNativeSeparators(base + QLatin1Char('/') + leaf + QLatin1Char('/'));
    QDir().mkpath(path);
    return path;
}

QStringList accountPictureCandidates(const QString& name)
{
    QStringList candidates;
#ifdef Q_OS_WIN
    const auto env = [](const char* key) {
        return QString::fromLocal8Bit(qgetenv(key));
    };
    const QString appDataDir = QFileInfo(env("APPDATA")).fileName();
    candidates << env("LOCALAPPDATA") + "\\Temp\\" + name + ".bmp"
               << env("PROGRAMDATA") + "\\Microsoft\\User Account Pictures\\Guest.bmp"
               << env("ALLUSERSPROFILE") + "\\" + appDataDir + "\\Microsoft\\User Account Pictures\\" + name + ".bmp"
               << env("ALLUSERSPROFILE") + "\\" + appDataDir + "\\Microsoft\\User Account Pictures\\Guest.bmp";
#else
    candidates << QStringLiteral("/var/lib/AccountsService/icons/") + name << QDir::homePath() + "/.face"
               << QDir::homePath() + "/.face.icon";
#endif
    return candidates;
}

} // namespace

QString dataFolderPath()
{
    return folderUnder(QStandardPaths::AppLocalDataLocation, QStringLiteral("VeskData"));
}

QString downloadsFolderPath()
{
    return folderUnder(QStandardPaths::DocumentsLocation, QStringLiteral("VeskDownloads"));
}

QString osName()
{
#ifdef Q_OS_WIN
    const QString version = QSysInfo::productVersion();
    if (version == QLatin1String("7"))
        return QStringLiteral("Windows 7");
    if (version == QLatin1String("vista"))
        return QStringLiteral("Windows Vista");
    if (version == QLatin1String("xp"))
        return QStringLiteral("Windows XP");
    if (version == QLatin1String("2003"))
        return QStringLiteral("Windows 2003");
    return QStringLiteral("Windows");
#else
    const QString pretty = QSysInfo::prettyProductName().trimmed();
    return pretty.isEmpty() ? QStringLiteral("Linux") : pretty;
#endif
}

QString userName()
{
    QString name = QString::fromLocal8Bit(qgetenv("USERNAME"));
    if (name.isEmpty())
        name = QString::fromLocal8Bit(qgetenv("USER"));
    if (name.isEmpty())
        name = QStringLiteral("Unknown");
    return name;
}

QString defaultAvatarPath()
{
    QString name = userName();
    name.replace(QLatin1Char('\\'), QLatin1Char('+'));
    QString found;
    for (const QString& candidate : accountPictureCandidates(name)) {
        if (QFileInfo(candidate).isFile()) {
            found = candidate;
            break;
        }
    }
    if (found.isEmpty())
        return QString::fromLatin1(kFallbackAvatar);

    // AccountsService icons and ~/.face carry no real suffix: name the copy after the image format it holds, so
    // that it loads as what it is.
    QString suffix = QString::fromLatin1(QImageReader::imageFormat(found));
    if (suffix.isEmpty())
        suffix = QFileInfo(found).suffix();
    const QString destination = dataFolderPath() + QStringLiteral("avatar.") + suffix;
    if (QFileInfo(destination).absoluteFilePath() == QFileInfo(found).absoluteFilePath())
        return destination;
    QFile::remove(destination);
    if (!QFile::copy(found, destination))
        return QString::fromLatin1(kFallbackAvatar);
    return destination;
}

QString machineGuid()
{
#ifdef Q_OS_WIN
    QSettings registry(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Cryptography"),
                       QSettings::NativeFormat);
    return registry.value(QStringLiteral("MachineGuid")).toString();
#else
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        QFile file(QString::fromLatin1(path));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray id = file.read(256).trimmed();
        if (!id.isEmpty())
            return Vesk::Platform::nodeIdFromMachineId(id);
    }
    return QString();
#endif
}

namespace Vesk::Platform {

QString workingDirectoryFor(const QString& executableDir)
{
    const QString path = QDir::cleanPath(QDir(executableDir).absolutePath());
    const QString last = QFileInfo(path).fileName().toLower();
    if (last == QLatin1String("debug") || last == QLatin1String("release"))
        return QFileInfo(path).absolutePath();
    return path;
}

QString autostartEntryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/vesk.desktop");
}

bool registerStartOnLogin(bool run, const QString& executablePath)
{
#ifdef Q_OS_WIN
    QSettings runKey(QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"),
                     QSettings::NativeFormat);
    if (run)
        runKey.setValue(QStringLiteral("Vesk"), QString(executablePath).replace(QLatin1Char('/'), QLatin1Char('\\')));
    else
        runKey.remove(QStringLiteral("Vesk"));
    runKey.sync();
    return runKey.status() == QSettings::NoError;
#else
    const QString path = autostartEntryPath();
    if (!run)
        return !QFileInfo::exists(path) || QFile::remove(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile entry(path);
    if (!entry.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    // Exec takes a quoted path so folders with blanks start correctly.
    QString exec = executablePath;
    exec.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
    const QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=Vesk\n"
                                        "Comment=Chat and share files on your local network\n"
                                        "Exec=\"%1\"\nIcon=vesk\nTerminal=false\nX-GNOME-Autostart-enabled=true\n")
                             .arg(exec);
    return entry.write(text.toUtf8()) > 0 && entry.flush();
#endif
}

QString nodeIdFromMachineId(const QByteArray& machineId)
{
    // A keyed hash: peers get a stable id per installation without learning the machine id itself.
    const QByteArray keyed = QByteArrayLiteral("vesk/node-id/v1:") + machineId.trimmed();
    QByteArray digest = QCryptographicHash::hash(keyed, QCryptographicHash::Sha256).left(16);
    digest[6] = char((digest[6] & 0x0f) | 0x50); // version 5 (name-based)
    digest[8] = char((digest[8] & 0x3f) | 0x80); // RFC 4122 variant
    return QUuid::fromRfc4122(digest).toString();
}

void keepOffTaskbar(QWidget* window)
{
#ifdef VESK_HAVE_XCB
    // Other platforms (offscreen, wayland) may still answer as X11 applications, without a connection.
    if (!window || QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return;
    const auto atom = [connection](const char* name) {
        xcb_intern_atom_reply_t* reply =
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, uint16_t(qstrlen(name)), name), nullptr);
        const xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return found;
    };
    // Qt keeps the state atoms it does not manage itself when it maps the window.
    const xcb_atom_t skip[] = {atom("_NET_WM_STATE_SKIP_TASKBAR"), atom("_NET_WM_STATE_SKIP_PAGER")};
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, xcb_window_t(window->winId()), atom("_NET_WM_STATE"),
                        XCB_ATOM_ATOM, 32, 2, skip);
    xcb_flush(connection);
#else
    Q_UNUSED(window);
#endif
}

} // namespace Vesk::Platform
