#pragma once

#include <QObject>
#include <QString>

class QSettings;

namespace Vesk {

// This installation's node id: read from the settings, else derived from the machine, else a fresh random one, and
// kept in the settings from then on. It is the one place the id is created and replaced, so whatever belongs to an
// identity (the id's own row, anything later bound to it) follows its idChanged signal.
class NodeIdentity : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(NodeIdentity)

public:
    static constexpr const char* kMachineIdKey = "machineId";

    // machineId is the machine's own identifier, or empty where there is none.
    NodeIdentity(QSettings& settings, const QString& machineId, QObject* parent = nullptr);

    QString id() const { return m_id; }

    // A node announcing or sending with this node's id from an address of another computer is a clone of this
    // installation (a copied disk): this node takes a fresh id, keeps it, and returns true. Otherwise false.
    bool replaceIfClashing(const QString& nodeId, const QString& address);

    static bool isOwnAddress(const QString& address);

Q_SIGNALS:
    void idChanged(const QString& oldId, const QString& newId);

private:
    void store(const QString& id);

    QSettings& m_settings;
    QString m_id;
};

} // namespace Vesk
