#pragma once

#include <QImage>

namespace Vesk {

// The picture as a side x side square for the round avatar frames: the centre square of the picture, scaled. A
// picture of other proportions loses its edges rather than being squashed. A null picture (or a side below one)
// gives a null image.
QImage squareAvatar(const QImage& image, int side);

} // namespace Vesk
