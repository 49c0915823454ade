#include "peers/nodeidentity.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QSettings>
#include <QUuid>

#include <algorithm>

namespace Vesk {

NodeIdentity::NodeIdentity(QSettings& settings, const QString& machineId, QObject* parent)
    : QObject(parent), m_settings(settings)
{
    m_id = m_settings.value(QLatin1String(kMachineIdKey)).toString();
    if (!m_id.isEmpty())
        return;
    store(machineId.isEmpty() ? QUuid::createUuid().toString() : machineId);
}

void NodeIdentity::store(const QString& id)
{
    m_id = id;
    m_settings.setValue(QLatin1String(kMachineIdKey), id);
    m_settings.sync();
}

bool NodeIdentity::isOwnAddress(const QString& address)
{
    const QHostAddress host(address);
    if (host.isLoopback())
        return true;
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.cbegin(), own.cend(), [&host](const QHostAddress& a) { return a.isEqual(host); });
}

bool NodeIdentity::replaceIfClashing(const QString& nodeId, const QString& address)
{
    if (nodeId != m_id || isOwnAddress(address))
        return false;
    // Two computers made from one disk image derive one node id from their shared machine id: each would take
    // the other's announcements for its own and neither would ever list the other. This side takes a fresh
    // random id, kept from now on; the other keeps the old one (or does the same).
    const QString old = m_id;
    store(QUuid::createUuid().toString());
    qCritical().noquote() << QStringLiteral("Another computer at %1 uses this computer's node id %2 (a copied "
                                            "system?): this computer is %3 from now on")
                                 .arg(address, old, m_id);
    Q_EMIT idChanged(old, m_id);
    return true;
}

} // namespace Vesk
