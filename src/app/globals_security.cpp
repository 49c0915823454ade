// The controller's side of sealed messages and pinned identities: the keys are made and checked in
// peers/peersecurity; here they are wired to the transport and offered to the interface.
#include "app/globals.h"

#include "net/capabilityprobe.h"
#include "net/wire.h"
#include "peers/peersecurity.h"

namespace Vesk {

void Globals::startSecurity(const QString& dataFolder)
{
    // Behaves as a program from before sealing (no handshake fields, nothing sealed, nothing pinned), so the test
    // rig can run such a peer beside sealed ones.
    if (qEnvironmentVariableIsSet("VESK_PLAIN_PEER"))
        return;
    // Other programs learn here, before they send us a field of the extensions, that we read them.
    m_capabilityServer = std::make_unique<CapabilityServer>();
    if (!m_capabilityServer->listenForProbes())
        qCritical().noquote() << QStringLiteral("Port %1 is taken: other Vesk programs will talk to this one in the "
                                                "plain protocol until it is free (%2)")
                                     .arg(kCapabilityPort)
                                     .arg(m_capabilityServer->errorString());
    m_capabilityProbe = std::make_unique<TcpCapabilityProbe>();
    m_security = std::make_unique<PeerSecurity>(*m_store, m_sendQueue, *m_capabilityProbe, m_clock, *this,
                                                dataFolder + QStringLiteral("identity.key"));
    m_sendQueue.setFrameBuilder([this](const QHostAddress& address, const Parameters& parameters, BufferPool* frames) {
        return m_security->frame(address, parameters, frames);
    });
    m_security->setFramePool(&m_frames);
    m_security->cipherOffThread(
        [this](const QHostAddress& address, QByteArray frame) { m_sendQueue.sendFrame(address, std::move(frame)); },
        [this](Parameters message) { dispatchMessage(message); });
    connect(m_security.get(), &PeerSecurity::securityChanged, this, &Globals::peerSecurityChanged);
}

quint32 Globals::capabilitiesOf(const QString& nodeId) const
{
    return m_security ? m_security->capabilitiesOf(nodeId) : 0;
}

void Globals::noteExtensionFields(const Parameters& message)
{
    // The test rig's plain peer stands for a program from before the extensions, which would find these fields
    // unknown: each such message is a fault of its sender, so each is logged (the first thousand).
    static int noted = 0;
    if (!carriesExtensionFields(message) || ++noted > 1000)
        return;
    QStringList fields;
    for (auto field = message.cbegin(); field != message.cend(); ++field)
        if (isExtensionField(field.key()))
            fields.append(field.key());
    fields.sort();
    qCritical().noquote() << QStringLiteral("Received a message with fields unknown to a plain program from %1: %2")
                                 .arg(message.value(QStringLiteral("senderIPAddress")).toString(), fields.join(u' '));
}

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
