#pragma once

#include "net/peerstream.h"

#include <QElapsedTimer>

namespace Vesk {

// The stream table's log of refused and broken streams. What only a faulty or hostile peer causes gets a critical
// line, at most kLinesPerMinute a minute (a flood of bad handshakes must not fill the log); what is the network's
// ordinary life (a closed connection, silence, an address that passed to another computer) a debug line. Lines
// held back are counted and told once the minute is over.
class StreamLog
{
public:
    static constexpr int kLinesPerMinute = 20;

    StreamLog();
    // Whether another critical line may be written now; false counts one held back.
    bool mayLog();
    // Logs how the stream ended, as critical or debug by what ended it.
    void ended(const PeerStream& stream, PeerStream::Ending ending);

private:
    QElapsedTimer m_window;
    int m_lines = 0;
    int m_suppressed = 0;
};

} // namespace Vesk
