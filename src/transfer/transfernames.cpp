#include "transfer/transfernames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QMimeType>
#include <QSet>
#include <QRegularExpression>

#include <algorithm>

namespace Vesk::TransferNames {

namespace {
// Most file systems allow 255 bytes per name. Keep well below, so that a numbered or backup variant of the name
// ("_veskbackup_20140307_154501", " (12)") still fits.
constexpr qsizetype kMaxNameBytes = 200;

// Splits at the last dot: "archive.tar.gz" -> ("archive.tar", "gz"); "notes" -> ("notes", null).
void splitAtLastDot(const QString& fileName, QString* base, QString* suffix)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) {
        *base = fileName;
        *suffix = QString();
        return;
    }
    *base = fileName.left(dot);
    *suffix = fileName.mid(dot + 1);
}

// Suffixes of what a desktop (Linux, Windows or macOS) runs, installs or hands to an interpreter when asked to
// open it. Compared in lower case.
bool isRunnableSuffix(const QString& suffix)
{
    static const QSet<QString> runnable = {
        // Linux launchers, scripts and binaries
        QStringLiteral("desktop"),
        QStringLiteral("sh"),
        QStringLiteral("bash"),
        QStringLiteral("zsh"),
        QStringLiteral("csh"),
        QStringLiteral("ksh"),
        QStringLiteral("fish"),
        QStringLiteral("run"),
        QStringLiteral("bin"),
        QStringLiteral("appimage"),
        QStringLiteral("elf"),
        QStringLiteral("out"),
        QStringLiteral("so"),
        QStringLiteral("ko"),
        // interpreters
        QStringLiteral("jar"),
        QStringLiteral("py"),
        QStringLiteral("pyc"),
        QStringLiteral("pyo"),
        QStringLiteral("pyw"),
        QStringLiteral("pl"),
        QStringLiteral("pm"),
        QStringLiteral("rb"),
        QStringLiteral("php"),
        QStringLiteral("js"),
        QStringLiteral("mjs"),
        QStringLiteral("jse"),
        QStringLiteral("lua"),
        QStringLiteral("tcl"),
        // Windows
        QStringLiteral("exe"),
        QStringLiteral("bat"),
        QStringLiteral("cmd"),
        QStringLiteral("com"),
        QStringLiteral("vb"),
        QStringLiteral("vbs"),
        QStringLiteral("vbe"),
        QStringLiteral("wsf"),
        QStringLiteral("wsh"),
        QStringLiteral("msi"),
        QStringLiteral("msp"),
        QStringLiteral("ps1"),
        QStringLiteral("psm1"),
        QStringLiteral("scr"),
        QStringLiteral("pif"),
        QStringLiteral("lnk"),
        QStringLiteral("hta"),
        QStringLiteral("cpl"),
        QStringLiteral("reg"),
        QStringLiteral("dll"),
        // macOS
        QStringLiteral("command"),
        QStringLiteral("app"),
        QStringLiteral("pkg"),
        // packages that a software centre installs
        QStringLiteral("deb"),
        QStringLiteral("rpm"),
        QStringLiteral("flatpak"),
        QStringLiteral("flatpakref"),
        QStringLiteral("flatpakrepo"),
        QStringLiteral("snap"),
    };
    return runnable.contains(suffix.toLower());
}

