#pragma once

#include <QRandomGenerator>
#include <QtGlobal>

namespace Vesk {

// The program's pseudo-random sequence, seeded once at start-up. The controller owns the one instance; popups use
// it for their placement and the controller for the hourly peer refresh, so a seeded run is reproducible.
class Random
{
public:
    explicit Random(quint32 seed = 1) : m_generator(seed) {}
    void seed(quint32 seed) { m_generator.seed(seed); }
    quint32 next() { return m_generator.generate(); }

private:
    QRandomGenerator m_generator;
};

} // namespace Vesk
