#include "peers/ownprofile.h"

#include "peers/nodeidentity.h"

#include <QDebug>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>
#include <QSettings>

namespace Vesk {

OwnProfile::OwnProfile(QSettings& settings, const NodeIdentity& identity, const QString& dataFolder,
                       const QString& osName)
    : m_settings(settings), m_identity(identity), m_dataFolder(dataFolder), m_osName(osName)
{
}

QString OwnProfile::hostId() const
{
    return m_identity.id();
}

QString OwnProfile::userAlias() const
{
    return m_settings.value(QLatin1String(kUserAliasKey), QStringLiteral("unknown")).toString();
}

void OwnProfile::setUserAlias(const QString& alias)
{
    m_settings.setValue(QLatin1String(kUserAliasKey), alias);
    m_settings.sync();
}

QString OwnProfile::userAvatar() const
{
    const QFileInfo file(avatarPath());
    return file.exists() ? file.absoluteFilePath() : QString::fromLatin1(kBuiltInAvatar);
}

bool OwnProfile::storeAvatar(const QImage& picture)
{
    // Written beside it and then put in its place: a full disk leaves the picture there was, not part of a new one
    // (which peers would refuse, and this side would show broken).
    QSaveFile file(avatarPath());
    if (file.open(QIODevice::WriteOnly) && picture.save(&file, "PNG") && file.commit())
        return true;
    qCritical().noquote() << "Could not save image at " + avatarPath() + ": " + file.errorString();
    return false;
}

} // namespace Vesk
