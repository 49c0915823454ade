// Per-byte cost of sealing and opening file packets, beside the plain frames they stand for, in one process on one
// thread (processor time, so other load on the machine moves the figures little). For a 1,000,000-byte packet:
//   plain frame    - the frame a plain peer gets (the packet copied into it): the baseline;
//   sealed frame   - the same packet sealed as the program does, straight from the packet into the frame;
//   copy then seal - the packet copied into the frame first and the record sealed there in place (how it was done
//                    before), for comparison;
//   plain read     - a received plain frame turned into its message (the packet is not copied): the baseline;
//   open           - a received sealed frame checked, decrypted into a pooled buffer and turned into its message;
//   open in place  - the same decrypted where it lies (what a record nobody else holds could do), for comparison.
// The sealed frames to open are made beforehand and read from memory once each, the plain one every time.
// Each row gives milliseconds of processor time per MB and its ratio to the baseline of its side.
//
//   bench_seal [packets]     (default 2000)

#include "common/bufferpool.h"
#include "net/envelope.h"
#include "net/wire.h"
#include "secure/identitykey.h"
#include "secure/session.h"

#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>

namespace {

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

constexpr qsizetype kPacket = 1000000;

// Milliseconds of processor time per MB of packet for `count` runs of `step`.
double perMb(int count, const std::function<void(int)>& step)
{
    const double start = threadSeconds();
    for (int i = 0; i < count; ++i)
        step(i);
    return (threadSeconds() - start) * 1000.0 / (double(count) * double(kPacket) / 1e6);
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    Vesk::LocalSession alice(Vesk::IdentityKey::generate(), 1000), bob(Vesk::IdentityKey::generate(), 2000);
    Vesk::PeerSessions alicePeers(alice), bobPeers(bob);
    if (alicePeers.accept(bob.offer("{bob}")) != Vesk::PeerSessions::Outcome::Agreed ||
        bobPeers.accept(alice.offer("{alice}")) != Vesk::PeerSessions::Outcome::Agreed) {
        std::fprintf(stderr, "bench_seal: no keys agreed\n");
        return 1;
    }
    Vesk::SealedChannel& toBob = *alicePeers.channel("{bob}");
    Vesk::SealedChannel& fromAlice = *bobPeers.channel("{alice}");
    QByteArray packet(kPacket, Qt::Uninitialized);
    for (qsizetype i = 0; i < kPacket; ++i)
        packet[i] = char(i * 7 + 3);
    const Vesk::Parameters message{{"action", "receiveDataPacket"},
                                   {"fileId", "{f}"},
                                   {"fileSeek", 0},
                                   {"packetId", "{p}"},
                                   {"binaryData", packet}};
    Vesk::BufferPool frames;
    volatile char sink = 0;

    const double plainFrame = perMb(count, [&](int) {
        const QByteArray frame = Vesk::parametersToFrame(message, &frames);
        sink = sink + frame.at(frame.size() / 2);
    });
    const double sealedFrame = perMb(count, [&](int) {
        const QByteArray frame = Vesk::sealedFrame(message, toBob, "{alice}", alice.keyId(), bob.keyId(), &frames);
        sink = sink + frame.at(frame.size() / 2);
    });
    // The way before: the whole record in the frame, then sealed where it lies.
    const QByteArray record = Vesk::parametersToByteArray(message);
    const QByteArray associated = QByteArray("associated data of a sealed record");
    const double copyThenSeal = perMb(count, [&](int) {
        QByteArray frame = frames.take(record.size() + Vesk::SealedChannel::kMacSize);
        std::memcpy(frame.data(), record.constData(), size_t(record.size()));
        auto* data = reinterpret_cast<unsigned char*>(frame.data());
        toBob.seal(associated, data, size_t(record.size()), data + record.size());
        sink = sink + frame.at(frame.size() / 2);
        frames.giveBack(std::move(frame));
    });

    const QByteArray plainPayload = Vesk::parametersToFrame(message).mid(Vesk::kFrameHeaderSize);
    const double plainRead = perMb(count, [&](int) {
        QByteArray received = frames.take(plainPayload.size());
        std::memcpy(received.data(), plainPayload.constData(), size_t(plainPayload.size()));
        const Vesk::Parameters read = Vesk::byteArrayToParameters(std::move(received));
        sink = sink + read.value("binaryData").toByteArray().at(kPacket / 2);
        frames.giveBack(read.value("binaryData").toByteArray());
    });
    // Opened once each (a second time would be refused as replayed), so all are sealed beforehand: fewer, to bound
    // the memory they take.
    const int opened = std::min(count, 400);
    QList<QByteArray> sealed;
    for (int i = 0; i < opened; ++i)
        sealed.append(Vesk::sealedFrame(message, toBob, "{alice}", alice.keyId(), bob.keyId()).mid(4));
    int refused = 0;
    const auto openOne = [&](int i, Vesk::BufferPool* into) {
        QByteArray received = frames.take(sealed.at(i).size());
        std::memcpy(received.data(), sealed.at(i).constData(), size_t(sealed.at(i).size()));
        Vesk::SealedEnvelope envelope;
        Vesk::Parameters read;
        if (Vesk::readEnvelope(received, &envelope) != Vesk::EnvelopeKind::Sealed ||
            !Vesk::openEnvelope(std::move(received), envelope, fromAlice, &read, into)) {
            ++refused;
            return;
        }
        sink = sink + read.value("binaryData").toByteArray().at(kPacket / 2);
        frames.giveBack(read.value("binaryData").toByteArray());
    };
    const double open = perMb(opened / 2, [&](int i) { openOne(2 * i, &frames); });
    const double openInPlace = perMb(opened / 2, [&](int i) { openOne(2 * i + 1, nullptr); });

    std::printf("%d packets of %lld bytes, %s; processor ms per MB (ratio to the plain row of its side)\n", count,
                static_cast<long long>(kPacket),
                toBob.cipher() == Vesk::Cipher::Aes256Gcm ? "AES-256-GCM" : "ChaCha20-Poly1305");
    std::printf("  plain frame     %6.3f\n", plainFrame);
    std::printf("  sealed frame    %6.3f  (%.2f)\n", sealedFrame, sealedFrame / plainFrame);
    std::printf("  copy then seal  %6.3f  (%.2f)\n", copyThenSeal, copyThenSeal / plainFrame);
    std::printf("  plain read      %6.3f  (reading includes a copy standing for the socket's)\n", plainRead);
    std::printf("  open            %6.3f  (%.2f)%s\n", open, open / plainRead, refused ? "  REFUSED SOME" : "");
    std::printf("  open in place   %6.3f  (%.2f)\n", openInPlace, openInPlace / plainRead);
    return refused ? 1 : 0;
}
