// Message transport benchmark: one process receives, another sends, each message on its own connection the way
// the program sends them. Three phases:
//   small  - small messages as fast as they go, at most `window` connections in flight on the sending side;
//   large  - frames carrying a 1,000,000-byte packet, the same way;
//   paced  - small messages at a steady 1,000 a second (a busy transfer plus chat) through the program's send
//            queue, for the descriptor count.
// Each process prints its rate, processor time per message and the peak number of its open descriptors; the
// receiver also times the same bytes over one plain TCP stream as a baseline for the first two phases.
//
//   net_bench receive <small> <large> <paced>
//   net_bench send <address> <small> <large> <paced> [window]

#include "common/bufferpool.h"
#include "net/framereader.h"
#include "net/messageserver.h"
#include "net/sendqueue.h"
#include "net/vesktcpsocket.h"
#include "net/wire.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <dirent.h>
#include <sys/resource.h>

#include <cstdio>
#include <functional>

namespace {

constexpr quint16 kBaselinePort = 25002;
constexpr int kSmallPayload = 64;
constexpr int kLargePayload = 1000000;
constexpr int kSampleIntervalMs = 10;
constexpr int kIdleTimeoutMs = 20000;
constexpr int kDefaultWindow = 16;
constexpr int kPacedPerSecond = 1000;
constexpr int kPacedTickMs = 10;

enum Phase { Small, Large, Paced, PhaseCount };
const char* const kPhaseNames[PhaseCount] = {"small", "large", "paced"};
const char* const kPhaseActions[PhaseCount] = {"benchSmall", "benchLarge", "benchPaced"};

int openDescriptors()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        closedir(dir);
    }
    return count - 1; // the directory being read
}

// Processor time of this process (user and system) in microseconds: on a shared machine the wall-clock rate
// depends on the neighbours, the cost per message does not.
qint64 cpuMicroseconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

double rate(qint64 count, qint64 elapsedMs)
{
    return elapsedMs > 0 ? double(count) * 1000.0 / double(elapsedMs) : 0.0;
}

// Samples the descriptor count on a short timer. Not at every event: listing /proc/self/fd costs as much as
// handling a small message.
class DescriptorWatch
{
public:
    DescriptorWatch()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_peak = qMax(m_peak, openDescriptors()); });
        m_timer.start(kSampleIntervalMs);
    }
    int peak() const { return m_peak; }
    void reset() { m_peak = openDescriptors(); }

private:
    QTimer m_timer;
    int m_peak = 0;
};

Vesk::Parameters message(Phase phase, const QByteArray& packet, int index)
{
    if (phase == Large)
        return {{"action", kPhaseActions[phase]}, {"binaryData", packet}, {"fileSeek", quint32(index)}};
    return {{"action", kPhaseActions[phase]}, {"chatId", index}, {"message", QByteArray(kSmallPayload, 'm')}};
}

// ---- receiver -------------------------------------------------------------------------------------------------

class Receiver : public QObject
{
public:
    Receiver(int small, int large, int paced) : m_expected{small, large, paced}
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, &Receiver::accept);
        QObject::connect(&m_baselineServer, &QTcpServer::newConnection, this, &Receiver::acceptBaseline);
        QObject::connect(&m_idle, &QTimer::timeout, this, [this] {
            std::printf("receiver: idle for %d ms, giving up (small %d/%d, large %d/%d, paced %d/%d)\n", kIdleTimeoutMs,
                        m_count[Small], m_expected[Small], m_count[Large], m_expected[Large], m_count[Paced],
                        m_expected[Paced]);
            QCoreApplication::exit(1);
        });
        m_idle.setSingleShot(true);
        m_idle.start(kIdleTimeoutMs);
    }

    bool listen()
    {
        return m_server.listen(QHostAddress::AnyIPv4, Vesk::kTcpPort) &&
               m_baselineServer.listen(QHostAddress::AnyIPv4, kBaselinePort);
    }

