#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace Vesk {

class Store;

// What PeerSecurity keeps in the peers' rows and reads from them: the pins (identityKey, pendingKey, verified), read
// at start and written as they change, with the lists that show them told; and which node a row puts at an
// address. NodeBook holds what this run learnt in memory; PeerSecurity decides.
class SecurityRows
{
public:
    explicit SecurityRows(Store& store) : m_store(store) {}

    struct Row
    {
        QString nodeId;
        QByteArray key;
        QByteArray pending;
        QString address;
    };
    // Every row with a pinned key.
    QList<Row> load() const;
    // The node's first key into its row, with what it can take (so that it is known while the node is away: a file
    // offered to it then); false when the node has no row yet.
    bool save(const QString& nodeId, const QByteArray& key, const QByteArray& pending, quint32 capabilities);
    // Another key came under the node id, to be accepted by the user; empty: no longer.
    void setPending(const QString& nodeId, const QByteArray& key);
    // The pending key becomes the node's key, and what the user verified of the old one goes. False when the row
    // could not be written (a full disk): then nothing changed.
    bool acceptPending(const QString& nodeId, const QByteArray& key);
    bool isVerified(const QString& nodeId) const;
    // False when the row could not be written.
    bool markVerified(const QString& nodeId);
    // Another node answers at the node's stored address: the row leads there no more, and shows the node away.
    void forgetAddress(const QString& nodeId, const QString& address);
    // A node whose row has the address, other than `exceptId`; empty when none.
    QString nodeStoredAt(const QString& address, const QString& exceptId) const;

private:
    Store& m_store;
};

} // namespace Vesk
