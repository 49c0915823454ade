#pragma once

#include "peers/localprofile.h"

#include <QString>

class QImage;
class QSettings;

namespace Vesk {

class NodeIdentity;

// This installation as its peers see it: the node id, the name the user chose (kept in the settings), the picture
// (a file in the data folder) and the system it runs on.
class OwnProfile final : public LocalProfile
{
    Q_DISABLE_COPY(OwnProfile)

public:
    static constexpr const char* kUserAliasKey = "userAlias";
    static constexpr const char* kAvatarFile = "myavatar.png";
    // Shown, and sent as "no picture", until the user has one.
    static constexpr const char* kBuiltInAvatar = "qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png";

    // dataFolder ends with a separator.
    OwnProfile(QSettings& settings, const NodeIdentity& identity, const QString& dataFolder, const QString& osName);

    QString hostId() const override;
    // "unknown" until the user gives a name.
    QString userAlias() const override;
    // The absolute path of the picture file, else the built-in picture's resource URL.
    QString userAvatar() const override;
    QString osName() const override { return m_osName; }

    void setUserAlias(const QString& alias);
    // Where the picture is kept, whether there is one yet or not.
    QString avatarPath() const { return m_dataFolder + QLatin1String(kAvatarFile); }
    // Replaces the picture; false (and logged) when it cannot be written.
    bool storeAvatar(const QImage& picture);

private:
    QSettings& m_settings;
    const NodeIdentity& m_identity;
    const QString m_dataFolder;
    const QString m_osName;
};

} // namespace Vesk
