#include "subsystemfixture.h"

#include "store/database.h"
#include "store/vesksqlquerymodel.h"
#include "testsupport.h"

#include <QDir>

using Vesk::Database;

namespace TestSupport {

void RecordingSink::send(const QHostAddress& address, const Vesk::Parameters& parameters)
{
    sent.append({address, parameters});
}

void ScriptedCapabilityProbe::probe(const QHostAddress& address, Answer answer)
{
    asked.append(address);
    m_open.append({address, std::move(answer)});
}

bool ScriptedCapabilityProbe::answer(const QHostAddress& address, bool capable)
{
    bool any = false;
    for (qsizetype i = 0; i < m_open.size();) {
        if (m_open.at(i).first != address) {
            ++i;
            continue;
        }
        const Answer answer = m_open.takeAt(i).second;
        answer(address.toString(), capable);
        any = true;
    }
    return any;
}

QList<RecordingSink::Sent> RecordingSink::withAction(const QString& action) const
{
    QList<Sent> found;
    for (const Sent& s : sent) {
        if (s.action() == action)
            found.append(s);
    }
    return found;
}

QStringList RecordingSink::actions() const
{
    QStringList names;
    for (const Sent& s : sent)
        names.append(s.action());
    return names;
}

QStringList RecordingSink::values(const QString& action, const char* key) const
{
    QStringList found;
    for (const Sent& s : withAction(action))
        found.append(s.value(key).toString());
    return found;
}

SubsystemFixture::SubsystemFixture()
{
    QDir().mkpath(downloadsFolder());
    store = std::make_unique<Vesk::Store>(Database::open(dataFolder()), clock);
}

SubsystemFixture::~SubsystemFixture()
{
    store.reset();
    Database::close();
}

QString SubsystemFixture::dataFolder() const
{
    return dir.path() + QStringLiteral("/data/");
}

QString SubsystemFixture::downloadsFolder() const
{
    return dir.path() + QStringLiteral("/downloads/");
}

QHostAddress SubsystemFixture::addPeer(const QString& id, const QString& status, const QString& address,
                                       const QString& blocked)
{
    const QString ip = address.isEmpty() ? QStringLiteral("10.0.0.%1").arg(++m_peers) : address;
    exec(QStringLiteral("replace into vesk_peers (id, alias, ipAddress, status, unreadMessagesCount, blocked, "
                        "timestamp, avatarPath) values (?, ?, ?, ?, '0', ?, ?, ?)"),
         {id, QString(QStringLiteral("alias of ") + id), ip, status, blocked, clock.nowMs(),
          QStringLiteral("qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png")});
    store->nodeData->refresh();
    return QHostAddress(ip);
}

QString SubsystemFixture::nodeAt(const QHostAddress& address) const
{
    return column(QStringLiteral("select id from vesk_peers where ipAddress = ?"), {address.toString()}).value(0);
}

} // namespace TestSupport
