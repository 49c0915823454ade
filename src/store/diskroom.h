#pragma once

#include <QString>

#include <functional>

namespace Vesk {

class Clock;

// Whether what other computers send may still be written to the disk holding our data. Any computer on the network
// can send messages and pictures, and those are not to fill the disk: below kMinFreeBytes free they are refused
// (their senders send them again later). The disk is looked at again after kLookMs at most; what is written
// meanwhile is taken off the last look, so a burst between two looks cannot run far past the bound.
class DiskRoom
{
public:
    static constexpr qint64 kMinFreeBytes = 100 * 1000 * 1000;
    static constexpr qint64 kLookMs = 1000;

    DiskRoom(const Clock& clock, QString folder) : m_clock(clock), m_folder(std::move(folder)) {}

    // How the free bytes of the folder's disk are found (by default: asked of the system; negative: not known).
    void setProbe(std::function<qint64()> probe) { m_probe = std::move(probe); }

    // Whether `bytes` more leave at least kMinFreeBytes free (true when the system does not tell).
    bool hasRoomFor(qint64 bytes);
    // `bytes` were written since the last look.
    void wrote(qint64 bytes) { m_free -= bytes; }
    // Why not, for the user: "the disk holding <folder> has less than 100 MB free".
    QString why() const;
    QString folder() const { return m_folder; }

private:
    const Clock& m_clock;
    QString m_folder;
    std::function<qint64()> m_probe;
    qint64 m_free = 0;
    qint64 m_lookedAt = -1; // -1: never
};

} // namespace Vesk
