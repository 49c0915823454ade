// Message transport benchmark: one process receives, another sends, each message on its own connection the way
// the program sends them. Prints messages per second, the peak number of open descriptors of each process, and a
// baseline: the same bytes over one plain TCP stream between the same two processes.
//
//   net_bench receive <small> <large>
//   net_bench send <address> <small> <large> [window]
//
// The sender keeps at most `window` connections in flight (a download keeps one; chat and offers a handful).

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
constexpr int kSampleIntervalMs = 5;
constexpr int kIdleTimeoutMs = 20000;
constexpr int kDefaultWindow = 32;

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

// Samples the descriptor count on a short timer. Not at every event: listing /proc/self/fd costs as much as
// handling a small message.
class DescriptorWatch
{
public:
    DescriptorWatch()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { sample(); });
        m_timer.start(kSampleIntervalMs);
    }
    void sample() { m_peak = qMax(m_peak, openDescriptors()); }
    int peak() const { return m_peak; }
    void reset() { m_peak = openDescriptors(); }

private:
    QTimer m_timer;
    int m_peak = 0;
};

Vesk::Parameters smallMessage(int index)
{
    return {{"action", "benchSmall"}, {"chatId", index}, {"message", QByteArray(kSmallPayload, 'm')}};
}

Vesk::Parameters largeMessage(const QByteArray& packet, int index)
{
    return {{"action", "benchLarge"}, {"binaryData", packet}, {"fileSeek", quint32(index)}, {"fileId", "bench"}};
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

// ---- receiver -------------------------------------------------------------------------------------------------

class Receiver : public QObject
{
public:
    Receiver(int small, int large) : m_expected{small, large}
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, &Receiver::accept);
        QObject::connect(&m_baselineServer, &QTcpServer::newConnection, this, &Receiver::acceptBaseline);
        QObject::connect(&m_idle, &QTimer::timeout, this, [this] {
            std::printf("receiver: idle for %d ms, giving up (small %d/%d, large %d/%d)\n", kIdleTimeoutMs, m_count[0],
                        m_expected[0], m_count[1], m_expected[1]);
            QCoreApplication::exit(1);
        });
        m_idle.setSingleShot(true);
    }

    bool listen()
    {
        return m_server.listen(QHostAddress::AnyIPv4, VeskTcpSocket::kTcpPort) &&
               m_baselineServer.listen(QHostAddress::AnyIPv4, kBaselinePort);
    }

private:
    void accept()
    {
        // As the controller does: every pending connection gets its own one-message object.
        while (QTcpSocket* accepted = m_server.nextPendingConnection()) {
            auto* connection = new VeskTcpSocket;
            QObject::connect(connection, &VeskTcpSocket::parametersRead, this, &Receiver::received,
                             Qt::QueuedConnection);
            connection->setSocket(accepted);
        }
    }

    void received(const QHash<QString, QVariant>& message)
    {
        m_idle.start(kIdleTimeoutMs);
        const int phase = message.value("action").toString() == QLatin1String("benchLarge") ? 1 : 0;
        if (phase == 1 && message.value("binaryData").toByteArray().size() != kLargePayload)
            ++m_damaged;
        if (m_count[phase]++ == 0) {
            m_clock[phase].start();
            m_cpu[phase] = cpuMicroseconds();
            m_watch.reset();
        }
        if (m_count[phase] == m_expected[phase]) {
            const qint64 elapsed = m_clock[phase].elapsed();
            const double cpuPerMessage = double(cpuMicroseconds() - m_cpu[phase]) / m_count[phase];
            if (phase == 0) {
                std::printf("receiver: small  %d messages in %lld ms = %.0f messages/s, peak descriptors %d, "
                            "%.0f us processor time per message\n",
                            m_count[0], elapsed, rate(m_count[0], elapsed), m_watch.peak(), cpuPerMessage);
            } else {
                std::printf("receiver: large  %d frames of %d bytes in %lld ms = %.0f frames/s = %.1f MB/s, "
                            "peak descriptors %d, damaged %d, %.0f us processor time per frame\n",
                            m_count[1], kLargePayload, elapsed, rate(m_count[1], elapsed),
                            rate(qint64(m_count[1]) * kLargePayload, elapsed) / 1e6, m_watch.peak(), m_damaged,
                            cpuPerMessage);
            }
            m_peakAll = qMax(m_peakAll, m_watch.peak());
            std::fflush(stdout);
            maybeFinish();
        }
    }

    // Baseline: one connection, an 8-byte little-endian byte count, then that many bytes.
    void acceptBaseline()
    {
        while (QTcpSocket* stream = m_baselineServer.nextPendingConnection()) {
            auto* expected = new qint64(-1);
            auto* got = new qint64(0);
            auto* clock = new QElapsedTimer;
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
                if (*got >= *expected) {
                    const qint64 elapsed = clock->elapsed();
                    std::printf("receiver: baseline stream of %lld bytes in %lld ms = %.1f MB/s\n", *got, elapsed,
                                rate(*got, elapsed) / 1e6);
                    std::fflush(stdout);
                    delete expected;
                    delete got;
                    delete clock;
                    stream->disconnect();
                    stream->close();
                    stream->deleteLater();
                    ++m_baselines;
                    maybeFinish();
                }
            });
        }
    }

    void maybeFinish()
    {
        if (m_count[0] >= m_expected[0] && m_count[1] >= m_expected[1] && m_baselines >= 2) {
            std::printf("receiver: peak descriptors overall %d\n", m_peakAll);
            std::fflush(stdout);
            QCoreApplication::exit(m_damaged == 0 ? 0 : 2);
        }
    }

    QTcpServer m_server;
    QTcpServer m_baselineServer;
    DescriptorWatch m_watch;
    QTimer m_idle;
    int m_expected[2];
    int m_count[2] = {0, 0};
    QElapsedTimer m_clock[2];
    qint64 m_cpu[2] = {0, 0};
    int m_damaged = 0;
    int m_baselines = 0;
    int m_peakAll = 0;
};

