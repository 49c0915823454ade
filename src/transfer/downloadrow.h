#pragma once

#include <QFileInfo>
#include <QString>

// The columns of a vesk_downloads row that the download engine reads, and the size of a local file: shared by the
// engine (the packet flow) and DownloadFiles (names and files).
namespace Vesk::DownloadRow {

inline const QString kStatus = QStringLiteral("status");
inline const QString kFileName = QStringLiteral("filename");
inline const QString kFileSize = QStringLiteral("filesize");
inline const QString kDownloadSize = QStringLiteral("downloadsize");
inline const QString kNodeFrom = QStringLiteral("nodefrom");
inline const QString kFolderId = QStringLiteral("folderId");
inline const QString kPath = QStringLiteral("path");

inline qint64 localSize(const QString& path)
{
    const QFileInfo file(path);
    return file.exists() ? file.size() : 0;
}

} // namespace Vesk::DownloadRow
