// The controller's side of sealed messages and pinned identities: the keys are made and checked in
// peers/peersecurity and wired to the transport by the core; here they are offered to the interface.
#include "app/globals.h"

#include "peers/peersecurity.h"

namespace Vesk {

SecurityState::State Globals::peerSecurityState(QString nodeId) const
{
    return m_security ? m_security->securityState(nodeId) : SecurityState::Plain;
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
