#pragma once

#include <QLocale>
#include <QString>

// Why a download cannot write its file, in words the user can act on: its row shows them and a notice tells them
// once when the download is paused for it. A download is checked before it starts (the rest of the file must fit,
// the folder must take files) and after a write failed, so a full or read-only disk pauses it with its reason
// instead of leaving it to stall.
namespace Vesk::DiskProblems {

enum class Kind { None, NoSpace, ReadOnly, NoPermission, Other };

// What an error number (errno) of a failed open or write says about the disk.
Kind kindOf(int error);
// The bytes a folder lacks for the rest of a download (`have` of `wanted` are there): 0 when the rest fits.
qint64 missingBytes(qint64 available, qint64 have, qint64 wanted);
// Why a download into the folder named `folderName` cannot go on, empty when it can: from the error number of a
// failed open or write (0 when none failed) with the system's words for it (`detail`), and the bytes available.
QString decide(const QString& folderName, int error, qint64 available, qint64 have, qint64 wanted,
               const QString& detail, const QLocale& locale = QLocale());

// Looks at the folder (which ends with a separator) now: empty when `have` of `wanted` bytes are there and the
// rest can be written, else the reason why not.
QString checkFolder(const QString& folder, qint64 have, qint64 wanted);
// A write into the folder failed with this error number (0 when unknown) and the system's words for it: the
// reason, from the error when it tells, else from a look at the folder.
QString afterFailure(const QString& folder, qint64 have, qint64 wanted, int error, const QString& detail);

} // namespace Vesk::DiskProblems
