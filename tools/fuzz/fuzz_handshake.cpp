// A message as it reaches the security check before dispatch: handshakes with their extension fields (identity
// key, session key, signature, time, capabilities, the key named as ours) and sealed records, from one address.

#include "fuzzsupport.h"
#include "handshake.h"

#include "net/envelope.h"
#include "peers/peersecurity.h"
#include "secure/identitykey.h"
#include "secure/session.h"
#include "subsystemfixture.h"

using Vesk::Parameters;

namespace {

struct Rig
{
    Rig()
    {
        f.addPeer("{alice}", "on", "10.0.0.1");
        security = std::make_unique<Vesk::PeerSecurity>(*f.store, f.sink, probe, f.clock, f.profile,
                                                        f.dataFolder() + "identity.key");
    }
    TestSupport::SubsystemFixture f;
    TestSupport::ScriptedCapabilityProbe probe;
    std::unique_ptr<Vesk::PeerSecurity> security;
};

Parameters handshake(const Vesk::LocalSession& session, const QString& id, const QString& action)
{
    Parameters message = TestSupport::handshakeOf(session, id, action);
    message.insert("sealedTo", QByteArray(16, 'k'));
    return message;
}

} // namespace

QList<QByteArray> Fuzz::seeds()
{
    const Vesk::LocalSession alice(Vesk::IdentityKey::generate(), 1000);
    const Vesk::LocalSession carol(Vesk::IdentityKey::generate(), 2000, 0);
    return {record(handshake(alice, "{alice}", "addMeRequest")),
            record(handshake(alice, "{alice}", "addMeRequestConfirmed")),
            record(handshake(carol, "{carol}", "addMeRequest")),
            record({{"action", "addMeRequest"}, {"nodeFrom", "{dave}"}, {"alias", "Dave"}}),
            record({{"action", "newChatMessage"}, {"nodeFrom", "{alice}"}, {"message", "hi"}})};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Rig rig;
    Parameters message = Vesk::byteArrayToParameters(Fuzz::bytes(data, size));
    message.insert("senderIPAddress", "10.0.0.1");
    if (rig.security->admit(message))
        Fuzz::check(!message.contains(QLatin1String(Vesk::kSealedRecordKey)), "an admitted record is opened");
    rig.f.clock.advance(20000);
    rig.f.sink.clear();
    return 0;
}
