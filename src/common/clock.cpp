#include "common/clock.h"

#include <QDateTime>

namespace Vesk {

namespace {
const SystemClock kSystemClock;
} // namespace

const Clock& Clock::system()
{
    return kSystemClock;
}

qint64 SystemClock::nowMs() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace Vesk
