#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

namespace Vesk {

// Networks beyond the local subnets that discovery also announces to: routers do not forward broadcasts, so an
// office spread over several subnets (or joined by a VPN) names the others here. The user writes one text of
// entries separated by commas: an IPv4 address ("192.168.2.15"), a range in CIDR notation ("192.168.2.0/24") or a
// host name ("pc-anna.office.lan").
struct OtherNetworkEntry
{
    enum class Kind { Address, Range, Name };
    Kind kind = Kind::Address;
    QString text;         // as the user wrote it, trimmed
    QHostAddress address; // Address: the address; Range: the network address (host bits cleared)
    int prefixLength = 32;

    // A range's directed broadcast; null for an address, a name and ranges of /31 and /32 (they have none).
    QHostAddress directedBroadcast() const;
    // Every address an announcement goes to one by one: a range's usable hosts, or the address itself.
    QList<QHostAddress> hosts() const;
};

struct OtherNetworks
{
    // A range is announced to address by address; larger ones would mean thousands of datagrams per round.
    static constexpr int kMinPrefixLength = 22;
    // Bounds the work a long list can cause: entries, and the addresses announced to one by one in all.
    static constexpr int kMaxEntries = 64;
    static constexpr int kMaxUnicastAddresses = 4096;
    static constexpr int kMaxNameLength = 253;

    QList<OtherNetworkEntry> entries;
    // One sentence per row that is not used, saying why; nothing is sent for such a row.
    QStringList problems;

    bool isEmpty() const { return entries.isEmpty(); }
    static OtherNetworks parse(const QString& text);
    // Whether the text names a computer the way a host name can (letters, digits, hyphens, dots).
    static bool isHostName(const QString& text);
};

// Spreads the announcements to single addresses over a round of announcing, so that a large list goes out as a
// steady trickle instead of a burst. The round is divided into steps; every address gets its announcement in
// each pass over the list, and a short list is passed over several times per round (as often as the broadcasts
// go out), a long one once.
class AnnouncementSweep
{
public:
    // Datagrams to single addresses per round, at most, before the list is passed over only once.
    static constexpr int kRoundBudget = 1100;

    AnnouncementSweep(int stepsPerRound, int maxPasses);

    void setTargets(const QList<QHostAddress>& targets);
    const QList<QHostAddress>& targets() const { return m_targets; }
    bool isEmpty() const { return m_targets.isEmpty(); }
    int passes() const;
    int stepsPerRound() const { return m_steps; }
    // The addresses that step (0 .. stepsPerRound - 1) of a round announces to.
    QList<QHostAddress> targetsForStep(int step) const;

private:
    int m_steps;
    int m_maxPasses;
    QList<QHostAddress> m_targets;
};

} // namespace Vesk