// ---- sender ---------------------------------------------------------------------------------------------------

class Sender : public QObject
{
public:
    Sender(const QHostAddress& address, int small, int large, int window)
        : m_address(address), m_total{small, large}, m_window(window), m_packet(kLargePayload, 'p')
    {
    }

    void start() { runPhase(0); }

private:
    void runPhase(int phase)
    {
        m_phase = phase;
        m_sent = 0;
        m_clock.start();
        m_cpu = cpuMicroseconds();
        m_watch.reset();
        m_peakLive = 0;
        pump();
    }

    void pump()
    {
        while (m_sent < m_total[m_phase] && VeskTcpSocket::liveCount() < m_window) {
            auto* connection = new VeskTcpSocket;
            QObject::connect(
                connection, &QObject::destroyed, this, [this] { pump(); }, Qt::QueuedConnection);
            connection->sendParameters(m_address, m_phase == 0 ? smallMessage(m_sent) : largeMessage(m_packet, m_sent));
            ++m_sent;
            m_peakLive = qMax(m_peakLive, VeskTcpSocket::liveCount());
        }
        if (m_sent == m_total[m_phase] && VeskTcpSocket::liveCount() == 0 && !m_phaseDone) {
            m_phaseDone = true;
            const qint64 elapsed = m_clock.elapsed();
            std::printf("sender:   %s  %d sent in %lld ms = %.0f messages/s, peak descriptors %d, "
                        "peak open connections %d, %.0f us processor time per message\n",
                        m_phase == 0 ? "small" : "large", m_sent, elapsed, rate(m_sent, elapsed), m_watch.peak(),
                        m_peakLive, double(cpuMicroseconds() - m_cpu) / qMax(1, m_sent));
            std::fflush(stdout);
            // The baseline for this phase: the same frames over one plain stream.
            const qint64 frameSize = m_phase == 0 ? Vesk::parametersToFrame(smallMessage(0)).size()
                                                  : Vesk::parametersToFrame(largeMessage(m_packet, 0)).size();
            sendBaseline(frameSize * m_total[m_phase], [this] {
                m_phaseDone = false;
                if (m_phase == 0)
                    runPhase(1);
                else
                    QCoreApplication::exit(0);
            });
        }
    }

    void sendBaseline(qint64 bytes, std::function<void()> done)
    {
        auto* stream = new QTcpSocket(this);
        auto* remaining = new qint64(bytes);
        const QByteArray chunk(1 << 20, 'b');
        auto fill = [stream, remaining, chunk] {
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
            if (*remaining == 0 && stream->bytesToWrite() == 0) {
                delete remaining;
                stream->disconnect();
                stream->disconnectFromHost();
                stream->deleteLater();
                done();
            }
        });
        stream->connectToHost(m_address, kBaselinePort);
    }

    QHostAddress m_address;
    int m_total[2];
    int m_window;
    QByteArray m_packet;
    int m_phase = 0;
    int m_sent = 0;
    int m_peakLive = 0;
    bool m_phaseDone = false;
    QElapsedTimer m_clock;
    qint64 m_cpu = 0;
    DescriptorWatch m_watch;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() >= 4 && args.at(1) == QLatin1String("receive")) {
        Receiver receiver(args.at(2).toInt(), args.at(3).toInt());
        if (!receiver.listen()) {
            std::fprintf(stderr, "receiver: cannot listen on ports %d and %d\n", VeskTcpSocket::kTcpPort,
                         kBaselinePort);
            return 1;
        }
        std::printf("receiver: ready\n");
        std::fflush(stdout);
        return app.exec();
    }
    if (args.size() >= 5 && args.at(1) == QLatin1String("send")) {
        const int window = args.size() >= 6 ? args.at(5).toInt() : kDefaultWindow;
        Sender sender(QHostAddress(args.at(2)), args.at(3).toInt(), args.at(4).toInt(), window);
        QTimer::singleShot(0, &sender, [&sender] { sender.start(); });
        return app.exec();
    }
    std::fprintf(stderr, "usage: net_bench receive <small> <large>\n"
                         "       net_bench send <address> <small> <large> [window]\n");
    return 64;
}
