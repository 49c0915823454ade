#include "net/streamlog.h"

#include "net/netaddress.h"
#include "net/netlogging.h"

namespace Vesk {

namespace {

constexpr qint64 kWindowMs = 60000;

QString endingText(PeerStream::Ending ending)
{
    switch (ending) {
    case PeerStream::Ending::Closed:
        return QStringLiteral("closed here");
    case PeerStream::Ending::PeerClosed:
        return QStringLiteral("closed by the peer");
    case PeerStream::Ending::NetworkError:
        return QStringLiteral("no connection");
    case PeerStream::Ending::HandshakeFailed:
        return QStringLiteral("the secure handshake failed");
    case PeerStream::Ending::HandshakeTimeout:
        return QStringLiteral("the secure handshake did not end in time");
    case PeerStream::Ending::Cut:
        return QStringLiteral("the connection ended during the secure handshake");
    case PeerStream::Ending::WrongNode:
        return QStringLiteral("another node answered than the one dialled");
    case PeerStream::Ending::Refused:
        return QStringLiteral("refused");
    case PeerStream::Ending::KeyChanged:
        return QStringLiteral("its identity key changed");
    case PeerStream::Ending::OwnKey:
        return QStringLiteral("it holds this installation's own identity key");
    case PeerStream::Ending::RefusedByPeer:
        return QStringLiteral("the peer refused this installation");
    case PeerStream::Ending::FrameTooLarge:
        return QStringLiteral("a frame over the size limit");
    case PeerStream::Ending::BrokenRecord:
        return QStringLiteral("a damaged or forged record");
    case PeerStream::Ending::Silent:
        return QStringLiteral("nothing heard for too long");
    }
    return {};
}

// What only a faulty or hostile peer causes, worth a line in the log; the rest is the network's ordinary life.
bool isMisbehaviour(PeerStream::Ending ending)
{
    switch (ending) {
    case PeerStream::Ending::Closed:
    case PeerStream::Ending::PeerClosed:
    case PeerStream::Ending::NetworkError:
    case PeerStream::Ending::Silent:
    case PeerStream::Ending::Cut:
    case PeerStream::Ending::WrongNode: // an address that passed to another computer
        return false;
    default:
        return true;
    }
}

} // namespace

StreamLog::StreamLog()
{
    m_window.start();
}

bool StreamLog::mayLog()
{
    if (m_window.elapsed() >= kWindowMs) {
        if (m_suppressed > 0)
            qCritical().noquote()
                << QStringLiteral("%1 more refused or broken streams were not logged").arg(m_suppressed);
        m_window.restart();
        m_lines = 0;
        m_suppressed = 0;
    }
    if (m_lines < kLinesPerMinute) {
        ++m_lines;
        return true;
    }
    ++m_suppressed;
    return false;
}

void StreamLog::ended(const PeerStream& stream, PeerStream::Ending ending)
{
    const QString who = stream.peer().nodeId.isEmpty() ? stream.expectedNodeId() : stream.peer().nodeId;
    const QString line =
        QStringLiteral("Stream with %1 at %2 ended: %3%4")
            .arg(who.isEmpty() ? QStringLiteral("an unknown node") : who, addressText(stream.peerAddress()),
                 endingText(ending),
                 stream.problem().isEmpty() ? QString() : QStringLiteral(" (%1)").arg(stream.problem()));
    if (!isMisbehaviour(ending)) {
        qCDebug(lcNet).noquote() << line;
        return;
    }
    if (mayLog())
        qCritical().noquote() << line;
}

} // namespace Vesk
