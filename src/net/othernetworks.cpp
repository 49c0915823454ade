#include "net/othernetworks.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <optional>

namespace Vesk {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("OtherNetworks", text);
}

QString quoted(const QString& text)
{
    constexpr int kMaxShown = 40;
    const QString shown = text.size() > kMaxShown ? text.left(kMaxShown) + QChar(0x2026) : text;
    return QChar(0x201c) + shown + QChar(0x201d);
}

quint32 maskFor(int prefixLength)
{
    return prefixLength == 0 ? 0 : ~quint32(0) << (32 - prefixLength);
}

// Four decimal numbers of at most three digits separated by dots; nothing else (QHostAddress would also take
// "10.1" or "0x0a.1.1.1", which nobody means in a list of office networks).
std::optional<quint32> parseDottedQuad(const QString& text, bool* numericButInvalid)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    quint32 value = 0;
    for (int i = 1; i <= 4; ++i) {
        const int part = match.captured(i).toInt();
        if (part > 255) {
            *numericButInvalid = true;
            return std::nullopt;
        }
        value = (value << 8) | quint32(part);
    }
    return value;
}

// Addresses an announcement must never go to: "this network", loopback, multicast and the reserved block with
// the limited broadcast.
bool isAnnounceable(quint32 address)
{
    const quint32 first = address >> 24;
    return first != 0 && first != 127 && first < 224;
}

} // namespace

QHostAddress OtherNetworkEntry::directedBroadcast() const
{
    if (kind != Kind::Range || prefixLength > 30)
        return {};
    return QHostAddress(address.toIPv4Address() | ~maskFor(prefixLength));
}

QList<QHostAddress> OtherNetworkEntry::hosts() const
{
    if (kind == Kind::Address)
        return {address};
    if (kind != Kind::Range)
        return {};
    const quint32 network = address.toIPv4Address();
    const quint32 size = quint32(1) << (32 - prefixLength);
    QList<QHostAddress> result;
    // The network and broadcast addresses of a real subnet are nobody's; /31 and /32 have neither.
    const quint32 first = prefixLength >= 31 ? network : network + 1;
    const quint32 last = prefixLength >= 31 ? network + size - 1 : network + size - 2;
    result.reserve(int(last - first + 1));
    for (quint32 a = first; a <= last; ++a)
        result.append(QHostAddress(a));
    return result;
}

bool OtherNetworks::isHostName(const QString& text)
{
    if (text.isEmpty() || text.size() > kMaxNameLength)
        return false;
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    const QStringList labels =
        text.endsWith(QLatin1Char('.')) ? text.chopped(1).split(QLatin1Char('.')) : text.split(QLatin1Char('.'));
    bool hasLetter = false;
    for (const QString& part : labels) {
        if (!label.match(part).hasMatch())
            return false;
        hasLetter = hasLetter || std::any_of(part.cbegin(), part.cend(), [](QChar c) { return c.isLetter(); });
    }
    // All digits and dots is a mistyped address, not a name.
    return hasLetter;
}

