// File packets sealed and opened on the cipher thread, so that the interface's thread does no more per packet
// for a sealed peer than for a plain one. The counters are still taken on the interface's thread, in order.
#include "peers/peersecurity.h"

#include "common/taskthread.h"
#include "net/envelope.h"
#include "net/netaddress.h"
#include "peers/localprofile.h"

#include <QMetaObject>

namespace Vesk {

PeerSecurity::~PeerSecurity()
{
    // Packets still being sealed or opened finish first; what they report to this object is dropped with it.
    m_cipherThread.reset();
}

void PeerSecurity::cipherOffThread(FrameSender send, Admitted admitted)
{
    m_sendFrame = std::move(send);
    m_admitted = std::move(admitted);
    m_cipherThread = std::make_unique<TaskThread>(kMaxOffThread);
}

bool PeerSecurity::offThread(qsizetype bytes) const
{
    return m_cipherThread && bytes >= kOffThreadFrom && m_cipherThread->hasRoom();
}

void PeerSecurity::sealedOffThread(const QHostAddress& address, QByteArray frame)
{
    if (frame.isNull()) {
        qCritical().noquote()
            << QStringLiteral("A message to %1 could not be sealed; it was not sent").arg(addressText(address));
        return;
    }
    m_sendFrame(address, std::move(frame));
}

bool PeerSecurity::sealOffThread(const QHostAddress& address, const Parameters& parameters, SealedChannel& channel,
                                 const QByteArray& theirKey, BufferPool* frames)
{
    std::shared_ptr<DetachedCipher> cipher = channel.sealElsewhere();
    if (!cipher)
        return false;
    auto unsealed = std::make_shared<UnsealedFrame>(
        unsealedFrame(parameters, cipher->counter(), m_profile.hostId(), m_session->keyId(), theirKey, frames));
    // Never refused: there was room, and only this thread posts.
    return m_cipherThread->post([this, address, unsealed, cipher] {
        const QByteArray sealed = sealFrame(*unsealed, *cipher) ? unsealed->frame : QByteArray();
        QMetaObject::invokeMethod(
            this, [this, address, sealed] { sealedOffThread(address, sealed); }, Qt::QueuedConnection);
    });
}

bool PeerSecurity::openOffThread(QByteArray&& record, const SealedEnvelope& envelope, SealedChannel& channel,
                                 const QString& address)
{
    std::shared_ptr<DetachedCipher> cipher = channel.openElsewhere(envelope.counter);
    if (!cipher)
        return refuse(QStringLiteral("a sealed message that does not open (altered, cut short or replayed)"),
                      QStringLiteral("from %1 at %2").arg(shortId(envelope.nodeFrom), address));
    const quint64 serial = channel.serial();
    const bool posted = m_cipherThread->post(
        [this, record = std::move(record), envelope, cipher, serial, address, frames = m_frames]() mutable {
            Parameters opened;
            const bool authentic = openEnvelope(std::move(record), envelope, *cipher, &opened, frames);
            QMetaObject::invokeMethod(
                this,
                [this, authentic, envelope, serial, opened, address] {
                    openedOffThread(authentic, envelope, serial, opened, address);
                },
                Qt::QueuedConnection);
        });
    if (!posted) // never: there was room, and only this thread posts
        return refuse(QStringLiteral("a sealed file packet"), QStringLiteral("the cipher thread is full"));
    return false;
}

void PeerSecurity::openedOffThread(bool opened, const SealedEnvelope& envelope, quint64 channelSerial,
                                   Parameters message, const QString& address)
{
    // Our keys or theirs may have been renewed meanwhile, and a copy of the same record may have been opened first:
    // the counter is only taken from the channel the cipher came from, now, on this thread.
    SealedChannel* channel = envelope.recipientKeyId == m_session->keyId()
                                 ? m_sessions->channel(envelope.nodeFrom, envelope.senderKeyId)
                                 : nullptr;
    if (!opened || !channel || channel->serial() != channelSerial || !channel->markOpened(envelope.counter)) {
        refuse(QStringLiteral("a sealed message that does not open (altered, cut short or replayed)"),
               QStringLiteral("from %1 at %2").arg(shortId(envelope.nodeFrom), address));
        return;
    }
    taken(envelope.nodeFrom, address, message);
    m_admitted(std::move(message));
}

} // namespace Vesk
