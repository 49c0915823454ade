// The controller's side of sealed messages and pinned identities: the keys are made and checked in
// peers/peersecurity; here they are wired to the transport and offered to the interface.
#include "app/globals.h"

#include "peers/peersecurity.h"

namespace Vesk {

void Globals::startSecurity(const QString& dataFolder)
{
    // Behaves as a program from before sealing (no handshake fields, nothing sealed, nothing pinned), so the test
    // rig can run such a peer beside sealed ones.
    if (qEnvironmentVariableIsSet("VESK_PLAIN_PEER"))
        return;
    m_security = std::make_unique<PeerSecurity>(*m_store, m_sendQueue, m_clock, *this,
                                                dataFolder + QStringLiteral("identity.key"));
    m_sendQueue.setFrameBuilder([this](const QHostAddress& address, const Parameters& parameters, BufferPool* frames) {
        return m_security->frame(address, parameters, frames);
    });
    m_security->setFramePool(&m_frames);
    connect(m_security.get(), &PeerSecurity::securityChanged, this, &Globals::peerSecurityChanged);
}

QString Globals::peerSecurityState(QString nodeId) const
{
    return m_security ? m_security->securityState(nodeId) : QStringLiteral("plain");
}

QString Globals::peerSecurityCode(QString nodeId) const
{
    return m_security ? m_security->comparisonCode(nodeId) : QString();
}

bool Globals::markPeerVerified(QString nodeId)
{
    return m_security && m_security->markVerified(nodeId);
}

bool Globals::acceptPeerSecurityKey(QString nodeId)
{
    return m_security && m_security->acceptChangedKey(nodeId);
}

} // namespace Vesk
