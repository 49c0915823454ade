#pragma once

#include "peers/peerrecords.h"
#include "subsystemfixture.h"

#include <QObject>

#include <memory>

namespace TestSupport {

// A message from a peer as the dispatcher hands it on: its action, sender and address, and the fields given.
inline Vesk::Parameters fromPeer(const QString& action, const QString& nodeId, const QString& address,
                                 const Vesk::Parameters& extra = {})
{
    Vesk::Parameters message{{"action", action}, {"nodeFrom", nodeId}, {"senderIPAddress", address}};
    message.insert(extra);
    return message;
}

// The base of the tests of the peer records and of the search they run: before every test function a PeerRecords
// over a fresh SubsystemFixture, after it both gone.
class PeerRecordsFixture : public QObject
{
    Q_OBJECT

protected:
    std::unique_ptr<SubsystemFixture> f;
    std::unique_ptr<Vesk::PeerRecords> peers;

private slots:
    void init()
    {
        f = std::make_unique<SubsystemFixture>();
        peers = std::make_unique<Vesk::PeerRecords>(*f->store, f->sink, f->clock, f->profile, f->dataFolder());
    }
    void cleanup()
    {
        peers.reset();
        f.reset();
    }
};

} // namespace TestSupport
