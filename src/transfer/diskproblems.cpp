#include "transfer/diskproblems.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <cerrno>
#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace Vesk::DiskProblems {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("DiskProblems", text);
}

QString folderNameOf(const QString& folder)
{
    const QString name = QDir(folder).dirName();
    return name.isEmpty() ? QDir::toNativeSeparators(folder) : name;
}

// Whether files can be made in the folder, as an error number (0: they can). Root passes permission checks, so
// only trying tells; access() also reports a read-only file system.
int writableError(const QString& folder)
{
#ifdef Q_OS_UNIX
    errno = 0;
    return ::access(QFile::encodeName(folder).constData(), W_OK) == 0 ? 0 : errno;
#else
    return QFileInfo(folder).isWritable() ? 0 : EACCES;
#endif
}

} // namespace

Kind kindOf(int error)
{
    switch (error) {
    case 0:
        return Kind::None;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG:
        return Kind::NoSpace;
    case EROFS:
        return Kind::ReadOnly;
    case EACCES:
    case EPERM:
        return Kind::NoPermission;
    default:
        return Kind::Other;
    }
}

qint64 missingBytes(qint64 available, qint64 have, qint64 wanted)
{
    const qint64 rest = qMax<qint64>(0, wanted - qMax<qint64>(0, have));
    return qMax<qint64>(0, rest - qMax<qint64>(0, available));
}

QString decide(const QString& folderName, int error, qint64 available, qint64 have, qint64 wanted,
               const QString& detail, const QLocale& locale)
{
    const Kind kind = kindOf(error);
    if (kind == Kind::None || kind == Kind::NoSpace) {
        const qint64 missing = missingBytes(available, have, wanted);
        if (missing > 0) {
            // The size as the lists show sizes: one decimal below 100 of a unit ("14.8 MB").
            double scaled = double(missing);
            while (scaled >= 1000)
                scaled /= 1000;
            const int decimals = missing >= 1000 && scaled < 99.95 ? 1 : 0;
            return tr("Not enough space in %1: %2 more needed")
                .arg(folderName, locale.formattedDataSize(missing, decimals, QLocale::DataSizeSIFormat));
        }
        // The disk said it is full though the numbers say the rest fits (space reserved, or taken meanwhile).
        return kind == Kind::None ? QString() : tr("Not enough space in %1").arg(folderName);
    }
    if (kind == Kind::ReadOnly)
        return tr("%1 is on a read-only disk: choose another downloads folder").arg(folderName);
    if (kind == Kind::NoPermission)
        return tr("Vesk may not write into %1: choose another downloads folder").arg(folderName);
    return detail.isEmpty() ? tr("Could not write into %1").arg(folderName)
                            : tr("Could not write into %1: %2").arg(folderName, detail);
}

QString checkFolder(const QString& folder, qint64 have, qint64 wanted)
{
    const QString name = folderNameOf(folder);
    if (!QFileInfo(folder).isDir())
        return decide(name, ENOTDIR, 0, have, wanted, tr("it is not a folder"));
    const QStorageInfo storage(folder);
    int error = writableError(folder);
    if (!error && storage.isValid() && storage.isReadOnly())
        error = EROFS;
    // Nothing known about the space: the writes will tell.
    const qint64 available = storage.isValid() ? storage.bytesAvailable() : wanted;
    return decide(name, error, available, have, wanted, error ? qt_error_string(error) : QString());
}

QString afterFailure(const QString& folder, qint64 have, qint64 wanted, int error, const QString& detail)
{
    const QString name = folderNameOf(folder);
    const Kind kind = kindOf(error);
    if (kind == Kind::NoSpace) {
        const QStorageInfo storage(folder);
        return decide(name, error, storage.isValid() ? storage.bytesAvailable() : 0, have, wanted, detail);
    }
    if (kind != Kind::Other && kind != Kind::None)
        return decide(name, error, 0, have, wanted, detail);
    // The error does not tell (or was lost on the way): the folder as it is now does, else the system's words.
    const QString seen = checkFolder(folder, have, wanted);
    return !seen.isEmpty() ? seen : decide(name, error ? error : EIO, 0, have, wanted, detail);
}

} // namespace Vesk::DiskProblems
