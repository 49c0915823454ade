#include "common/random.h"

#include <QRandomGenerator>

namespace Vesk {

namespace {
QRandomGenerator& generator()
{
    static QRandomGenerator instance(1);
    return instance;
}
} // namespace

void seedRandom(quint32 seed)
{
    generator().seed(seed);
}

quint32 nextRandom()
{
    return generator().generate();
}

} // namespace Vesk
