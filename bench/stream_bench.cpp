// Throughput of the TLS stream between two Vesk computers against a raw TCP connection carrying the same frames,
// both on loopback in one process and one thread (both ends share the processor, as the stream's ends would if
// they were one machine's two sides). For each kind of frame:
//   raw TCP - frames written to a QTcpSocket, their bytes read and counted on the other end: the baseline;
//   stream  - the same frames through two PeerStreams tables (TLS 1.3, AES-256-GCM where the processor has AES).
// Both senders keep at most StreamLimits::kMaxQueuedBytes waiting and go on when half of it has left; both receivers
// let the socket hold at most 1 MB unread, as the stream does, and the stream's hands each frame on whole. The two run
// in turn, three times each; each line gives the best run of both: MB per second of processor time of the whole process
// (both ends, kernel included, so other load on the machine moves it little), frames per processor second, and the
// stream's share of the raw rate. The wall-clock rate of the same runs follows in brackets. Each run is a process of
// its own.
//
//   bench_stream [megabytes]     (default 2000)

#include "net/peerstreams.h"
#include "net/wire.h"

#include "secure/identitykey.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <cstdio>
#include <ctime>
#include <functional>

namespace {

constexpr qint64 kQueue = Vesk::StreamLimits::kMaxQueuedBytes;
constexpr int kRuns = 3;

double processSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Rate
{
    double megabytesPerSecond = 0; // per second of processor time
    double framesPerSecond = 0;
    double wallMegabytesPerSecond = 0;
};

// Measures from its creation to rateOf().
class Meter
{
public:
    Meter() : m_cpu(processSeconds()) { m_wall.start(); }
    Rate rateOf(qint64 frames, int size) const
    {
        const double cpu = qMax(processSeconds() - m_cpu, 1e-6);
        const double wall = qMax(double(m_wall.nsecsElapsed()) / 1e9, 1e-6);
        const double megabytes = double(frames) * size / 1e6;
        return {megabytes / cpu, double(frames) / cpu, megabytes / wall};
    }

private:
    double m_cpu;
    QElapsedTimer m_wall;
};

// Frames of `size` bytes over one raw TCP connection.
Rate rawTcp(qint64 frames, int size)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    QTcpSocket sender;
    sender.connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!sender.waitForConnected(5000) || !server.waitForNewConnection(5000))
        return {};
    QTcpSocket* receiver = server.nextPendingConnection();
    receiver->setReadBufferSize(1024 * 1024);
    QByteArray frame(Vesk::kFrameHeaderSize + size, 'x');
    qToLittleEndian<quint32>(quint32(size), frame.data());

    QEventLoop loop;
    qint64 sent = 0;
    const auto fill = [&] {
        while (sent < frames && sender.bytesToWrite() < kQueue) {
            frame[Vesk::kFrameHeaderSize] = char(sent); // a frame of its own, as each message is
            sender.write(frame);
            ++sent;
        }
    };
    QObject::connect(&sender, &QTcpSocket::bytesWritten, &loop, [&] {
        if (sender.bytesToWrite() <= kQueue / 2)
            fill();
    });
    // The bytes are only counted, read into one buffer used again and again: the least a receiver can do.
    const qint64 total = frames * frame.size();
    qint64 received = 0;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    QObject::connect(receiver, &QTcpSocket::readyRead, &loop, [&] {
        qint64 got = 0;
        while ((got = receiver->read(buffer.data(), buffer.size())) > 0)
            received += got;
        if (received >= total)
            loop.quit();
    });
    const Meter meter;
    fill();
    loop.exec();
    return meter.rateOf(frames, size);
}

