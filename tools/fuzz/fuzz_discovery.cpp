// A discovery datagram from any host: parsed as the discovery socket parses it, and the announced peer taken in as
// the program takes it (its row stored, a handshake sent). Run it in a network namespace of its own: the
// discovery port is bound.

#include "fuzzsupport.h"

#include "net/peermanager.h"
#include "peers/peerrecords.h"
#include "subsystemfixture.h"

namespace {

struct Discovery : TestSupport::SubsystemFixture
{
    Discovery() : peers(*store, sink, clock, profile, dataFolder())
    {
        manager.setClock(clock);
        QObject::connect(&manager, &Vesk::PeerManager::newConnection, &peers, &Vesk::PeerRecords::addNodeFromUDP);
    }
    Vesk::PeerManager manager;
    Vesk::PeerRecords peers;
};

} // namespace

QList<QByteArray> Fuzz::seeds()
{
    return {Vesk::PeerManager::buildAnnouncement("{1d6e2c3a-0b1f-4e4b-9d0c-2f7a8c1e9b01}", "Linux", "Bob"),
            Vesk::PeerManager::buildAnnouncement("{x}", "Windows 10", QString::fromUtf8("Zoë ☃"))};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Discovery discovery;
    const QByteArray datagram = Fuzz::bytes(data, size);
    const auto announcement = Vesk::PeerManager::parseAnnouncement(datagram);
    if (announcement) {
        const QByteArray again =
            Vesk::PeerManager::buildAnnouncement(announcement->nodeId, announcement->nodeOS, announcement->nodeAlias);
        Fuzz::check(again == datagram, "an announcement reads and writes back byte for byte");
    }
    discovery.clock.advance(1000000); // never a repeat: every datagram is taken in
    discovery.manager.handleDatagram(datagram, QHostAddress(QStringLiteral("10.0.0.77")));
    discovery.sink.clear();
    return 0;
}
