#include "store/filestandarditemmodel.h"

namespace Vesk {

FileStandardItem::FileStandardItem(const QString& fileURL, const QString& fileName, qint64 totalByteSize,
                                   const QString& thumbnail, bool selected, bool isFolder, int fileCount)
{
    setData(fileURL, FileStandardItemModel::FileURLRole);
    setData(fileName, FileStandardItemModel::FileNameRole);
    setData(totalByteSize, FileStandardItemModel::TotalByteSizeRole);
    setData(thumbnail, FileStandardItemModel::ThumbnailRole);
    setData(selected, FileStandardItemModel::SelectedRole);
    setData(isFolder, FileStandardItemModel::IsFolderRole);
    setData(fileCount, FileStandardItemModel::FileCountRole);
    setEditable(false);
}

QStandardItem* FileStandardItem::clone() const
{
    return new FileStandardItem(*this);
}

FileStandardItemModel::FileStandardItemModel(QObject* parent) : QStandardItemModel(parent)
{
    setItemPrototype(new FileStandardItem);
    setItemRoleNames({
        {FileURLRole, QByteArrayLiteral("fileURL")},
        {FileNameRole, QByteArrayLiteral("fileName")},
        {TotalByteSizeRole, QByteArrayLiteral("totalByteSize")},
        {ThumbnailRole, QByteArrayLiteral("thumbnail")},
        {SelectedRole, QByteArrayLiteral("selected")},
        {IsFolderRole, QByteArrayLiteral("isFolder")},
        {FileCountRole, QByteArrayLiteral("fileCount")},
    });
}

FileStandardItem* FileStandardItemModel::itemForFileURL(const QString& fileURL) const
{
    const QModelIndexList hits = match(index(0, 0), FileURLRole, fileURL, 1, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (hits.isEmpty())
        return nullptr;
    return static_cast<FileStandardItem*>(itemFromIndex(hits.first()));
}

long FileStandardItemModel::selectedCount() const
{
    long count = 0;
    for (int row = 0; row < rowCount(); ++row) {
        const QVariant selected = index(row, 0).data(SelectedRole);
        if (selected.typeId() == QMetaType::Bool && selected.toBool())
            ++count;
    }
    return count;
}

void FileStandardItemModel::toggleHighlightFlag(QString fileURL)
{
    if (QStandardItem* entry = itemForFileURL(fileURL))
        entry->setData(!entry->data(SelectedRole).toBool(), SelectedRole);
    Q_EMIT selectedCountChanged();
}

void FileStandardItemModel::removeFile(QString fileURL)
{
    QStandardItem* entry = itemForFileURL(fileURL);
    if (!entry)
        return;
    removeRow(entry->row());
    Q_EMIT selectedCountChanged();
}

void FileStandardItemModel::clearSelected()
{
    for (int row = 0; row < rowCount(); ++row) {
        QStandardItem* entry = item(row, 0);
        if (!entry)
            continue;
        const QVariant selected = entry->data(SelectedRole);
        if (selected.typeId() == QMetaType::Bool && selected.toBool())
            entry->setData(false, SelectedRole);
    }
    Q_EMIT selectedCountChanged();
}

FileSortFilterProxyModel::FileSortFilterProxyModel(QObject* parent) : QSortFilterProxyModel(parent)
{
    setDynamicSortFilter(true);
}

bool FileSortFilterProxyModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const QString leftName = sourceModel()->data(left, FileStandardItemModel::FileNameRole).toString();
    const QString rightName = sourceModel()->data(right, FileStandardItemModel::FileNameRole).toString();
    return QString::compare(leftName, rightName, Qt::CaseInsensitive) < 0;
}

} // namespace Vesk
