#include "subsystemfixture.h"

#include "store/database.h"
#include "store/vesksqlquerymodel.h"
#include "testsupport.h"

#include <QDir>

#include <algorithm>
#include <iterator>

using Vesk::Database;

namespace TestSupport {

QList<RecordingSink::Sent> RecordingSink::withAction(const QString& action) const
{
    QList<Sent> found;
    std::copy_if(sent.cbegin(), sent.cend(), std::back_inserter(found),
                 [&action](const Sent& s) { return s.action() == action; });
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
