#pragma once

#include "net/addressprobe.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class QSettings;

namespace Vesk {

class PeerManager;

// What the user names beyond the local broadcast: the list of other networks, checked (OtherNetworks::parse),
// kept in the settings and handed to discovery; and adding one computer by its address.
class OtherNetworksSettings : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(OtherNetworksSettings)

public:
    static constexpr const char* kSettingsKey = "otherNetworks";
    // The addresses stored for known peers, most recently recorded first.
    using StoredAddresses = std::function<QStringList()>;

    // findPeer gives the alias of a peer online at an address, which is how an added computer is found.
    OtherNetworksSettings(QSettings& settings, StoredAddresses storedAddresses, AddressProbe::FindPeer findPeer,
                          QObject* parent = nullptr);

    // The stored list, as the user last wrote it (rows joined by ", ").
    QString otherNetworks() const;
    // The problems of a list just refused; else what discovery found wrong with the stored one.
    QStringList otherNetworksProblems() const;
    // Checks and stores the list; a list with a bad row is not stored, and its problems are shown instead.
    bool setOtherNetworks(const QString& text);
    // Hands discovery the stored list and the addresses of known peers. Discovery may go away by itself.
    void setDiscovery(PeerManager* discovery);
    // Tries one address or host name at once; the answer comes as addComputerAnswered.
    void addComputerByAddress(const QString& address);

Q_SIGNALS:
    void otherNetworksChanged();
    void otherNetworksProblemsChanged();
    void addComputerAnswered(QString address, bool found, QString message);

private:
    QSettings& m_settings;
    StoredAddresses m_storedAddresses;
    AddressProbe::FindPeer m_findPeer;
    QPointer<PeerManager> m_discovery;
    QStringList m_rejected; // the problems of a list that was not stored
    AddressProbe* m_probe = nullptr;
};

} // namespace Vesk
