#include "transfer/transfernames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

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
    const QByteArray text = (nodeId + QLatin1Char('_') + absoluteFilePath).toLatin1();
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex());
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
    QString base, suffix;
    splitAtLastDot(fileName, &base, &suffix);
    return suffix != QLatin1String("exe") && suffix != QLatin1String("bat") && suffix != QLatin1String("vb");
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