// Whether the type, or anything it is a kind of, is a program, a script, a launcher or an installable package.
bool isRunnableMimeType(const QMimeType& type)
{
    static const QSet<QString> runnable = {
        QStringLiteral("application/x-executable"),
        QStringLiteral("application/x-sharedlib"),
        QStringLiteral("application/x-pie-executable"),
        QStringLiteral("application/x-core"),
        QStringLiteral("application/x-object"),
        QStringLiteral("application/x-desktop"),
        QStringLiteral("application/x-shellscript"),
        QStringLiteral("application/x-csh"),
        QStringLiteral("application/x-perl"),
        QStringLiteral("application/x-ruby"),
        QStringLiteral("application/x-php"),
        QStringLiteral("application/javascript"),
        QStringLiteral("text/javascript"),
        QStringLiteral("application/java-archive"),
        QStringLiteral("application/x-java-archive"),
        QStringLiteral("application/x-ms-dos-executable"),
        QStringLiteral("application/x-msdownload"),
        QStringLiteral("application/x-msi"),
        QStringLiteral("application/x-ms-shortcut"),
        QStringLiteral("application/x-bat"),
        QStringLiteral("application/vnd.appimage"),
        QStringLiteral("application/x-iso9660-appimage"),
        QStringLiteral("application/vnd.debian.binary-package"),
        QStringLiteral("application/x-rpm"),
        QStringLiteral("application/vnd.flatpak"),
        QStringLiteral("application/vnd.flatpak.ref"),
        QStringLiteral("application/vnd.flatpak.repo"),
        QStringLiteral("application/vnd.snap"),
    };
    if (!type.isValid())
        return false;
    QStringList names = type.allAncestors();
    names << type.name() << type.aliases();
    for (const QString& name : std::as_const(names)) {
        if (runnable.contains(name) || name.startsWith(QLatin1String("application/x-python")) ||
            name.startsWith(QLatin1String("text/x-python")))
            return true;
    }
    return false;
}

QString shortenToBytes(const QString& text, qsizetype maxBytes)
{
    // Every character takes at least one byte, so no more than maxBytes of them can fit; cutting there first keeps
    // the loop short however long the name a peer sent.
    QString shortened = text.left(maxBytes);
    while (!shortened.isEmpty() && shortened.toUtf8().size() > maxBytes) {
        shortened.chop(1);
        // Never leave half of a surrogate pair behind.
        if (!shortened.isEmpty() && shortened.back().isHighSurrogate())
            shortened.chop(1);
    }
    return shortened;
}
} // namespace

QString uploadId(const QString& nodeId, const QString& absoluteFilePath)
{
    const QString text = nodeId + QLatin1Char('_') + absoluteFilePath;
    // Latin-1 gives the ids that offers already made and stored carry. But it turns every other character into
    // "?": "照片.jpg" and "文件.jpg" in one folder would share an id, and the second offer would replace the first.
    const bool latin1 = std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() <= 0xff; });
    const QByteArray bytes = latin1 ? text.toLatin1() : text.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QString cleanOfferedName(const QString& offeredName)
{
    static const QRegularExpression forbidden(QStringLiteral("[\\\\/:?\"|><]"));
    QString cleaned = offeredName;
    cleaned.remove(forbidden);
    return cleaned;
}

QString safeLocalName(const QString& name)
{
    QString safe;
    safe.reserve(name.size());
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            continue;
        if (c == QLatin1Char('/') || c == QLatin1Char('\\'))
            continue;
        safe += c;
    }
    if (safe.trimmed().isEmpty() || safe == QLatin1String(".") || safe == QLatin1String(".."))
        return QString::fromLatin1(kFallbackName);

    if (safe.toUtf8().size() > kMaxNameBytes) {
        QString base, suffix;
        splitAtLastDot(safe, &base, &suffix);
        // A "suffix" that is itself most of the name is no suffix worth keeping.
        if (suffix.isNull() || suffix.toUtf8().size() > kMaxNameBytes / 4) {
            safe = shortenToBytes(safe, kMaxNameBytes);
        } else {
            const qsizetype suffixBytes = suffix.toUtf8().size() + 1;
            safe = shortenToBytes(base, kMaxNameBytes - suffixBytes) + QLatin1Char('.') + suffix;
        }
        if (safe.trimmed().isEmpty() || safe == QLatin1String(".") || safe == QLatin1String(".."))
            return QString::fromLatin1(kFallbackName);
    }
    return safe;
}

namespace {
// Names Windows gives to devices in every folder: a file "con.txt" there is the console, not a file.
bool isDeviceName(const QString& component)
{
    static const QRegularExpression device(QStringLiteral("^(con|prn|aux|nul|com[0-9]|lpt[0-9])$"),
                                           QRegularExpression::CaseInsensitiveOption);
    // Windows ignores what follows the first dot and any trailing blanks: "NUL .tar.gz" is the device as well.
    const QString stem = component.section(QLatin1Char('.'), 0, 0);
    return device.match(stem.trimmed()).hasMatch();
}

bool isDriveLetter(const QString& component)
{
    return component.size() == 2 && component.at(1) == QLatin1Char(':') && component.at(0).isLetter() &&
           component.at(0).unicode() < 0x80;
}
} // namespace

