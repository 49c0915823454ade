#include "transfer/downloadsession.h"

#include "common/clock.h"
#include "transfer/fileappender.h"
#include "transfer/transferlogging.h"
#include "transfer/transfermessages.h"

#include <QFileInfo>

namespace Vesk {

namespace {

constexpr qint64 kPacket = TransferMessages::kPacketSize;

} // namespace

DownloadSession::DownloadSession(const QString& id, const QString& path, qint64 have, qint64 wanted, BufferPool& frames,
                                 const Clock& clock, RequestSender send, std::function<void()> written)
    : m_id(id), m_path(path), m_wanted(wanted), m_frames(frames), m_clock(clock), m_send(std::move(send)),
      m_onWritten(std::move(written)), m_written(have), m_planned(have)
{
}

int DownloadSession::pendingWrites() const
{
    return m_appender ? m_appender->queuedBlocks() : 0;
}

int DownloadSession::inFlight() const
{
    return int(m_outstanding.size() + m_arrived.size()) + pendingWrites();
}

void DownloadSession::flush()
{
    if (m_appender)
        m_appender->flush();
    writerFailed();
}

// A failed write is seen here, on the interface's thread. The session stops there: nothing more is asked for or
// written, and whoever runs it pauses the download with the reason (writeFailed()). The size on disk is what
// counts from then on.
bool DownloadSession::writerFailed()
{
    if (m_writeFailed)
        return true;
    if (!m_appender || !m_appender->failed())
        return false;
    m_appender->flush();
    m_writeFailed = true;
    m_writeError = m_appender->error();
    m_writeErrorString = m_appender->errorString();
    if (m_appender->openFailed())
        qCritical() << "There was an error opening " << m_path << " in debug mode:" << m_writeErrorString;
    else
        qCritical() << "There was an error writing " << m_path << ":" << m_writeErrorString;
    m_appender.reset();
    const QFileInfo file(m_path);
    m_written = file.exists() ? file.size() : 0;
    replan();
    return true;
}

DownloadSession::~DownloadSession() = default;

qint64 DownloadSession::bufferedBytes() const
{
    qint64 total = 0;
    for (const auto& [offset, bytes] : m_arrived)
        total += bytes.size();
    return total;
}

void DownloadSession::request(qint64 offset, qint64 size)
{
    m_outstanding[offset] = Request{size, m_clock.nowMs()};
    m_send(offset, size);
}

void DownloadSession::fill()
{
    if (writerFailed())
        return;
    while (inFlight() < m_window && m_planned < m_wanted) {
        // Requests end on packet boundaries: the owner answers from the chunk that holds the offset, so a file
        // resumed in the middle of a packet gets the rest of that packet first and then whole ones.
        const qint64 size = qMin(kPacket - m_planned % kPacket, m_wanted - m_planned);
        request(m_planned, size);
        m_planned += size;
    }
}

DownloadSession::Answer DownloadSession::receive(qint64 offset, const QByteArray& bytes)
{
    if (writerFailed())
        return Answer::Unexpected;
    if (offset < m_written || m_arrived.count(offset))
        return Answer::Duplicate;
    const auto asked = m_outstanding.find(offset);
    // The answer at the file's end is always welcome, asked for by an earlier session or not.
    if (asked == m_outstanding.end() && offset != m_written)
        return Answer::Unexpected;
    const qint64 size = bytes.size();
    const qint64 askedSize = asked == m_outstanding.end() ? kPacket : asked->second.size;
    if (size <= 0 || size > askedSize || offset + size > m_wanted) {
        qCWarning(lcTransfer) << "dropped a packet of" << size << "bytes at" << offset << "for" << m_id << "of"
                              << m_wanted << "bytes";
        return Answer::Invalid;
    }

    const qint64 now = m_clock.nowMs();
    if (asked != m_outstanding.end()) {
        adapt(now - asked->second.sentMs, now);
        m_outstanding.erase(asked);
    }
    if (offset != m_written) {
        m_arrived.emplace(offset, bytes);
        resendHeadIfLate(now);
        fill();
        return Answer::Buffered;
    }
    append(bytes);
    drain();
    fill();
    return Answer::Appended;
}

void DownloadSession::append(const QByteArray& bytes)
{
    if (!m_appender)
        m_appender = std::make_unique<FileAppender>(m_path, m_frames, m_onWritten);
    m_appender->append(bytes);
    m_written += bytes.size();
}

void DownloadSession::drain()
{
    for (auto next = m_arrived.begin(); next != m_arrived.end() && next->first == m_written;
         next = m_arrived.erase(next)) {
        append(next->second);
    }
    // A short answer (the owner's file shrank) leaves the file's end between two planned offsets: what was asked
    // for beyond it no longer lines up.
    if (m_written < m_planned && !m_outstanding.count(m_written) && !m_arrived.count(m_written))
        replan();
}

void DownloadSession::replan()
{
    m_outstanding.clear();
    m_arrived.clear();
    m_planned = m_written;
    m_window = kMinWindow;
}

void DownloadSession::askAgain()
{
    replan();
    fill();
}

bool DownloadSession::overdue(qint64 nowMs) const
{
    if (m_outstanding.empty())
        return !complete();
    const qint64 patience = qMax(kOverdueMs, 4 * m_latencyMs);
    for (const auto& entry : m_outstanding) {
        // A clock set back hides how long a request waited: it is asked for again rather than waited for.
        const qint64 waited = nowMs - entry.second.sentMs;
        if (waited < 0 || waited > patience)
            return true;
    }
    return false;
}

void DownloadSession::adapt(qint64 latencyMs, qint64 nowMs)
{
    // The first answer is the first measure, not a quarter of it: a slow link's wait is known at once.
    m_latencyMs = m_latencyMs == 0 ? latencyMs : (3 * m_latencyMs + latencyMs) / 4;
    if (latencyMs > kTargetLatencyMs) {
        // Once per round: the answers of one window all come back late together.
        if (nowMs - m_lastShrinkMs >= latencyMs) {
            m_window = qMax(kMinWindow, m_window / 2);
            m_lastShrinkMs = nowMs;
        }
    } else if (latencyMs < kGrowLatencyMs) {
        m_window = qMin(kMaxWindow, m_window + 1);
    }
}

void DownloadSession::resendHeadIfLate(qint64 nowMs)
{
    const auto head = m_outstanding.find(m_written);
    if (head == m_outstanding.end()) {
        // Nothing asked for at the file's end (its answer was dropped as unfit): ask now.
        if (m_written < m_planned)
            request(m_written, qMin(kPacket - m_written % kPacket, m_wanted - m_written));
        return;
    }
    if (nowMs - head->second.sentMs <= qMax(kMinResendMs, 4 * m_latencyMs))
        return;
    qCDebug(lcTransfer) << "asking again for" << m_id << "at" << m_written;
    m_window = qMax(kMinWindow, m_window / 2);
    m_lastShrinkMs = nowMs;
    request(m_written, head->second.size);
}

} // namespace Vesk
