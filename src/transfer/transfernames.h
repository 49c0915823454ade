#pragma once

#include <QDateTime>
#include <QString>

// Names and numbers of the file exchange that need no controller: upload ids, how an offered name becomes a local
// file name, backup and numbered names, the automatic-open rule and the limits of the wire's size fields.
namespace Vesk::TransferNames {

// The plain protocol's sizes and offsets are unsigned 32-bit: a file of this size or more can only be offered to a
// peer whose program takes large files (CapabilityLargeFiles), which gets its sizes in 64-bit fields.
constexpr qint64 kPlainSizeLimit = Q_INT64_C(4294967296);
// 256 TiB: past what the file systems in use hold in one file, so a larger size from the network is nonsense; and
// far enough below the 64-bit limit that no sum of offsets and sizes, nor the progress arithmetic, can overflow.
constexpr qint64 kLargestFileSize = Q_INT64_C(1) << 48;

// 32 lower-case hex digits of the MD5 of node id + "_" + absolute path, the text taken as Latin-1 where it fits
// there and as UTF-8 otherwise. The same file offered to the same peer always gets the same id, and two files
// get two ids, whatever script their names are in.
QString uploadId(const QString& nodeId, const QString& absoluteFilePath);

// The offered name with every \ / : ? " | > < removed (nothing else: "a:b?c*.txt" becomes "abc*.txt").
QString cleanOfferedName(const QString& offeredName);

// A name that can only ever denote a file directly inside the downloads folder: control characters are dropped,
// an empty name, "." or ".." (or anything still holding a separator) becomes kFallbackName, and a name longer
// than a file system allows is shortened, keeping its suffix. Idempotent.
QString safeLocalName(const QString& name);
constexpr const char* kFallbackName = "received file";

// One component of a received folder's path, cleaned like a received file name (cleanOfferedName, then
// safeLocalName's rules), and a device name of Windows (CON, NUL, COM1, LPT1..., any case, with or without a
// suffix) made harmless with a leading "_". Empty when nothing of it is left, or when it is "." or "..".
QString cleanPathComponent(const QString& component);

// A relative path as a peer offered it (forward or backward slashes), cleaned component by component: empty
// components, "." and ".." dropped, a drive letter ("C:") dropped, so the result is always relative and stays under
// the folder it is appended to. Components are joined with "/". A null string when nothing is left or the path is
// longer than kMaxRelativePathBytes.
QString cleanRelativePath(const QString& offeredPath);
constexpr qsizetype kMaxRelativePathBytes = 1000;
constexpr const char* kFallbackFolderName = "received folder";

// "report.pdf" moved aside on 7 March 2014 at 15:45:01 becomes "report_veskbackup_20140307_154501.pdf"; a name
// without a dot keeps a trailing dot ("notes_veskbackup_20140307_154501.").
QString backupName(const QString& fileName, const QDateTime& when);

// The name a download's file carries until it is complete: "report.pdf.part".
inline QString partName(const QString& fileName)
{
    return fileName + QLatin1String(".part");
}

// The n-th numbered variant of a name, n >= 2: "report (2).pdf", "notes (3)".
QString numberedName(const QString& fileName, int n);

// Whether a finished download may be opened automatically, judged by its name alone: its suffix is none of "exe",
// "bat" and "vb" (compared with letter case, as the rule has always been), nor, in any letter case, the suffix of
// anything a desktop would run or install rather than show (sh, desktop, AppImage, jar, py, EXE, ...).
bool mayOpenAutomatically(const QString& fileName);

// The same for the received file at path (fileName is its name as offered): besides the name, the file itself must
// not be a program or script by its content (an ELF binary or a "#!" script under a harmless name), nor carry an
// executable permission bit. A path that is not a readable regular file is never opened.
bool mayOpenAutomatically(const QString& fileName, const QString& path);

// Whether folder + name stays directly inside folder (folder ends with a separator).
bool staysInFolder(const QString& folder, const QString& name);

} // namespace Vesk::TransferNames