OtherNetworks OtherNetworks::parse(const QString& text)
{
    OtherNetworks result;
    QSet<QString> seen;
    int unicast = 0;
    static const QRegularExpression separators(QStringLiteral("[,\\n\\r;]"));
    const QStringList rows = text.split(separators);
    for (const QString& raw : rows) {
        const QString row = raw.trimmed();
        if (row.isEmpty())
            continue;
        if (result.entries.size() >= kMaxEntries) {
            result.problems.append(tr("Only the first %1 entries are used; %2 and the rest are left out.")
                                       .arg(kMaxEntries)
                                       .arg(quoted(row)));
            break;
        }
        OtherNetworkEntry entry;
        entry.text = row;
        bool badNumbers = false;
        const qsizetype slash = row.indexOf(QLatin1Char('/'));
        if (row.contains(QLatin1Char(':'))) {
            result.problems.append(tr("%1: only IPv4 addresses can be used.").arg(quoted(row)));
            continue;
        }
        if (slash >= 0) {
            const QString prefixText = row.mid(slash + 1).trimmed();
            bool prefixOk = false;
            const int prefix = prefixText.toInt(&prefixOk);
            const std::optional<quint32> base = parseDottedQuad(row.left(slash).trimmed(), &badNumbers);
            static const QRegularExpression digits(QStringLiteral("^\\d{1,2}$"));
            if (!base || !prefixOk || !digits.match(prefixText).hasMatch() || prefix > 32) {
                result.problems.append(tr("%1 is not a range; write one like 192.168.2.0/24.").arg(quoted(row)));
                continue;
            }
            if (prefix < kMinPrefixLength) {
                result.problems.append(tr("%1 is too large: a range can hold at most 1024 addresses (/%2).")
                                           .arg(quoted(row))
                                           .arg(kMinPrefixLength));
                continue;
            }
            entry.kind = OtherNetworkEntry::Kind::Range;
            entry.prefixLength = prefix;
            entry.address = QHostAddress(*base & maskFor(prefix));
        } else if (const std::optional<quint32> address = parseDottedQuad(row, &badNumbers)) {
            entry.kind = OtherNetworkEntry::Kind::Address;
            entry.address = QHostAddress(*address);
        } else if (!badNumbers && isHostName(row)) {
            entry.kind = OtherNetworkEntry::Kind::Name;
        } else {
            result.problems.append(
                badNumbers
                    ? tr("%1 is not a valid address.").arg(quoted(row))
                    : tr("%1 is not an address, a range such as 192.168.2.0/24, or a computer name.").arg(quoted(row)));
            continue;
        }
        if (entry.kind != OtherNetworkEntry::Kind::Name && !isAnnounceable(entry.address.toIPv4Address())) {
            result.problems.append(
                tr("%1 cannot be used: it is a loopback, multicast or reserved address.").arg(quoted(row)));
            continue;
        }
        const QString key = entry.kind == OtherNetworkEntry::Kind::Name
                                ? row.toLower()
                                : entry.address.toString() + QLatin1Char('/') + QString::number(entry.prefixLength);
        if (seen.contains(key))
            continue;
        const int cost = int(entry.hosts().size());
        if (unicast + cost > kMaxUnicastAddresses) {
            result.problems.append(tr("%1 is left out: all ranges together can hold at most %2 addresses.")
                                       .arg(quoted(row))
                                       .arg(kMaxUnicastAddresses));
            continue;
        }
        unicast += cost;
        seen.insert(key);
        result.entries.append(entry);
    }
    return result;
}

AnnouncementSweep::AnnouncementSweep(int stepsPerRound, int maxPasses)
    : m_steps(std::max(1, stepsPerRound)), m_maxPasses(std::max(1, maxPasses))
{
}

void AnnouncementSweep::setTargets(const QList<QHostAddress>& targets)
{
    m_targets.clear();
    QSet<QHostAddress> seen;
    for (const QHostAddress& target : targets) {
        if (target.isNull() || seen.contains(target))
            continue;
        seen.insert(target);
        m_targets.append(target);
    }
}

int AnnouncementSweep::passes() const
{
    if (m_targets.isEmpty())
        return 0;
    return std::clamp(kRoundBudget / int(m_targets.size()), 1, m_maxPasses);
}

QList<QHostAddress> AnnouncementSweep::targetsForStep(int step) const
{
    if (m_targets.isEmpty() || step < 0 || step >= m_steps)
        return {};
    // The round's datagrams laid end to end (the list repeated once per pass) and spread evenly over the steps:
    // datagram k goes out at step k * steps / total, so the first one leaves with the round's first broadcast.
    const qint64 total = qint64(m_targets.size()) * passes();
    const qint64 begin = (total * step + m_steps - 1) / m_steps;
    const qint64 end = (total * (step + 1) + m_steps - 1) / m_steps;
    QList<QHostAddress> result;
    result.reserve(int(end - begin));
    for (qint64 i = begin; i < end; ++i)
        result.append(m_targets.at(int(i % m_targets.size())));
    return result;
}

} // namespace Vesk