private:
    void accept()
    {
        // As the controller does: every pending connection gets its own one-message object.
        for (qintptr accepted = m_server.takeDescriptor(); accepted != -1; accepted = m_server.takeDescriptor()) {
            auto* connection = new Vesk::FrameReader(m_frames, m_budget);
            QObject::connect(connection, &Vesk::FrameReader::parametersRead, this, &Receiver::received,
                             Qt::QueuedConnection);
            connection->setDescriptor(accepted);
        }
    }

    void received(const QHash<QString, QVariant>& parameters)
    {
        m_idle.start(kIdleTimeoutMs);
        const QString action = parameters.value("action").toString();
        int phase = 0;
        while (phase < PhaseCount && action != QLatin1String(kPhaseActions[phase]))
            ++phase;
        if (phase == PhaseCount)
            return;
        if (phase == Large && parameters.value("binaryData").toByteArray().size() != kLargePayload)
            ++m_damaged;
        if (m_count[phase]++ == 0) {
            m_clock[phase].start();
            m_cpu[phase] = cpuMicroseconds();
            m_watch.reset();
        }
        if (m_count[phase] != m_expected[phase])
            return;
        const qint64 elapsed = m_clock[phase].elapsed();
        std::printf("receiver: %s  %d messages in %lld ms = %.0f messages/s, %.0f us processor time each, "
                    "peak descriptors %d",
                    kPhaseNames[phase], m_count[phase], elapsed, rate(m_count[phase], elapsed),
                    double(cpuMicroseconds() - m_cpu[phase]) / m_count[phase], m_watch.peak());
        if (phase == Large)
            std::printf(", %.1f MB/s, damaged %d", rate(qint64(m_count[phase]) * kLargePayload, elapsed) / 1e6,
                        m_damaged);
        std::printf("\n");
        std::fflush(stdout);
        m_peakAll = qMax(m_peakAll, m_watch.peak());
        maybeFinish();
    }

    // Baseline: one connection, an 8-byte little-endian byte count, then that many bytes.
    void acceptBaseline()
    {
        while (QTcpSocket* stream = m_baselineServer.nextPendingConnection()) {
            auto expected = std::make_shared<qint64>(-1);
            auto got = std::make_shared<qint64>(0);
            auto clock = std::make_shared<QElapsedTimer>();
            clock->start();
            QObject::connect(stream, &QIODevice::readyRead, stream, [this, stream, expected, got, clock] {
                m_idle.start(kIdleTimeoutMs);
                if (*expected < 0) {
                    if (stream->bytesAvailable() < 8)
                        return;
                    char header[8];
                    stream->read(header, 8);
                    *expected = qFromLittleEndian<qint64>(header);
                }
                *got += stream->skip(stream->bytesAvailable());
                if (*got < *expected)
                    return;
                const qint64 elapsed = clock->elapsed();
                std::printf("receiver: baseline, one plain stream of %lld bytes in %lld ms = %.1f MB/s\n", *got,
                            elapsed, rate(*got, elapsed) / 1e6);
                std::fflush(stdout);
                stream->disconnect();
                stream->close();
                stream->deleteLater();
                ++m_baselines;
                maybeFinish();
            });
        }
    }

    void maybeFinish()
    {
        for (int phase = 0; phase < PhaseCount; ++phase) {
            if (m_count[phase] < m_expected[phase])
                return;
        }
        if (m_baselines < 2)
            return;
        std::printf("receiver: peak descriptors overall %d\n", m_peakAll);
        std::fflush(stdout);
        QCoreApplication::exit(m_damaged == 0 ? 0 : 2);
    }

    Vesk::BufferPool m_frames;
    Vesk::FrameBudget m_budget{Vesk::MessageServer::kFrameBudget}; // outlives the readers: they end before the program
    Vesk::DescriptorServer m_server;
    QTcpServer m_baselineServer;
    DescriptorWatch m_watch;
    QTimer m_idle;
    int m_expected[PhaseCount];
    int m_count[PhaseCount] = {};
    QElapsedTimer m_clock[PhaseCount];
    qint64 m_cpu[PhaseCount] = {};
    int m_damaged = 0;
    int m_baselines = 0;
    int m_peakAll = 0;
};

// ---- sender ---------------------------------------------------------------------------------------------------

class Sender : public QObject
{
public:
    Sender(const QHostAddress& address, int small, int large, int paced, int window)
        : m_address(address), m_total{small, large, paced}, m_window(window), m_packet(kLargePayload, 'p')
    {
        QObject::connect(&m_pacer, &QTimer::timeout, this, [this] { pace(); });
        m_pacer.setTimerType(Qt::PreciseTimer);
    }

    void start() { runPhase(Small); }

private:
    // Connections of this sender still open: its own and the send queue's.
    int liveConnections() const { return m_live + m_queue.openConnections(); }

    void runPhase(int phase)
    {
        m_phase = Phase(phase);
        m_sent = 0;
        m_peakLive = 0;
        m_clock.start();
        m_cpu = cpuMicroseconds();
        m_watch.reset();
        if (m_phase == Paced)
            m_pacer.start(kPacedTickMs);
        else
            pump();
    }

    void sendOne()
    {
        auto* connection = new Vesk::VeskTcpSocket;
        ++m_live;
        QObject::connect(connection, &QObject::destroyed, this, [this] { --m_live; });
        QObject::connect(
            connection, &QObject::destroyed, this, [this] { connectionEnded(); }, Qt::QueuedConnection);
        connection->sendParameters(m_address, message(m_phase, m_packet, m_sent));
        ++m_sent;
        m_peakLive = qMax(m_peakLive, liveConnections());
    }

    // Full speed: keep the window full.
    void pump()
    {
        while (m_sent < m_total[m_phase] && liveConnections() < m_window)
            sendOne();
    }

