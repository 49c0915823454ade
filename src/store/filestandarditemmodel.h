#pragma once

#include <QSortFilterProxyModel>
#include <QStandardItem>
#include <QStandardItemModel>

namespace Vesk {

// One file picked for sending: column 0 of a top-level row, its values under the roles of FileStandardItemModel.
class FileStandardItem : public QStandardItem
{
public:
    FileStandardItem() = default;
    FileStandardItem(const QString& fileURL, const QString& fileName, qint64 totalByteSize, const QString& thumbnail,
                     bool selected, bool isFolder = false, int fileCount = 1);

    QStandardItem* clone() const override;
};

// The files the user collected for sending, each highlighted (selected) or not. Lives in memory only.
class FileStandardItemModel : public QStandardItemModel
{
    Q_OBJECT
    Q_DISABLE_COPY(FileStandardItemModel)
    Q_PROPERTY(long selectedCount READ selectedCount NOTIFY selectedCountChanged)

public:
    enum Roles {
        FileURLRole = 33,  // 33: "file:///" URL text, the key of an entry
        FileNameRole,      // 34: file name without its folder
        TotalByteSizeRole, // 35: size in bytes (qint64)
        ThumbnailRole,     // 36: URL text of the file-type icon
        SelectedRole,      // 37: bool, highlighted for sending
        IsFolderRole,      // 38: bool, the entry is a folder offered as one (false for a file)
        FileCountRole,     // 39: int, the files under a folder (1 for a file)
    };
    Q_ENUM(Roles)

    explicit FileStandardItemModel(QObject* parent = nullptr);

    // The entry whose URL text equals fileURL exactly, or null.
    FileStandardItem* itemForFileURL(const QString& fileURL) const;
    long selectedCount() const;

    Q_INVOKABLE void toggleHighlightFlag(QString fileURL);
    Q_INVOKABLE void clearSelected();
    // Takes a file off the list (picked by mistake), rather than only unticking it.
    Q_INVOKABLE void removeFile(QString fileURL);

Q_SIGNALS:
    void selectedCountChanged();
};

// Sorts the selected-files list by file name, ignoring letter case; every row passes the filter.
class FileSortFilterProxyModel : public QSortFilterProxyModel
{
    Q_OBJECT
    Q_DISABLE_COPY(FileSortFilterProxyModel)

public:
    explicit FileSortFilterProxyModel(QObject* parent = nullptr);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

} // namespace Vesk
