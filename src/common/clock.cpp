#include "common/clock.h"

#include <QDateTime>

namespace Vesk {

namespace {
std::function<qint64()>& clockOverride()
{
    static std::function<qint64()> clock;
    return clock;
}
} // namespace

qint64 nowMs()
{
    const auto& clock = clockOverride();
    return clock ? clock() : QDateTime::currentMSecsSinceEpoch();
}

void setClockOverride(std::function<qint64()> clock)
{
    clockOverride() = std::move(clock);
}

} // namespace Vesk
