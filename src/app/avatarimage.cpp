#include "app/avatarimage.h"

#include "app/platform.h"
#include "peers/ownprofile.h"

#include <QDebug>
#include <QFileInfo>
#include <QUrl>

namespace Vesk {

namespace {
constexpr int kAvatarSide = 256;
} // namespace

QImage squareAvatar(const QImage& image, int side)
{
    if (image.isNull() || side < 1)
        return {};
    // Cropping before scaling gives the same picture as scaling to cover the square and cropping after, without
    // scaling a large photo's edges only to throw them away.
    const int crop = qMin(image.width(), image.height());
    const QImage centre = image.copy((image.width() - crop) / 2, (image.height() - crop) / 2, crop, crop);
    return centre.scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

QString localImagePath(const QString& pathOrUrl)
{
    if (pathOrUrl.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        return QUrl(pathOrUrl).toLocalFile();
    if (pathOrUrl.startsWith(QLatin1String("qrc:"), Qt::CaseInsensitive))
        return QLatin1Char(':') + QUrl(pathOrUrl).path();
    return pathOrUrl;
}

bool importAvatar(OwnProfile& profile, const QString& imagePath)
{
    QImage image;
    if (!image.load(imagePath)) {
        qCritical().noquote() << "Could not load image at " + imagePath;
        return false;
    }
    return profile.storeAvatar(squareAvatar(image, kAvatarSide));
}

void importAccountPicture(OwnProfile& profile)
{
    // Without an account picture the default is a resource URL, which no image loader takes: nothing to import
    // then, and nothing to log.
    if (QFileInfo::exists(profile.avatarPath()))
        return;
    const QString accountPicture = defaultAvatarPath();
    if (!accountPicture.startsWith(QLatin1String("qrc:")))
        importAvatar(profile, accountPicture);
}

} // namespace Vesk
