#include "store/transferlists.h"

#include "store/store.h"

#include <QSqlQuery>

namespace Vesk {

namespace {

// A received folder with its files counted: how many arrived, their bytes, and when the last one did. Bound: the
// folder's status.
constexpr const char* kDownloadFolders =
    "select f.*, (select alias from vesk_peers where vesk_peers.id = f.nodeid) as peerAlias, "
    "coalesce(c.done, 0) as filesDone, coalesce(c.bytes, 0) as bytesDone, "
    "coalesce(c.lastAt, f.timestamp) as finishedAt "
    "from vesk_folders f left join (select folderId, sum(status = 'downloaded') as done, "
    "sum(case when status = 'downloaded' then cast(filesize as integer) else 0 end) as bytes, "
    "max(case when status = 'downloaded' then cast(timestamp as integer) end) as lastAt "
    "from vesk_downloads where folderId <> '' group by folderId) c on c.folderId = f.id "
    "where f.direction = 'down' and f.status = ? order by f.timestamp desc, f.name asc";
// An offered folder: a file's upload row goes once the peer has it, so what is done is what no longer has a row,
// plus what the peer fetched of the files that still have one.
constexpr const char* kUploadFolders =
    "select f.*, (select alias from vesk_peers where vesk_peers.id = f.nodeid) as peerAlias, "
    "f.status = 'sent' as confirmed, "
    "max(0, cast(f.files as integer) - coalesce(c.remaining, 0)) as filesDone, "
    "max(0, cast(f.filesize as integer) - coalesce(c.bytesLeft, 0)) as bytesDone "
    "from vesk_folders f left join (select folderId, count(*) as remaining, "
    "sum(max(0, cast(filesize as integer) - coalesce(cast(bytesSent as integer), 0))) as bytesLeft "
    "from vesk_uploads where folderId <> '' and not (status = 'tobedeleted') group by folderId) c "
    "on c.folderId = f.id where f.direction = 'up' and not (f.status = 'tobedeleted') "
    "order by f.timestamp desc, f.name asc";
// Bound: the folder's id. Its files in the order of their paths.
constexpr const char* kDownloadFolderFiles =
    "select *, status = 'downloaded' as done from vesk_downloads where folderId = ? "
    "and not (status = 'tobedeleted') order by path";
constexpr const char* kUploadFolderFiles =
    "select *, 0 as done from vesk_uploads where folderId = ? and not (status = 'tobedeleted') order by path";

const char* statusOf(FolderListModel::Kind kind)
{
    switch (kind) {
    case FolderListModel::Kind::Offered:
        return "unknown";
    case FolderListModel::Kind::Queued:
        return "queued";
    case FolderListModel::Kind::Received:
        return "downloaded";
    case FolderListModel::Kind::Sending:
        break;
    }
    return "";
}

} // namespace

FolderListModel::FolderListModel(Kind kind, const QSqlDatabase& db, QObject* parent)
    : VeskSqlQueryModel(parent), m_kind(kind)
{
    query(kind, db);
}

void FolderListModel::setKind(Kind kind)
{
    query(kind, database());
}

void FolderListModel::query(Kind kind, const QSqlDatabase& db)
{
    m_kind = kind;
    if (kind == Kind::Sending)
        setQuery(QString::fromLatin1(kUploadFolders), db);
    else
        setQuery(QString::fromLatin1(kDownloadFolders), db, {QString::fromLatin1(statusOf(kind))});
}

QObject* FolderListModel::filesOf(const QString& folderId)
{
    auto* files = new VeskSqlQueryModel;
    files->setQuery(QString::fromLatin1(m_kind == Kind::Sending ? kUploadFolderFiles : kDownloadFolderFiles),
                    database(), {folderId});
    // A folder's files change one by one, hundreds a second: the open list reads them at most every 100 ms.
    connect(this, &FolderListModel::filesChanged, files, &VeskSqlQueryModel::scheduleRefresh);
    return files;
}

SeparateFilesModel::SeparateFilesModel(VeskSqlQueryModel* files, QObject* parent)
    : QSortFilterProxyModel(parent), m_files(files)
{
    setSourceModel(files);
    const auto countRows = [this] {
        if (rowCount() != m_lastCount) {
            m_lastCount = rowCount();
            Q_EMIT countChanged();
        }
    };
    connect(this, &QAbstractItemModel::modelReset, this, countRows);
    connect(this, &QAbstractItemModel::layoutChanged, this, countRows);
    connect(this, &QAbstractItemModel::rowsInserted, this, countRows);
    connect(this, &QAbstractItemModel::rowsRemoved, this, countRows);
}

void SeparateFilesModel::setFolderIds(const QSet<QString>& ids)
{
    if (ids == m_folderIds)
        return;
    m_folderIds = ids;
    invalidateRowsFilter();
}

bool SeparateFilesModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    if (m_folderIds.isEmpty())
        return true;
    const int role = m_files->roleNames().key("folderId", -1);
    if (role < 0)
        return true;
    const QString folderId = m_files->data(m_files->index(sourceRow, 0, sourceParent), role).toString();
    return folderId.isEmpty() || !m_folderIds.contains(folderId);
}

TransferLists::TransferLists(const Store& store, QObject* parent) : QObject(parent), m_db(store.database())
{
    const FolderListModel::Kind kinds[] = {FolderListModel::Kind::Offered, FolderListModel::Kind::Queued,
                                           FolderListModel::Kind::Received, FolderListModel::Kind::Sending};
    VeskSqlQueryModel* const files[] = {store.pausedDownloads, store.queuedDownloads, store.completedDownloads,
                                        store.uploadsData};
    for (int i = 0; i < 4; ++i) {
        m_folders[i] = new FolderListModel(kinds[i], m_db, this);
        m_files[i] = new SeparateFilesModel(files[i], this);
    }
    m_follow.setSingleShot(true);
    m_follow.setInterval(kFollowMs);
    connect(&m_follow, &QTimer::timeout, this, &TransferLists::refresh);
    for (VeskSqlQueryModel* list : files)
        follow(list);
    refresh();
}

void TransferLists::follow(VeskSqlQueryModel* files)
{
    const auto changed = [this] {
        if (!m_refreshing && !m_follow.isActive())
            m_follow.start();
    };
    connect(files, &QAbstractItemModel::modelReset, this, changed);
    connect(files, &QAbstractItemModel::rowsInserted, this, changed);
    connect(files, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(files, &QAbstractItemModel::dataChanged, this, changed);
    // A folder's files are not in these lists, but the lists are refreshed when they change.
    connect(files, &VeskSqlQueryModel::refreshed, this, changed);
}

void TransferLists::refresh()
{
    m_follow.stop();
    m_refreshing = true; // fetching the rest of a list below inserts rows, which is no change to follow
    QSet<QString> ids;
    {
        QSqlQuery q(m_db);
        if (q.exec(QStringLiteral("select id from vesk_folders"))) {
            while (q.next())
                ids.insert(q.value(0).toString());
        }
    }
    for (int i = 0; i < 4; ++i) {
        // A query model hands out its rows in batches as views scroll; the separate files may lie past the first
        // batch, behind a folder's thousands, so the whole list is read.
        auto* files = qobject_cast<VeskSqlQueryModel*>(m_files[i]->sourceModel());
        while (!ids.isEmpty() && files->canFetchMore())
            files->fetchMore();
        m_files[i]->setFolderIds(ids);
        m_folders[i]->refresh();
        Q_EMIT m_folders[i]->filesChanged();
    }
    m_refreshing = false;
}

} // namespace Vesk
