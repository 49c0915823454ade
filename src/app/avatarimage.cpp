#include "app/avatarimage.h"

namespace Vesk {

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

} // namespace Vesk
