// The sealed envelope. The first byte picks what the rest is:
//   even: a record as received, read as an envelope and, when it reads as one from Alice, opened with Bob's keys
//         for her (nothing but what Alice sealed can open, and these bytes are not hers);
//   odd:  a record whose message Alice seals for Bob; the next two bytes name a bit of the sealed record to flip,
//         or none. Unaltered it opens as the same message; altered it never opens.

#include "fuzzsupport.h"

#include "common/bufferpool.h"
#include "net/envelope.h"
#include "secure/identitykey.h"
#include "secure/session.h"

using Vesk::Parameters;

namespace {

struct Node
{
    explicit Node(const QString& id) : id(id), session(Vesk::IdentityKey::generate(), 1000), peers(session) {}
    QString id;
    Vesk::LocalSession session;
    Vesk::PeerSessions peers;
};

struct Pair
{
    Pair()
    {
        alice.peers.accept(bob.session.offer(bob.id));
        bob.peers.accept(alice.session.offer(alice.id));
    }
    Node alice{QStringLiteral("{alice}")}, bob{QStringLiteral("{bob}")};
    Vesk::BufferPool frames;
};

bool opens(Pair& pair, QByteArray record, Parameters* opened)
{
    Vesk::SealedEnvelope envelope;
    if (Vesk::readEnvelope(record, &envelope) != Vesk::EnvelopeKind::Sealed)
        return false;
    Vesk::SealedChannel* channel = pair.bob.peers.channel(envelope.nodeFrom, envelope.senderKeyId);
    if (!channel || envelope.recipientKeyId != pair.bob.session.keyId())
        return false;
    return Vesk::openEnvelope(std::move(record), envelope, *channel, opened, &pair.frames);
}

} // namespace

QList<QByteArray> Fuzz::seeds()
{
    Pair pair;
    const Parameters chat{{"action", "newChatMessage"}, {"nodeFrom", "{alice}"}, {"message", "hi"}};
    const Parameters packet{{"action", "receiveDataPacket"}, {"fileId", "{f}"}, {"binaryData", QByteArray(70000, 'p')}};
    QList<QByteArray> all;
    for (const Parameters& p : {chat, packet}) {
        // Sealed records as they arrive (under keys of another run: they read, but do not open).
        const QByteArray frame = Vesk::sealedFrame(p, *pair.alice.peers.channel("{bob}"), "{alice}",
                                                   pair.alice.session.keyId(), pair.bob.session.keyId());
        all.append('\0' + frame.mid(Vesk::kFrameHeaderSize));
        all.append(QByteArray("\1\0\0", 3) + record(p));
        all.append(QByteArray("\1\1\7", 3) + record(p));
    }
    return all;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Pair pair;
    if (size < 1)
        return 0;
    const QByteArray rest = Fuzz::bytes(data + 1, size - 1);
    Parameters opened;
    if (data[0] % 2 == 0) {
        Fuzz::check(!opens(pair, rest, &opened), "only what Alice sealed opens");
        return 0;
    }
    if (rest.size() < 2)
        return 0;
    Parameters message = Vesk::byteArrayToParameters(rest.mid(2));
    if (message.contains(QLatin1String(Vesk::kSealedRecordKey)))
        return 0;
    message.insert("nodeFrom", pair.alice.id);
    QByteArray sealed = Vesk::sealedFrame(message, *pair.alice.peers.channel(pair.bob.id), pair.alice.id,
                                          pair.alice.session.keyId(), pair.bob.session.keyId())
                            .mid(Vesk::kFrameHeaderSize);
    const int flip = (quint8(rest[0]) << 8 | quint8(rest[1])) - 1;
    if (flip >= 0 && flip / 8 < sealed.size()) {
        sealed[flip / 8] = char(sealed[flip / 8] ^ (1 << (flip % 8)));
        Fuzz::check(!opens(pair, sealed, &opened), "an altered record never opens");
        return 0;
    }
    Fuzz::check(opens(pair, sealed, &opened), "a sealed record opens");
    Fuzz::check(opened == message, "and gives the message sealed");
    return 0;
}
