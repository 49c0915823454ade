#include "peers/peersearch.h"

#include "common/clock.h"
#include "peers/localprofile.h"
#include "peers/peerrecords.h"
#include "peers/peerslogging.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"

#include <QSqlQuery>

#include <algorithm>

namespace Vesk {

PeerSearch::PeerSearch(Store& store, MessageSink& sink, const Clock& clock, const LocalProfile& profile,
                       QObject* parent)
    : QObject(parent), m_store(store), m_sink(sink), m_clock(clock), m_profile(profile)
{
    m_roundTimer.setInterval(kRoundMs);
    connect(&m_roundTimer, &QTimer::timeout, this, &PeerSearch::round);
}

void PeerSearch::start()
{
    m_roundTimer.start();
}

void PeerSearch::stop()
{
    m_roundTimer.stop();
}

qint64 PeerSearch::waitAfterLooks(int looks)
{
    qint64 wait = kFirstLookMs;
    for (int i = 0; i < looks && wait < kLongestWaitMs; ++i)
        wait *= 2;
    return qMin(wait, kLongestWaitMs);
}

bool PeerSearch::isHandshake(const QString& action)
{
    return action.compare(QLatin1String("addMeRequest"), Qt::CaseInsensitive) == 0 ||
           action.compare(QLatin1String("addMeRequestConfirmed"), Qt::CaseInsensitive) == 0;
}

bool PeerSearch::asksBack(const QString& action, const QString& status)
{
    // The handshake answers its own messages: a request is answered with one while the peer is offline, and a
    // confirmation is what marks it online. A node without a row is a stranger, not a peer shown offline.
    return !isHandshake(action) && !status.isEmpty() && status != kPeerOn;
}

bool PeerSearch::isLost(const QString& nodeId) const
{
    const auto found = m_searches.constFind(nodeId);
    return found != m_searches.cend() && found->lost;
}

bool PeerSearch::isAwaitingConfirmation(const QString& nodeId) const
{
    const auto found = m_searches.constFind(nodeId);
    return found != m_searches.cend() && !found->lost;
}

bool PeerSearch::room(const QString& nodeId)
{
    if (m_searches.contains(nodeId) || m_searches.size() < kMaxSearched)
        return true;
    if (!m_full) {
        m_full = true;
        qCDebug(lcPeers) << "already searching for" << kMaxSearched << "peers: others wait for their announcements";
    }
    return false;
}

void PeerSearch::markLost(const QString& nodeId, qint64 now)
{
    Search& search = m_searches[nodeId];
    if (search.lost)
        return; // looked for already: its schedule goes on
    search = Search{};
    search.lost = true;
    search.sinceMs = now;
    search.dueMs = now + waitAfterLooks(0);
    search.address = m_store.peerField(nodeId, QStringLiteral("ipAddress"));
    m_lostAt.insert(search.address, nodeId);
}

void PeerSearch::forget(const QString& nodeId)
{
    const auto found = m_searches.constFind(nodeId);
    if (found == m_searches.cend())
        return;
    if (found->lost)
        m_lostAt.remove(found->address, nodeId);
    m_searches.erase(found);
    if (m_searches.size() < kMaxSearched)
        m_full = false;
}

void PeerSearch::lost(const QStringList& nodeIds)
{
    const qint64 now = m_clock.nowMs();
    for (const QString& nodeId : nodeIds) {
        if (nodeId != m_profile.hostId() && room(nodeId))
            markLost(nodeId, now);
    }
}

bool PeerSearch::confirmed(const QString& nodeId)
{
    const bool wasAsked = isAwaitingConfirmation(nodeId);
    forget(nodeId);
    return wasAsked;
}

void PeerSearch::lookAgain()
{
    const qint64 now = m_clock.nowMs();
    QSqlQuery q(m_store.database());
    q.prepare(QStringLiteral("select id from vesk_peers where status = 'on' and not(id = ?)"));
    q.bindValue(0, m_profile.hostId());
    if (q.exec()) {
        while (q.next()) {
            const QString nodeId = q.value(0).toString();
            const auto found = m_searches.constFind(nodeId);
            if (found != m_searches.cend() && !found->lost)
                continue; // asked already, its wait goes on
            if (!room(nodeId))
                continue;
            forget(nodeId);
            Search asked;
            asked.dueMs = now;
            m_searches.insert(nodeId, asked);
        }
    }
    for (Search& search : m_searches) {
        if (search.lost) {
            search.looks = 0;
            search.dueMs = now;
        }
    }
    round();
}

void PeerSearch::ask(const QString& nodeId, const QHostAddress& address, const QString& status)
{
    qCDebug(lcPeers) << "asking" << PeerRecords::loggableId(nodeId) << "at" << address.toString() << "to add us";
    m_sink.sendTo(nodeId, address, m_profile.addMeRequest(status));
}

void PeerSearch::heardFrom(const QString& nodeId, const QString& address, const QString& action)
{
    if (isHandshake(action))
        return;
    QStringList candidates;
    if (!nodeId.isEmpty())
        candidates.append(nodeId);
    else if (!m_lostAt.isEmpty()) // file packets come hundreds a second: this costs nothing while nobody is lost
        candidates = m_lostAt.values(address);
    const qint64 now = m_clock.nowMs();
    for (const QString& candidate : std::as_const(candidates)) {
        if (candidate != m_profile.hostId() &&
            asksBack(action, m_store.peerField(candidate, QStringLiteral("status"))) &&
            m_heardAsks.allow(candidate, now))
            ask(candidate, QHostAddress(address), kPeerOff);
    }
}

void PeerSearch::round()
{
    const qint64 now = m_clock.nowMs();
    QStringList timedOut, givenUp;
    QList<QPair<qint64, QString>> due;
    for (auto it = m_searches.cbegin(); it != m_searches.cend(); ++it) {
        const Search& search = it.value();
        // A clock set back must not put a peer off for longer than the longest wait.
        const bool dueNow = search.dueMs <= now || search.dueMs - now > kLongestWaitMs;
        if (search.lost && now - search.sinceMs >= kGiveUpMs)
            givenUp.append(it.key());
        else if (!search.lost && search.asked && dueNow)
            timedOut.append(it.key());
        else if (!search.asked && dueNow)
            due.append({search.dueMs, it.key()});
    }
    for (const QString& nodeId : std::as_const(givenUp))
        forget(nodeId);

    if (!timedOut.isEmpty()) {
        for (const QString& nodeId : std::as_const(timedOut)) {
            QSqlQuery q(m_store.database());
            q.prepare(QStringLiteral("update vesk_peers set status = 'off' where id = ? and status = 'on'"));
            q.bindValue(0, nodeId);
            q.exec();
            qCDebug(lcPeers) << PeerRecords::loggableId(nodeId) << "did not confirm: marked offline";
            markLost(nodeId, now);
        }
        m_store.nodeData->scheduleRefresh();
        m_store.nodesProxyData->scheduleRefresh();
    }

    std::sort(due.begin(), due.end());
    int asked = 0;
    for (const auto& [dueMs, nodeId] : std::as_const(due)) {
        if (asked >= kMaxAsksPerRound)
            break;
        Search& search = m_searches[nodeId];
        const QHostAddress address = m_store.nodeAddress(nodeId);
        if (address.isNull()) { // its row is gone
            forget(nodeId);
            continue;
        }
        ask(nodeId, address, search.lost ? kPeerOff : kPeerOn);
        ++asked;
        if (search.lost) {
            search.dueMs = now + waitAfterLooks(++search.looks);
        } else {
            search.asked = true;
            search.dueMs = now + kConfirmWaitMs;
        }
    }
}

} // namespace Vesk
