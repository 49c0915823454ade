#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace Vesk {

// "Add a computer by address": announces this node to one address (or the address of one host name) a few
// times, and answers once a peer at that address has confirmed us, or when nobody has after a while. The
// announcement is the discovery datagram, so the computer there answers as if it had heard our broadcast.
class AddressProbe : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(AddressProbe)

public:
    // Long enough for a handshake over a slow VPN, short enough that nobody wonders whether anything happens.
    static constexpr int kTimeoutMs = 10000;
    static constexpr int kRetryMs = 1000;
    static constexpr int kPollMs = 250;

    using Announce = std::function<bool(const QHostAddress& address)>;
    // The alias of a peer online at that address, or nothing.
    using FindPeer = std::function<QString(const QString& address)>;
    using IsOwnAddress = std::function<bool(const QHostAddress& address)>;

    AddressProbe(Announce announce, FindPeer findPeer, IsOwnAddress isOwn, QObject* parent = nullptr);

    // Starts trying the address or host name; a probe still running is given up.
    void start(const QString& text);
    bool isRunning() const { return m_pollTimer.isActive() || m_lookingUp; }
    void setTimeoutMs(int timeoutMs) { m_timeoutMs = timeoutMs; }

Q_SIGNALS:
    // text is what the user typed; message is the sentence to show.
    void answered(QString text, bool found, QString message);

private:
    void probe(const QHostAddress& address);
    void pollTimeout();
    void finish(bool found, const QString& message);

    Announce m_announce;
    FindPeer m_findPeer;
    IsOwnAddress m_isOwn;
    QString m_text;
    QHostAddress m_address;
    QTimer m_pollTimer;
    int m_elapsedMs = 0;
    int m_timeoutMs = kTimeoutMs;
    bool m_lookingUp = false;
    quint64 m_generation = 0;
};

} // namespace Vesk
