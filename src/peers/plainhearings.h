#pragma once

#include <QHash>
#include <QString>

namespace Vesk {

class Clock;

// Where plain messages under each node id came from lately: the address last heard, and the one before it. A
// stream from elsewhere under the node id of a plain peer that answers where it is must not take the id from it.
// Bounded: a flood of fresh node ids does not wipe what is known of the plain peers heard before it.
class PlainHearings
{
public:
    PlainHearings(const Clock& clock, qint64 answersMs, int maxNodes)
        : m_clock(clock), m_answersMs(answersMs), m_maxNodes(maxNodes)
    {
    }
    void heard(const QString& nodeId, const QString& address);
    // Another address than this one where a plain message under the node id came from within the answer window;
    // empty when none.
    QString elsewhere(const QString& nodeId, const QString& address) const;

private:
    struct Heard
    {
        QString address;
        qint64 atMs = 0;
        QString before;
        qint64 beforeAtMs = 0;
    };
    const Clock& m_clock;
    const qint64 m_answersMs;
    const int m_maxNodes;
    QHash<QString, Heard> m_heard; // node -> where plain messages under it came from lately
};

} // namespace Vesk
