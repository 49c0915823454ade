#pragma once

#include <QtGlobal>

#include <functional>

namespace Vesk {

// Wall-clock time in milliseconds since the Unix epoch. Every timestamp the program stores or sends comes from
// here, so tests can move time (sleep detection, one-hour resend windows) without waiting.
qint64 nowMs();

// Replaces the clock for tests; an empty function restores the system clock.
void setClockOverride(std::function<qint64()> clock);

} // namespace Vesk
