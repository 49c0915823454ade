#include "net/addressprobe.h"

#include "net/netaddress.h"
#include "net/netlogging.h"
#include "net/othernetworks.h"

#include <QHostInfo>

namespace Vesk {

AddressProbe::AddressProbe(Announce announce, FindPeer findPeer, IsOwnAddress isOwn, QObject* parent)
    : QObject(parent), m_announce(std::move(announce)), m_findPeer(std::move(findPeer)), m_isOwn(std::move(isOwn))
{
    m_pollTimer.setInterval(kPollMs);
    connect(&m_pollTimer, &QTimer::timeout, this, &AddressProbe::pollTimeout);
}

void AddressProbe::start(const QString& text)
{
    ++m_generation;
    m_pollTimer.stop();
    m_lookingUp = false;
    m_text = text.trimmed();
    const OtherNetworks parsed = OtherNetworks::parse(m_text);
    const bool single = parsed.problems.isEmpty() && parsed.entries.size() == 1 &&
                        parsed.entries.first().kind != OtherNetworkEntry::Kind::Range &&
                        !m_text.contains(QLatin1Char(','));
    if (!single) {
        finish(
            false,
            m_text.isEmpty()
                ? tr("Type the address or the name of a computer.")
                : tr("%1 is not an address or a computer name.").arg(QChar(0x201c) + m_text.left(64) + QChar(0x201d)));
        return;
    }
    const OtherNetworkEntry entry = parsed.entries.first();
    if (entry.kind == OtherNetworkEntry::Kind::Address) {
        probe(entry.address);
        return;
    }
    m_lookingUp = true;
    const quint64 generation = m_generation;
    QHostInfo::lookupHost(m_text, this, [this, generation](const QHostInfo& info) {
        if (generation != m_generation)
            return;
        m_lookingUp = false;
        for (const QHostAddress& address : info.addresses()) {
            const QHostAddress v4 = normalisedAddress(address);
            if (v4.protocol() == QAbstractSocket::IPv4Protocol) {
                probe(v4);
                return;
            }
        }
        finish(false, tr("No computer named %1 was found.").arg(QChar(0x201c) + m_text + QChar(0x201d)));
    });
}

void AddressProbe::probe(const QHostAddress& address)
{
    m_address = address;
    if (m_isOwn && (m_isOwn(address) || address.isLoopback())) {
        finish(false, tr("%1 is this computer.").arg(addressText(address)));
        return;
    }
    // Somebody already online there is the answer; nothing needs to be sent.
    const QString alias = m_findPeer(addressText(address));
    if (!alias.isEmpty()) {
        finish(true, tr("Found %1").arg(alias));
        return;
    }
    qCDebug(lcDiscovery) << "looking for a peer at" << address;
    m_elapsedMs = 0;
    if (!m_announce(address)) {
        finish(false, tr("Could not send anything to %1. Is the network connected?").arg(addressText(address)));
        return;
    }
    m_pollTimer.start();
}

void AddressProbe::pollTimeout()
{
    m_elapsedMs += kPollMs;
    const QString alias = m_findPeer(addressText(m_address));
    if (!alias.isEmpty()) {
        finish(true, tr("Found %1").arg(alias));
        return;
    }
    if (m_elapsedMs >= m_timeoutMs) {
        finish(false, tr("Nobody running Vesk answers at %1").arg(addressText(m_address)));
        return;
    }
    // A lost datagram must not mean "nobody there": the announcement goes again every second.
    if (m_elapsedMs % kRetryMs == 0)
        m_announce(m_address);
}

void AddressProbe::finish(bool found, const QString& message)
{
    m_pollTimer.stop();
    m_lookingUp = false;
    Q_EMIT answered(m_text, found, message);
}

} // namespace Vesk
