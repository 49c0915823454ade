#pragma once

#include <QString>
#include <QStringList>

namespace Vesk {

class Store;

// Any computer on the LAN makes a row of vesk_peers by announcing a node id never heard before, or by sending a
// handshake under one; it costs a datagram. Rows of strangers are therefore bounded: per address (one program
// there, a few behind a router) and in all. A stranger is a node nothing here depends on: not pinned, no key
// waiting for the user, not blocked, no unread message, no chat, no transfer or folder naming it, and not this
// node. Room for a new row is made by forgetting the oldest strangers; a stranger forgotten loses nothing, its
// next announcement brings its row back.
class StrangerRows
{
public:
    static constexpr int kMaxPerAddress = 8;
    static constexpr int kMaxInAll = 512;

    struct Forgotten
    {
        int atAddress = 0; // to stay within the bound of the address
        int elsewhere = 0; // to stay within the bound of all strangers
        QStringList avatarPaths;
        int count() const { return atAddress + elsewhere; }
    };

    explicit StrangerRows(Store& store) : m_store(store) {}

    // Before the row of a node not recorded yet is made at the address: forgets the oldest strangers beyond what
    // leaves room for it. Rows of other nodes, and the row of ownId, are never forgotten.
    Forgotten makeRoom(const QString& address, const QString& ownId);

private:
    // Forgets the strangers beyond the `keep` newest, those at the address only unless it is empty; returns how
    // many, with the pictures their rows linked.
    int forgetOldest(const QString& address, const QString& ownId, int keep, QStringList* avatarPaths);

    Store& m_store;
};

} // namespace Vesk
