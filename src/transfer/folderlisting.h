#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

// A folder offered as one: walking it on the owner's side, and the listing that describes it to a capable peer,
// in parts of bounded size, read back with every bound checked on the receiver's side.
namespace Vesk::FolderListing {

// What one folder may hold, on either side: more files than this are not offered as one folder, nor accepted.
constexpr int kMaxFiles = 100000;
// A part of a listing carries at most this many entries (files and empty folders) and about this many bytes, so
// each offer is a message of modest size whatever the folder, and a receiver stores each part in a few tens of
// milliseconds without holding up its window; a receiver refuses a part beyond the hard limits.
constexpr int kEntriesPerPart = 500;
constexpr qsizetype kBytesPerPart = 256 * 1024;
constexpr int kMaxEntriesPerPart = 5000;
constexpr qsizetype kMaxPartBytes = 4 * 1024 * 1024;
// Folders nested deeper than this are not walked further (and such a folder is not offered).
constexpr int kMaxDepth = 64;
// A size no file of a folder can have: anything larger in a listing is a fault.
constexpr qint64 kMaxFileSize = Q_INT64_C(1) << 50;

struct File
{
    QString id;   // the upload id (the owner's side) or the download id it becomes
    QString path; // relative to the folder, components joined with "/"
    qint64 size = 0;
    qint64 modifiedMs = 0;
    QString absolutePath; // the owner's side only
};

struct Folder
{
    QString root; // absolute path, forward slashes
    QString name;
    QList<File> files; // in listing order (by path)
    QStringList emptyFolders;
    qint64 totalSize = 0;
    // Why the folder cannot be offered as it is (a null string when it can); links are never followed, and the
    // names of those left out are in `skipped`.
    QString problem;
    QStringList skipped;
};

// Walks the folder without following any link (a link to a file or a folder is left out and named in `skipped`),
// records its empty folders, and stops early (with a problem) past kMaxFiles files or kMaxDepth levels, or when
// `cancel` becomes true. Runs on any thread: it touches nothing but the file system.
Folder walk(const QString& root, const std::atomic_bool* cancel = nullptr);

// One serialised listing per part; every file of `folder` carries its id.
QList<QByteArray> parts(const QString& folderId, const Folder& folder);

struct Part
{
    QString folderId, name;
    int files = 0;
    qint64 totalSize = 0;
    int part = 0, parts = 1;
    QList<File> entries; // paths cleaned (TransferNames::cleanRelativePath), ids as offered
    QStringList emptyFolders;
};

// Reads one part as a peer sent it. False (and `why` says what) for anything out of bounds: too many entries, a
// path that cleans to nothing, a size out of range, a part number past the parts, a missing id or name.
bool read(const QByteArray& bytes, Part* part, QString* why);

// A folder row's empty folders ("emptyFolders"), kept as a JSON array of their paths inside the folder; anything
// else reads as none.
QString storedPaths(const QStringList& paths);
QStringList pathsStored(const QString& stored);

} // namespace Vesk::FolderListing

// The two messages of a folder offered as one, only ever between programs that announced CapabilityFolders:
//   owner -- newFolderToDownload (fileId: the folder's id, folderListing: one part) --> receiver, every offer round
//   owner <-- confirmFolderToSend (fileId: the folder's id, packetId: the part's number) -- receiver, for each part
// The folder's files are then exchanged and withdrawn as separate files are, by their own ids; the end of the whole
// folder ("fileTransferComplete") and a withdrawal of it ("removeFileToGet", "removeFileToSend") carry its id.
namespace Vesk::FolderMessages {

inline const QString kNewFolderToDownload = QStringLiteral("newFolderToDownload");
inline const QString kConfirmFolderToSend = QStringLiteral("confirmFolderToSend");
inline const QString kFolderListing = QStringLiteral("folderListing");
inline const QString kPart = QStringLiteral("packetId");

} // namespace Vesk::FolderMessages