// The same frames through an authenticated stream.
Rate stream(qint64 frames, int size)
{
    const auto accept = [](const QString&, const QByteArray&) {
        return Vesk::PeerStreams::PinVerdict::Accept;
    };
    Vesk::PeerStreams a(Vesk::IdentityKey::generate(), "node-a", accept);
    Vesk::PeerStreams b(Vesk::IdentityKey::generate(), "node-b", accept);
    b.listen(QHostAddress::LocalHost, 0);
    QEventLoop loop;
    QObject::connect(&a, &Vesk::PeerStreams::streamUp, &loop, &QEventLoop::quit);
    a.dial(QHostAddress::LocalHost, b.serverPort(), "node-b");
    loop.exec();
    if (!a.hasStream("node-b"))
        return {};

    QByteArray payload(size, 'x');
    qint64 sent = 0, received = 0;
    const auto fill = [&] {
        while (sent < frames) {
            payload[0] = char(sent);
            if (!a.send("node-b", payload))
                return;
            ++sent;
        }
    };
    QObject::connect(&a, &Vesk::PeerStreams::sendReady, &loop, fill);
    QObject::connect(&b, &Vesk::PeerStreams::frameReceived, &loop, [&] {
        if (++received == frames)
            loop.quit();
    });
    const Meter meter;
    fill();
    loop.exec();
    return meter.rateOf(frames, size);
}

// One run in a process of its own, so what the allocator and the heap kept from one run does not favour the next:
// "bench_stream --run raw|stream <frame size> <frames>" prints the three figures of a Rate.
int runOne(const QStringList& arguments)
{
    const int size = arguments.value(3).toInt();
    const qint64 frames = arguments.value(4).toLongLong();
    const Rate rate = arguments.value(2) == "raw" ? rawTcp(frames, size) : stream(frames, size);
    std::printf("%f %f %f\n", rate.megabytesPerSecond, rate.framesPerSecond, rate.wallMegabytesPerSecond);
    return rate.framesPerSecond > 0 ? 0 : 1;
}

Rate runChild(const QString& mode, int size, qint64 frames)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                {"--run", mode, QString::number(size), QString::number(frames)});
    if (!child.waitForFinished(-1) || child.exitCode() != 0)
        return {};
    const QList<QByteArray> figures = child.readAllStandardOutput().trimmed().split(' ');
    return {figures.value(0).toDouble(), figures.value(1).toDouble(), figures.value(2).toDouble()};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.value(1) == "--run")
        return runOne(arguments);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 2000;
    struct Kind
    {
        const char* name;
        int size;
    };
    const Kind kinds[] = {{"file packet (1,000,000 B)", 1000000}, {"chat-sized (300 B)", 300}};
    std::printf("%-26s %12s %14s %15s %15s %6s   %s\n", "frames", "raw MB/cpu-s", "raw frames/s", "stream MB/cpu-s",
                "stream frames/s", "ratio", "(wall MB/s raw, stream)");
    for (const Kind& kind : kinds) {
        // Small frames are counted in frames rather than bytes: a tenth of the bytes is plenty of them.
        const qint64 bytes = megabytes * 1000000 / (kind.size < 100000 ? 10 : 1);
        const qint64 frames = qMax<qint64>(1, bytes / kind.size);
        Rate raw, tls;
        for (int run = 0; run < kRuns; ++run) {
            const Rate rawRun = runChild("raw", kind.size, frames);
            const Rate tlsRun = runChild("stream", kind.size, frames);
            if (rawRun.megabytesPerSecond > raw.megabytesPerSecond)
                raw = rawRun;
            if (tlsRun.megabytesPerSecond > tls.megabytesPerSecond)
                tls = tlsRun;
        }
        std::printf("%-26s %12.0f %14.0f %15.0f %15.0f %6.2f   (%.0f, %.0f)\n", kind.name, raw.megabytesPerSecond,
                    raw.framesPerSecond, tls.megabytesPerSecond, tls.framesPerSecond,
                    raw.megabytesPerSecond > 0 ? tls.megabytesPerSecond / raw.megabytesPerSecond : 0.0,
                    raw.wallMegabytesPerSecond, tls.wallMegabytesPerSecond);
    }
    return 0;
}
