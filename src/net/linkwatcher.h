#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

namespace Vesk {

// Tells when this computer's network links or addresses change: a cable plugged back in, a switch port that comes
// up again, Wi-Fi that reconnects, a new address from DHCP. Peers that vanished while the link was down can be
// looked for at once instead of at the next slow round. On Linux it listens to the kernel's routing socket (link
// state and IPv4 address events), which works the same on any desktop and inside a network namespace; elsewhere it
// follows Qt's network information (reachability) where a backend is available.
class LinkWatcher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(LinkWatcher)

public:
    // A change usually comes as a burst (carrier, then the address, then routes): one signal once it settled.
    static constexpr int kSettleMs = 1000;

    explicit LinkWatcher(QObject* parent = nullptr);
    ~LinkWatcher() override;

    // Whether changes can be heard on this system at all.
    bool isWatching() const { return m_watching; }

    // Reads a buffer of routing messages (as the kernel sends them) and tells whether any of them is a change
    // worth looking again for: an interface whose up/running/carrier state differs from what `flags` (interface
    // index -> last flags seen) holds, which it updates, or an IPv4 address added or removed. The parts of a dump
    // of the links only update `flags`. Anything malformed is ignored from there on.
    static bool isLinkChange(const QByteArray& messages, QHash<int, unsigned>& flags);

Q_SIGNALS:
    void linkChanged();

private:
    void readEvents();
    void noteChange();

    bool m_watching = false;
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    QHash<int, unsigned> m_flags;
    QTimer m_settle;
};

} // namespace Vesk
