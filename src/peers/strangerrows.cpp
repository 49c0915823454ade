#include "peers/strangerrows.h"

#include "peers/peerslogging.h"
#include "store/store.h"

#include <QSqlError>
#include <QSqlQuery>

namespace Vesk {

namespace {

// A row nothing here depends on (see the class comment). Each lookup into another table goes through an index
// that leads with the node's column, so the cost grows with the peers' rows alone.
const QString kStranger =
    QStringLiteral("p.id != ? and coalesce(p.identityKey, '') = '' and coalesce(p.pendingKey, '') = '' "
                   "and coalesce(p.blocked, 'no') != 'yes' and cast(coalesce(p.unreadMessagesCount, 0) as integer) = 0 "
                   "and not exists (select 1 from vesk_chats where peerfrom = p.id) "
                   "and not exists (select 1 from vesk_chats where peerto = p.id) "
                   "and not exists (select 1 from vesk_downloads where nodefrom = p.id) "
                   "and not exists (select 1 from vesk_uploads where nodeto = p.id) "
                   "and not exists (select 1 from vesk_folders where nodeid = p.id)");

int rowsAt(Store& store, const QString& address)
{
    QSqlQuery q(store.database());
    q.prepare(address.isEmpty() ? QStringLiteral("select count(*) from vesk_peers")
                                : QStringLiteral("select count(*) from vesk_peers where ipAddress = ?"));
    if (!address.isEmpty())
        q.bindValue(0, address);
    return q.exec() && q.next() ? q.value(0).toInt() : 0;
}

} // namespace

StrangerRows::Forgotten StrangerRows::makeRoom(const QString& address, const QString& ownId)
{
    Forgotten forgotten;
    // Counting every row first keeps an office's usual announcement to one indexed count per bound: only a
    // database that holds as many rows as the bound allows strangers looks at what each row is.
    // With no address known no address is bounded (an empty one stands for all rows below).
    if (!address.isEmpty() && rowsAt(m_store, address) >= kMaxPerAddress)
        forgotten.atAddress = forgetOldest(address, ownId, kMaxPerAddress - 1, &forgotten.avatarPaths);
    if (rowsAt(m_store, {}) >= kMaxInAll)
        forgotten.elsewhere = forgetOldest({}, ownId, kMaxInAll - 1, &forgotten.avatarPaths);
    return forgotten;
}

int StrangerRows::forgetOldest(const QString& address, const QString& ownId, int keep, QStringList* avatarPaths)
{
    // Newest first by the time each was first recorded; of the same time, the one written last. All past the
    // `keep` newest go, so a database filled before these bounds existed is brought within them at once. Across
    // addresses, strangers online now are kept before the others: a flood from made-up addresses (the source of a
    // datagram is whatever its sender wrote) must not take colleagues off the list, only other made-up nodes.
    const QString beyond = QStringLiteral("select p.id from vesk_peers p where ") +
                           (address.isEmpty() ? QString() : QStringLiteral("p.ipAddress = ? and ")) + kStranger +
                           QStringLiteral(" order by ") +
                           (address.isEmpty() ? QStringLiteral("p.status = 'on' desc, ") : QString()) +
                           QStringLiteral("p.timestamp desc, p.rowid desc limit -1 offset ?");
    QSqlQuery q(m_store.database());
    // A stranger's picture goes with its row: a node id that anyone may invent must not keep a file here.
    q.prepare(QStringLiteral("delete from vesk_peers where id in (") + beyond +
              QStringLiteral(") returning avatarPath"));
    int i = 0;
    if (!address.isEmpty())
        q.bindValue(i++, address);
    q.bindValue(i++, ownId);
    q.bindValue(i, keep);
    if (!q.exec()) {
        qCDebug(lcPeers) << "strangers' rows not forgotten:" << q.lastError().text();
        return 0;
    }
    int forgotten = 0;
    for (; q.next(); ++forgotten)
        avatarPaths->append(q.value(0).toString());
    return forgotten;
}

} // namespace Vesk
