#include "transfer/folderlisting.h"

#include "proto/veskv1.pb.h"
#include "transfer/transfernames.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace Vesk::FolderListing {

namespace {

using Listing = com::tavimor::vesk::FolderListing;

constexpr qsizetype kMaxIdLength = 128;
// What an entry adds to a part besides its path: id, size, time and the field tags around them.
constexpr qsizetype kEntryOverhead = 64;

std::string utf8(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), size_t(bytes.size()));
}

QString text(const std::string& field)
{
    return QString::fromUtf8(field.data(), qsizetype(field.size()));
}

struct Walker
{
    Folder& folder;
    const std::atomic_bool* cancel;

    bool cancelled() const { return cancel && cancel->load(); }

    // Returns false when the walk must stop (folder.problem says why).
    bool visit(const QString& absolute, const QString& relative, int depth)
    {
        if (cancelled()) {
            folder.problem = QStringLiteral("cancelled");
            return false;
        }
        if (depth > kMaxDepth) {
            folder.problem = QStringLiteral("it is nested more than %1 levels deep").arg(kMaxDepth);
            return false;
        }
        const QFileInfoList entries = QDir(absolute).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        bool holdsSomething = false;
        for (const QFileInfo& entry : entries) {
            const QString path = relative.isEmpty() ? entry.fileName() : relative + QLatin1Char('/') + entry.fileName();
            // A link may lead anywhere, out of the folder too: none is followed.
            if (entry.isSymLink() || entry.isJunction() || !(entry.isDir() || entry.isFile())) {
                folder.skipped.append(path);
                continue;
            }
            holdsSomething = true;
            if (entry.isDir()) {
                if (!visit(entry.absoluteFilePath(), path, depth + 1))
                    return false;
                continue;
            }
            if (folder.files.size() >= kMaxFiles) {
                folder.problem = QStringLiteral("it holds more than %1 files").arg(kMaxFiles);
                return false;
            }
            folder.files.append(
                {QString(), path, entry.size(), entry.lastModified().toMSecsSinceEpoch(), entry.absoluteFilePath()});
            folder.totalSize += entry.size();
        }
        if (!holdsSomething && !relative.isEmpty())
            folder.emptyFolders.append(relative);
        return true;
    }
};

} // namespace

Folder walk(const QString& root, const std::atomic_bool* cancel)
{
    Folder folder;
    const QFileInfo info(root);
    folder.root = info.absoluteFilePath();
    folder.name = info.fileName();
    if (!info.isDir() || !info.isReadable()) {
        folder.problem = QStringLiteral("it does not exist or cannot be read");
        return folder;
    }
    Walker{folder, cancel}.visit(folder.root, QString(), 0);
    std::sort(folder.files.begin(), folder.files.end(), [](const File& a, const File& b) { return a.path < b.path; });
    return folder;
}

QList<QByteArray> parts(const QString& folderId, const Folder& folder)
{
    QList<Listing> listings;
    const auto startPart = [&] {
        Listing& listing = listings.emplace_back();
        listing.set_folderid(utf8(folderId));
        listing.set_name(utf8(folder.name));
        listing.set_files(quint32(folder.files.size()));
        listing.set_totalsize(quint64(folder.totalSize));
    };
    startPart();
    qsizetype bytes = 0;
    int entries = 0;
    const auto room = [&](qsizetype size) {
        if (entries > 0 && (entries >= kEntriesPerPart || bytes + size > kBytesPerPart)) {
            startPart();
            bytes = 0;
            entries = 0;
        }
        bytes += size;
        ++entries;
    };
    for (const QString& empty : folder.emptyFolders) {
        const std::string path = utf8(empty);
        room(qsizetype(path.size()) + 4);
        listings.back().add_emptyfolders(path);
    }
    for (const File& file : folder.files) {
        const std::string path = utf8(file.path);
        room(qsizetype(path.size()) + kEntryOverhead);
        Listing::Entry* entry = listings.back().add_entries();
        entry->set_fileid(utf8(file.id));
        entry->set_path(path);
        entry->set_size(quint64(file.size));
        entry->set_modified(file.modifiedMs);
    }
    QList<QByteArray> serialised;
    for (qsizetype i = 0; i < listings.size(); ++i) {
        listings[i].set_part(quint32(i));
        listings[i].set_parts(quint32(listings.size()));
        const std::string bytes = listings.at(i).SerializeAsString();
        serialised.append(QByteArray(bytes.data(), qsizetype(bytes.size())));
    }
    return serialised;
}

