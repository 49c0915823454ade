#pragma once

#include <QImage>
#include <QString>

namespace Vesk {

class OwnProfile;

// The picture as a side x side square for the round avatar frames: the centre square of the picture, scaled. A
// picture of other proportions loses its edges rather than being squashed. A null picture (or a side below one)
// gives a null image.
QImage squareAvatar(const QImage& image, int side);

// The interface may hand over a URL ("file:///...", "qrc:/...") where a path is expected: the path it names.
QString localImagePath(const QString& pathOrUrl);

// The picture at the path, squared, becomes the own avatar; false (and logged) when it cannot be read or stored.
bool importAvatar(OwnProfile& profile, const QString& imagePath);

// Until the user picks a picture, the account's own picture (the desktop's, where it has one) stands for them.
void importAccountPicture(OwnProfile& profile);

} // namespace Vesk