    // Steady rate: as many messages as the elapsed time allows, handed to the send queue as the program does.
    void pace()
    {
        const qint64 due = qMin<qint64>(m_total[Paced], m_clock.elapsed() * kPacedPerSecond / 1000);
        while (m_sent < due) {
            m_queue.send(m_address, message(Paced, m_packet, m_sent));
            ++m_sent;
        }
        m_peakLive = qMax(m_peakLive, liveConnections());
        if (m_sent == m_total[Paced] && m_queue.openConnections() == 0 && m_queue.queuedMessages() == 0) {
            m_pacer.stop();
            connectionEnded();
        }
    }

    void connectionEnded()
    {
        if (m_phase != Paced)
            pump();
        if (m_sent < m_total[m_phase] || liveConnections() > 0 || m_phaseDone || m_finished)
            return;
        m_phaseDone = true;
        const qint64 elapsed = m_clock.elapsed();
        std::printf("sender:   %s  %d sent in %lld ms = %.0f messages/s, %.0f us processor time each, "
                    "peak descriptors %d, peak open connections %d\n",
                    kPhaseNames[m_phase], m_sent, elapsed, rate(m_sent, elapsed),
                    double(cpuMicroseconds() - m_cpu) / qMax(1, m_sent), m_watch.peak(), m_peakLive);
        std::fflush(stdout);
        const auto next = [this] {
            m_phaseDone = false;
            if (m_phase + 1 < PhaseCount) {
                runPhase(m_phase + 1);
            } else {
                m_finished = true;
                QCoreApplication::exit(0);
            }
        };
        if (m_phase == Paced) {
            next();
            return;
        }
        // The baseline for this phase: the same frames back to back over one plain stream.
        sendBaseline(Vesk::parametersToFrame(message(m_phase, m_packet, 0)).size() * m_total[m_phase], next);
    }

    void sendBaseline(qint64 bytes, std::function<void()> done)
    {
        auto* stream = new QTcpSocket(this);
        auto remaining = std::make_shared<qint64>(bytes);
        const QByteArray chunk(1 << 20, 'b');
        const auto fill = [stream, remaining, chunk] {
            while (*remaining > 0 && stream->bytesToWrite() < (4 << 20)) {
                const qint64 part = qMin<qint64>(*remaining, chunk.size());
                stream->write(chunk.constData(), part);
                *remaining -= part;
            }
        };
        QObject::connect(stream, &QAbstractSocket::connected, stream, [stream, bytes, fill] {
            char header[8];
            qToLittleEndian<qint64>(bytes, header);
            stream->write(header, 8);
            fill();
        });
        QObject::connect(stream, &QAbstractSocket::bytesWritten, stream, [stream, remaining, fill, done] {
            fill();
            if (*remaining > 0 || stream->bytesToWrite() > 0)
                return;
            stream->disconnect();
            stream->disconnectFromHost();
            stream->deleteLater();
            done();
        });
        QObject::connect(stream, &QAbstractSocket::errorOccurred, stream, [stream, done] {
            std::printf("sender:   baseline stream failed: %s\n", qPrintable(stream->errorString()));
            std::fflush(stdout);
            stream->disconnect();
            stream->deleteLater();
            done();
        });
        stream->connectToHost(m_address, kBaselinePort);
    }

    QHostAddress m_address;
    int m_total[PhaseCount];
    int m_window;
    QByteArray m_packet;
    Phase m_phase = Small;
    int m_sent = 0;
    int m_peakLive = 0;
    int m_live = 0;
    bool m_phaseDone = false;
    bool m_finished = false;
    QElapsedTimer m_clock;
    qint64 m_cpu = 0;
    QTimer m_pacer;
    Vesk::BufferPool m_frames;
    Vesk::SendQueue m_queue{m_frames};
    DescriptorWatch m_watch;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args.at(1) == QLatin1String("receive")) {
        Receiver receiver(args.at(2).toInt(), args.at(3).toInt(), args.at(4).toInt());
        if (!receiver.listen()) {
            std::fprintf(stderr, "receiver: cannot listen on ports %d and %d\n", Vesk::kTcpPort, kBaselinePort);
            return 1;
        }
        std::printf("receiver: ready\n");
        std::fflush(stdout);
        return app.exec();
    }
    if ((args.size() == 6 || args.size() == 7) && args.at(1) == QLatin1String("send")) {
        const int window = args.size() == 7 ? args.at(6).toInt() : kDefaultWindow;
        Sender sender(QHostAddress(args.at(2)), args.at(3).toInt(), args.at(4).toInt(), args.at(5).toInt(), window);
        QTimer::singleShot(0, &sender, [&sender] { sender.start(); });
        return app.exec();
    }
    std::fprintf(stderr, "usage: net_bench receive <small> <large> <paced>\n"
                         "       net_bench send <address> <small> <large> <paced> [window]\n");
    return 64;
}