bool read(const QByteArray& bytes, Part* part, QString* why)
{
    const auto refuse = [why](const QString& reason) {
        *why = reason;
        return false;
    };
    if (bytes.size() > kMaxPartBytes)
        return refuse(QStringLiteral("a listing of %1 bytes").arg(bytes.size()));
    Listing listing;
    if (!listing.ParseFromArray(bytes.constData(), int(bytes.size())))
        return refuse(QStringLiteral("a listing that does not parse"));
    if (listing.entries_size() + listing.emptyfolders_size() > kMaxEntriesPerPart)
        return refuse(QStringLiteral("a part of %1 entries").arg(listing.entries_size() + listing.emptyfolders_size()));
    if (listing.files() > quint32(kMaxFiles) || listing.entries_size() > int(listing.files()))
        return refuse(QStringLiteral("a folder of %1 files").arg(listing.files()));
    if (listing.totalsize() > quint64(kMaxFileSize))
        return refuse(QStringLiteral("a folder of %1 bytes").arg(listing.totalsize()));
    if (listing.parts() == 0 || listing.part() >= listing.parts() || listing.parts() > quint32(kMaxFiles) + 1)
        return refuse(QStringLiteral("part %1 of %2").arg(listing.part()).arg(listing.parts()));
    part->folderId = text(listing.folderid());
    if (part->folderId.isEmpty() || part->folderId.size() > kMaxIdLength)
        return refuse(QStringLiteral("a folder id of %1 characters").arg(part->folderId.size()));
    part->name = TransferNames::cleanPathComponent(text(listing.name()));
    if (part->name.isEmpty())
        part->name = QString::fromLatin1(TransferNames::kFallbackFolderName);
    part->files = int(listing.files());
    part->totalSize = qint64(listing.totalsize());
    part->part = int(listing.part());
    part->parts = int(listing.parts());
    part->entries.clear();
    part->emptyFolders.clear();
    qint64 sum = 0;
    for (const Listing::Entry& entry : listing.entries()) {
        const QString id = text(entry.fileid());
        const QString path = TransferNames::cleanRelativePath(text(entry.path()));
        if (id.isEmpty() || id.size() > kMaxIdLength)
            return refuse(QStringLiteral("a file id of %1 characters").arg(id.size()));
        if (path.isNull())
            return refuse(QStringLiteral("a path that is not one: %1").arg(text(entry.path()).left(80)));
        if (entry.size() > quint64(kMaxFileSize) || (sum += qint64(entry.size())) > part->totalSize)
            return refuse(QStringLiteral("sizes beyond the folder's total"));
        part->entries.append({id, path, qint64(entry.size()), entry.modified(), QString()});
    }
    for (const std::string& empty : listing.emptyfolders()) {
        const QString path = TransferNames::cleanRelativePath(text(empty));
        if (path.isNull())
            return refuse(QStringLiteral("a path that is not one: %1").arg(text(empty).left(80)));
        part->emptyFolders.append(path);
    }
    return true;
}

QString storedPaths(const QStringList& paths)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(paths)).toJson(QJsonDocument::Compact));
}

QStringList pathsStored(const QString& stored)
{
    QStringList paths;
    for (const QJsonValue& path : QJsonDocument::fromJson(stored.toUtf8()).array())
        if (path.isString())
            paths.append(path.toString());
    return paths;
}

} // namespace Vesk::FolderListing
