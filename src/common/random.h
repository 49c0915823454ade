#pragma once

#include <QtGlobal>

namespace Vesk {

// One process-wide pseudo-random sequence, seeded once at start-up. Popups use it for their placement and the
// controller for the hourly peer refresh, so a seeded run is reproducible.
void seedRandom(quint32 seed);
quint32 nextRandom();

} // namespace Vesk
