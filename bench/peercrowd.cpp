// A crowd of light peers in one process: each identity has an address of its own on this host, announces itself
// by broadcast as a freshly started instance does, and answers the handshake, avatar requests and chat
// confirmations the way any instance of the protocol does. It sends a chat to the target now and then and
// records how long the answer takes.
//
//   peercrowd --target 10.77.0.1 --first 10.77.0.2 --count 250 --avatar pic.png [--duration 60] [--chat-ms 500]
//             [--broadcast 10.77.0.255] [--stop-file PATH]
//
// Every address first..first+count-1 must already be assigned to an interface of this host. Output, one event a
// line, times in ms since the epoch:
//   start T                 the first announcement went out
//   on I T                  identity I holds the target "on" (first time)
//   sent T                  a chat went out at T
//   chat T LATENCY          a chat first sent at T was confirmed after LATENCY ms (resends included)
//   end SENT ANSWERED HEARD AVATARS
//                           one line at the end: chats sent and answered, announcements heard from the target,
//                           avatar requests received from it
#include "net/peermanager.h"
#include "net/wire.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <QUuid>
#include <QtEndian>

#include <cstdio>
#include <memory>
#include <vector>

using Vesk::PeerManager;

namespace {

constexpr quint16 kTcpPort = Vesk::kTcpPort;
constexpr quint16 kUdpPort = PeerManager::kUdpPort;
constexpr quint32 kMaxFrame = Vesk::kMaxFrameSize;
constexpr int kAnnouncements = 11;
constexpr int kAnnounceIntervalMs = 2000;
constexpr int kConnectionLifetimeMs = 5000;
// Like an instance, a chat not confirmed is sent again (same id) until it is; at the end the crowd stops sending
// new chats and waits this long for the last confirmations.
constexpr int kResendAfterMs = 2000;
constexpr int kDrainMs = 10000;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

void emitLine(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

struct Identity
{
    int index = 0;
    QHostAddress address;
    QString id;
    QString alias;
    QString targetStatus; // "" (not heard of), "off", "on"
    std::unique_ptr<QTcpServer> server;
    std::unique_ptr<QUdpSocket> udp;
};

class Crowd : public QObject
{
public:
    Crowd(QHostAddress target, QHostAddress first, int count, QHostAddress broadcast, QByteArray avatar, int chatMs)
        : m_target(target), m_broadcast(broadcast), m_avatar(std::move(avatar)), m_chatMs(chatMs)
    {
        for (int i = 0; i < count; ++i) {
            auto identity = std::make_unique<Identity>();
            identity->index = i;
            identity->address = QHostAddress(first.toIPv4Address() + quint32(i));
            identity->id = QStringLiteral("{c0c0c0c0-0000-4000-8000-%1}").arg(i, 12, 10, QLatin1Char('0'));
            identity->alias = QStringLiteral("Crowd %1").arg(i);
            identity->server = std::make_unique<QTcpServer>();
            if (!identity->server->listen(identity->address, kTcpPort))
                qFatal("cannot listen on %s: %s", qPrintable(identity->address.toString()),
                       qPrintable(identity->server->errorString()));
            Identity* self = identity.get();
            connect(identity->server.get(), &QTcpServer::newConnection, this, [this, self] { accept(*self); });
            identity->udp = std::make_unique<QUdpSocket>();
            identity->udp->bind(identity->address, 0);
            m_own.insert(identity->address.toIPv4Address());
            m_byAddress.insert(identity->address.toIPv4Address(), identity.get());
            m_identities.push_back(std::move(identity));
        }
        m_listener.bind(QHostAddress::AnyIPv4, kUdpPort, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
        connect(&m_listener, &QUdpSocket::readyRead, this, &Crowd::readAnnouncements);
    }

    void start()
    {
        emitLine(QStringLiteral("start %1").arg(nowMs()));
        announce();
        connect(&m_announceTimer, &QTimer::timeout, this, &Crowd::announce);
        m_announceTimer.start(kAnnounceIntervalMs);
        if (m_chatMs > 0) {
            connect(&m_chatTimer, &QTimer::timeout, this, &Crowd::sendChat);
            m_chatTimer.start(m_chatMs);
            connect(&m_resendTimer, &QTimer::timeout, this, &Crowd::resendChats);
            m_resendTimer.start(kResendAfterMs / 2);
        }
    }

    // Stops new chats; true once every chat sent is confirmed or the drain time is over.
    bool drained()
    {
        if (m_drainUntil == 0) {
            m_chatTimer.stop();
            m_drainUntil = nowMs() + kDrainMs;
        }
        return m_pendingChats.isEmpty() || nowMs() >= m_drainUntil;
    }

    void finish()
    {
        emitLine(
            QStringLiteral("end %1 %2 %3 %4").arg(m_chatsSent).arg(m_chatsAnswered).arg(m_heard).arg(m_avatarRequests));
    }

private:
    void announce()
    {
        if (++m_announced > kAnnouncements) {
            m_announceTimer.stop();
            return;
        }
        for (const auto& identity : m_identities) {
            const QByteArray datagram = (identity->id + QStringLiteral("|Linux|") + identity->alias).toLatin1();
            identity->udp->writeDatagram(datagram, QHostAddress::Broadcast, kUdpPort);
            identity->udp->writeDatagram(datagram, m_broadcast, kUdpPort);
        }
    }

    void readAnnouncements()
    {
        while (m_listener.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = m_listener.receiveDatagram();
            if (m_own.contains(datagram.senderAddress().toIPv4Address()) || datagram.senderAddress() != m_target)
                continue;
            if (datagram.data().split('|').size() != 3)
                continue;
            ++m_heard;
            // Every identity hears the target's announcement and asks to be added, as each instance would.
            for (const auto& identity : m_identities) {
                if (identity->targetStatus.isEmpty())
                    identity->targetStatus = QStringLiteral("off");
                send(*identity, addMeRequest(*identity));
            }
        }
    }

    Vesk::Parameters addMeRequest(const Identity& identity) const
    {
        return {{QStringLiteral("action"), QStringLiteral("addMeRequest")},
                {QStringLiteral("nodeFrom"), identity.id},
                {QStringLiteral("alias"), identity.alias},
                {QStringLiteral("sysinfo"), QStringLiteral("Linux")},
                {QStringLiteral("message"), identity.targetStatus}};
    }

    void send(const Identity& identity, const Vesk::Parameters& parameters)
    {
        auto* socket = new QTcpSocket(this);
        socket->bind(identity.address, 0);
        const QByteArray frame = Vesk::parametersToFrame(parameters);
        connect(socket, &QTcpSocket::connected, socket, [socket, frame] {
            socket->write(frame);
            socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::errorOccurred, socket, &QObject::deleteLater);
        QTimer::singleShot(kConnectionLifetimeMs, socket, &QObject::deleteLater);
        socket->connectToHost(m_target, kTcpPort);
    }

    void accept(Identity& identity)
    {
        while (QTcpSocket* socket = identity.server->nextPendingConnection()) {
            socket->setParent(this);
            auto* buffer = new QByteArray;
            Identity* self = &identity;
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer, self] {
                buffer->append(socket->readAll());
                if (buffer->size() < Vesk::kFrameHeaderSize)
                    return;
                const quint32 length = qFromLittleEndian<quint32>(buffer->constData());
                if (length > kMaxFrame) {
                    socket->abort();
                    return;
                }
                if (quint32(buffer->size()) < Vesk::kFrameHeaderSize + length)
                    return;
                const Vesk::Parameters message =
                    Vesk::byteArrayToParameters(buffer->mid(Vesk::kFrameHeaderSize, int(length)));
                buffer->clear();
                socket->disconnectFromHost();
                handle(*self, message);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QObject::destroyed, socket, [buffer] { delete buffer; });
            QTimer::singleShot(kConnectionLifetimeMs, socket, &QObject::deleteLater);
        }
    }

    void handle(Identity& identity, const Vesk::Parameters& message)
    {
        const QString action = message.value(QStringLiteral("action")).toString();
        if (action == QLatin1String("addMeRequest")) {
            if (identity.targetStatus.isEmpty())
                identity.targetStatus = QStringLiteral("off");
            send(identity, {{QStringLiteral("action"), QStringLiteral("addMeRequestConfirmed")},
                            {QStringLiteral("nodeFrom"), identity.id}});
            if (identity.targetStatus != QLatin1String("on"))
                send(identity, addMeRequest(identity));
        } else if (action == QLatin1String("addMeRequestConfirmed")) {
            if (identity.targetStatus != QLatin1String("on")) {
                identity.targetStatus = QStringLiteral("on");
                emitLine(QStringLiteral("on %1 %2").arg(identity.index).arg(nowMs()));
            }
            // The key of a picture loaded afresh never matches the other side's, so the avatar always comes.
            send(identity, {{QStringLiteral("action"), QStringLiteral("avatarRequested")},
                            {QStringLiteral("nodeFrom"), identity.id},
                            {QStringLiteral("message"), QString::number(nowMs())}});
        } else if (action == QLatin1String("avatarRequested")) {
            ++m_avatarRequests;
            send(identity, {{QStringLiteral("action"), QStringLiteral("avatarObtained")},
                            {QStringLiteral("binaryData"), m_avatar},
                            {QStringLiteral("fileExtension"), QStringLiteral("png")},
                            {QStringLiteral("nodeFrom"), identity.id},
                            {QStringLiteral("message"), identity.alias}});
        } else if (action == QLatin1String("newChatMessage")) {
            send(identity, {{QStringLiteral("action"), QStringLiteral("confirmChat")},
                            {QStringLiteral("chatId"), message.value(QStringLiteral("chatId"))}});
        } else if (action == QLatin1String("confirmChat")) {
            const auto sent = m_pendingChats.find(message.value(QStringLiteral("chatId")).toString());
            if (sent == m_pendingChats.end())
                return;
            ++m_chatsAnswered;
            emitLine(QStringLiteral("chat %1 %2").arg(sent->firstSentMs).arg(nowMs() - sent->firstSentMs));
            m_pendingChats.erase(sent);
        }
    }

    void sendChat()
    {
        // From the next identity that is on with the target, so the target knows where to answer.
        for (size_t tried = 0; tried < m_identities.size(); ++tried) {
            Identity& identity = *m_identities.at(m_nextChat++ % m_identities.size());
            if (identity.targetStatus != QLatin1String("on"))
                continue;
            const QString chatId = QUuid::createUuid().toString();
            const qint64 now = nowMs();
            PendingChat chat{&identity, {}, now, now};
            chat.message = {{QStringLiteral("action"), QStringLiteral("newChatMessage")},
                            {QStringLiteral("message"), QStringLiteral("hello from %1").arg(identity.alias)},
                            {QStringLiteral("chatId"), chatId},
                            {QStringLiteral("timeSent"), now},
                            {QStringLiteral("nodeFrom"), identity.id}};
            ++m_chatsSent;
            emitLine(QStringLiteral("sent %1").arg(now));
            send(identity, chat.message);
            m_pendingChats.insert(chatId, chat);
            return;
        }
    }

    void resendChats()
    {
        const qint64 now = nowMs();
        for (PendingChat& chat : m_pendingChats) {
            if (now - chat.lastSentMs < kResendAfterMs)
                continue;
            chat.lastSentMs = now;
            send(*chat.identity, chat.message);
        }
    }

    const QHostAddress m_target;
    const QHostAddress m_broadcast;
    const QByteArray m_avatar;
    const int m_chatMs;
    std::vector<std::unique_ptr<Identity>> m_identities;
    QHash<quint32, Identity*> m_byAddress;
    QSet<quint32> m_own;
    QUdpSocket m_listener;
    QTimer m_announceTimer;
    QTimer m_chatTimer;
    QTimer m_resendTimer;
    int m_announced = 0;
    size_t m_nextChat = 0;
    struct PendingChat
    {
        const Identity* identity;
        Vesk::Parameters message;
        qint64 firstSentMs;
        qint64 lastSentMs;
    };
    QHash<QString, PendingChat> m_pendingChats; // by chat id
    qint64 m_drainUntil = 0;
    int m_chatsSent = 0;
    int m_chatsAnswered = 0;
    int m_heard = 0;
    int m_avatarRequests = 0;
};

QString option(const QStringList& arguments, const QString& name, const QString& fallback = QString())
{
    const int at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : fallback;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const QHostAddress target(option(arguments, QStringLiteral("--target")));
    const QHostAddress first(option(arguments, QStringLiteral("--first")));
    const int count = option(arguments, QStringLiteral("--count"), QStringLiteral("10")).toInt();
    const int duration = option(arguments, QStringLiteral("--duration"), QStringLiteral("30")).toInt();
    const int chatMs = option(arguments, QStringLiteral("--chat-ms"), QStringLiteral("500")).toInt();
    const QHostAddress broadcast(option(arguments, QStringLiteral("--broadcast"), QStringLiteral("10.77.0.255")));
    QFile avatarFile(option(arguments, QStringLiteral("--avatar")));
    if (target.isNull() || first.isNull() || count < 1 || !avatarFile.open(QIODevice::ReadOnly)) {
        std::fputs("usage: peercrowd --target ADDR --first ADDR --count N --avatar FILE [--duration S] "
                   "[--chat-ms MS] [--broadcast ADDR] [--stop-file PATH]\n",
                   stderr);
        return 2;
    }
    Crowd crowd(target, first, count, broadcast, avatarFile.readAll(), chatMs);
    QTimer::singleShot(0, &crowd, [&crowd] { crowd.start(); });
    // Ends after the duration, or as soon as the stop file appears, once the chats still out are confirmed.
    const QString stopFile = option(arguments, QStringLiteral("--stop-file"));
    const qint64 endAt = nowMs() + qint64(duration) * 1000;
    QTimer stopCheck;
    QObject::connect(&stopCheck, &QTimer::timeout, &app, [&] {
        if (nowMs() < endAt && (stopFile.isEmpty() || !QFile::exists(stopFile)))
            return;
        if (!crowd.drained())
            return;
        crowd.finish();
        app.quit();
    });
    stopCheck.start(200);
    return app.exec();
}