QString cleanPathComponent(const QString& component)
{
    const QString cleaned = cleanOfferedName(component);
    QString visible;
    for (const QChar c : cleaned)
        if (c.unicode() >= 0x20 && c.unicode() != 0x7f)
            visible += c;
    if (visible.trimmed().isEmpty() || visible == QLatin1String(".") || visible == QLatin1String(".."))
        return QString();
    QString safe = safeLocalName(visible);
    if (safe == QLatin1String(kFallbackName) && visible != safe)
        return QString();
    if (isDeviceName(safe))
        safe.prepend(QLatin1Char('_'));
    return safeLocalName(safe);
}

QString cleanRelativePath(const QString& offeredPath)
{
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    const QStringList parts = offeredPath.split(separators, Qt::SkipEmptyParts);
    QStringList kept;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i == 0 && isDriveLetter(parts.at(i)))
            continue;
        const QString component = cleanPathComponent(parts.at(i));
        if (!component.isEmpty())
            kept.append(component);
    }
    const QString path = kept.join(QLatin1Char('/'));
    if (path.isEmpty() || path.toUtf8().size() > kMaxRelativePathBytes)
        return QString();
    return path;
}

QString backupName(const QString& fileName, const QDateTime& when)
{
    QString base, suffix;
    splitAtLastDot(fileName, &base, &suffix);
    return base + QLatin1String("_veskbackup_") + when.toString(QStringLiteral("yyyyMMdd_HHmmss")) + QLatin1Char('.') +
           suffix;
}

QString numberedName(const QString& fileName, int n)
{
    QString base, suffix;
    splitAtLastDot(fileName, &base, &suffix);
    // A leading dot starts a hidden name, not a suffix: ".profile" -> ".profile (2)".
    if (base.isEmpty())
        return fileName + QStringLiteral(" (%1)").arg(n);
    const QString numbered = base + QStringLiteral(" (%1)").arg(n);
    return suffix.isNull() ? numbered : numbered + QLatin1Char('.') + suffix;
}

bool mayOpenAutomatically(const QString& fileName)
{
    // Windows drops trailing dots and spaces from names, so "setup.exe." would still run there.
    QString trimmed = fileName;
    while (!trimmed.isEmpty() && (trimmed.back() == QLatin1Char('.') || trimmed.back().isSpace()))
        trimmed.chop(1);
    QString base, suffix;
    splitAtLastDot(trimmed, &base, &suffix);
    if (suffix == QLatin1String("exe") || suffix == QLatin1String("bat") || suffix == QLatin1String("vb"))
        return false;
    return !isRunnableSuffix(suffix);
}

bool mayOpenAutomatically(const QString& fileName, const QString& path)
{
    if (!mayOpenAutomatically(fileName))
        return false;
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable())
        return false;
    constexpr QFileDevice::Permissions kAnyExecute =
        QFileDevice::ExeOwner | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther;
    if (info.permissions() & kAnyExecute)
        return false;
    // The name on disk may differ from the offered one (a numbered variant), and the content may contradict both:
    // the desktop opens by whichever it trusts, so both must be harmless.
    const QMimeDatabase mimeDatabase;
    return !isRunnableMimeType(mimeDatabase.mimeTypeForFile(info, QMimeDatabase::MatchDefault)) &&
           !isRunnableMimeType(mimeDatabase.mimeTypeForFile(info, QMimeDatabase::MatchContent));
}

bool staysInFolder(const QString& folder, const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || name.contains(QChar(0)))
        return false;
    const QString parent = QFileInfo(QDir::fromNativeSeparators(folder) + name).absolutePath();
    return QDir::cleanPath(parent) == QDir::cleanPath(QFileInfo(QDir::fromNativeSeparators(folder)).absoluteFilePath());
}

} // namespace Vesk::TransferNames
