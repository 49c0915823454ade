#pragma once

#include "store/vesksqlquerymodel.h"

#include <QObject>
#include <QSet>
#include <QSortFilterProxyModel>
#include <QTimer>

namespace Vesk {

class Store;

// The folders of one transfer list, each one entry whatever the number of its files: the folder's row of
// vesk_folders with the other side's alias ("peerAlias") and its progress counted in SQL from its files' rows
// ("filesDone", "bytesDone"). A list of ten thousand files costs one grouped query, not a row per file.
class FolderListModel : public VeskSqlQueryModel
{
    Q_OBJECT
    Q_DISABLE_COPY(FolderListModel)

public:
    enum class Kind { Offered, Queued, Received, Sending };
    FolderListModel(Kind kind, const QSqlDatabase& db, QObject* parent = nullptr);

    Kind kind() const { return m_kind; }
    void setKind(Kind kind);
    // The files of one folder of this list, by their path in the folder, as a list that follows the changes of
    // the transfer lists. The caller owns it (in the interface, the JavaScript engine does).
    Q_INVOKABLE QObject* filesOf(const QString& folderId);

Q_SIGNALS:
    // Some transfer list changed: the lists of a folder's files read theirs again.
    void filesChanged();

private:
    void query(Kind kind, const QSqlDatabase& db);

    Kind m_kind;
};

// The rows of a transfer list that belong to no folder listed in vesk_folders. A folder's files show beneath
// their folder's entry instead; a file whose folder has no row stays listed on its own, so nothing is ever hidden
// for good.
class SeparateFilesModel : public QSortFilterProxyModel
{
    Q_OBJECT
    Q_DISABLE_COPY(SeparateFilesModel)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    explicit SeparateFilesModel(VeskSqlQueryModel* files, QObject* parent = nullptr);

    void setFolderIds(const QSet<QString>& ids);
    int count() const { return rowCount(); }

Q_SIGNALS:
    void countChanged();

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    VeskSqlQueryModel* m_files;
    QSet<QString> m_folderIds;
    int m_lastCount = 0;
};

// The transfer lists as the interface shows them: for each of the four file lists of the store, its folders as
// entries and its separate files. They follow the store's lists: once one of those was refreshed, the folder entries
// are counted again, at most every kFollowMs while a folder's files arrive by the hundred.
class TransferLists : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TransferLists)
    Q_PROPERTY(QObject* pausedFolders READ pausedFolders CONSTANT)
    Q_PROPERTY(QObject* queuedFolders READ queuedFolders CONSTANT)
    Q_PROPERTY(QObject* completedFolders READ completedFolders CONSTANT)
    Q_PROPERTY(QObject* uploadFolders READ uploadFolders CONSTANT)
    Q_PROPERTY(QObject* pausedFiles READ pausedFiles CONSTANT)
    Q_PROPERTY(QObject* queuedFiles READ queuedFiles CONSTANT)
    Q_PROPERTY(QObject* completedFiles READ completedFiles CONSTANT)
    Q_PROPERTY(QObject* uploadFiles READ uploadFiles CONSTANT)

public:
    explicit TransferLists(const Store& store, QObject* parent = nullptr);

    FolderListModel* pausedFolders() const { return m_folders[0]; }
    FolderListModel* queuedFolders() const { return m_folders[1]; }
    FolderListModel* completedFolders() const { return m_folders[2]; }
    FolderListModel* uploadFolders() const { return m_folders[3]; }
    SeparateFilesModel* pausedFiles() const { return m_files[0]; }
    SeparateFilesModel* queuedFiles() const { return m_files[1]; }
    SeparateFilesModel* completedFiles() const { return m_files[2]; }
    SeparateFilesModel* uploadFiles() const { return m_files[3]; }

    // Counts the folders again now; for a change of vesk_folders that no file list shows.
    void refresh();
    static constexpr int kFollowMs = 100;

private:
    void follow(VeskSqlQueryModel* files);

    QSqlDatabase m_db;
    FolderListModel* m_folders[4];
    SeparateFilesModel* m_files[4];
    bool m_refreshing = false;
    QTimer m_follow;
};

} // namespace Vesk
