#pragma once

#include <QByteArray>
#include <QHash>

namespace Vesk {

// The client randoms of this side's stream handshakes that ended lately. Each handshake has a random of its
// dialler's: only our own dial, passed back to our own port, brings one of ours to our acceptor, and such a
// reflection may complete on one side after the other side gave up. A handshake lasts at most the handshake bound
// from its start on either side, so a random is kept for twice that; a flood of handshakes forgets them all early.
class EndedHandshakes
{
public:
    static constexpr int kMaxKept = 1024;

    explicit EndedHandshakes(qint64 keptMs) : m_keptMs(keptMs) {}
    void note(const QByteArray& random, qint64 nowMs);
    // Whether the random may be one of ours: kept, or possibly among those forgotten early.
    bool mayHold(const QByteArray& random, qint64 nowMs) const;

private:
    qint64 m_keptMs;
    QHash<QByteArray, qint64> m_randoms; // random -> when its handshake ended
    qint64 m_lostMs = -1;                // when some were forgotten early
};

} // namespace Vesk
