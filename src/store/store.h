#pragma once

#include "store/tablerecord.h"

#include <QHostAddress>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace Vesk {

class Clock;
class VeskSqlQueryModel;

// The list models the interface shows, over the one database connection, and the reads and changes of single rows
// by their id that every subsystem needs. Nothing here watches the database or refreshes a list: whoever changes a
// row refreshes the lists that show it.
class Store : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Store)

public:
    // Creates the models over an open connection; the peer lists stay empty until setPeerQueries().
    Store(const QSqlDatabase& db, const Clock& clock, QObject* parent = nullptr);
    ~Store() override;

    // Gives the two peer lists their queries, both leaving out this node's own row.
    void setPeerQueries(const QString& hostId);

    // One row of any table, addressed by its id column. Table and column names go into the statement text (they are
    // always the program's own constants); ids and values are always bound. A missing row is no error: reads give
    // an empty record or "", changes change nothing.
    TableRecord record(const QString& table, const QString& id) const;
    // The column's text, from the last row found.
    QString field(const QString& table, const QString& id, const QString& column) const;
    // False when the statement failed (a full disk); a missing row is no failure.
    bool setField(const QString& table, const QString& id, const QString& column, const QString& value);
    // The sum is taken in SQL, so a text column ("0") holds the text of the sum ("1").
    void incrementField(const QString& table, const QString& id, const QString& column, int increment);
    void deleteRow(const QString& table, const QString& id);
    // The row's timestamp becomes now (ms since the epoch, by the store's clock).
    void touchTimestamp(const QString& table, const QString& id);

    TableRecord peerRecord(const QString& id) const;
    TableRecord downloadRecord(const QString& id) const;
    TableRecord uploadRecord(const QString& id) const;
    // One column of a peer's row; empty when there is no such row.
    QString peerField(const QString& id, const QString& column) const;
    bool isBlocked(const QString& nodeId) const;
    // The stored address of a node; a null address when it is unknown.
    QHostAddress nodeAddress(const QString& nodeId) const;

    // The local name of a received folder's tree in the downloads folder; empty when there is no such folder.
    QString receivedFolderName(const QString& folderId) const;
    // The ids of the folders offered ("up") or received ("down") that are in this status.
    QStringList folderIds(const QString& direction, const QString& status) const;
    // The first `limit` separate files (in no folder) of "vesk_uploads" or "vesk_downloads" that were withdrawn,
    // the longest withdrawn first (by `timeColumn`).
    QStringList withdrawnFileIds(const QString& table, const QString& timeColumn, int limit) const;

    int totalUnreadMessages() const;
    int pendingValidations() const;

    QSqlDatabase database() const { return m_db; }

    // Named as the interface knows them (context properties).
    VeskSqlQueryModel* const nodeData;
    VeskSqlQueryModel* const nodesProxyData;
    VeskSqlQueryModel* const uploadsData;
    VeskSqlQueryModel* const pausedDownloads;
    VeskSqlQueryModel* const queuedDownloads;
    VeskSqlQueryModel* const completedDownloads;
    VeskSqlQueryModel* const chatsModel;

private:
    QSqlDatabase m_db;
    const Clock& m_clock;
};

// Table names, shared by the subsystems that address rows by id.
inline const QString kPeersTable = QStringLiteral("vesk_peers");
inline const QString kChatsTable = QStringLiteral("vesk_chats");
inline const QString kUploadsTable = QStringLiteral("vesk_uploads");
inline const QString kDownloadsTable = QStringLiteral("vesk_downloads");

} // namespace Vesk
