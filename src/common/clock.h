#pragma once

#include <QtGlobal>

namespace Vesk {

// Wall-clock time in milliseconds since the Unix epoch. Every timestamp the program stores or sends comes from a
// clock handed to the object that needs it, so tests can move time (sleep detection, one-hour resend windows)
// without waiting.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual qint64 nowMs() const = 0;

    // The system's clock. It holds no state, so one shared instance serves every object.
    static const Clock& system();
};

class SystemClock final : public Clock
{
public:
    qint64 nowMs() const override;
};

// A clock that only moves when told to (tests, benchmarks).
class ManualClock final : public Clock
{
public:
    explicit ManualClock(qint64 startMs = 1700000000000) : m_now(startMs) {}
    qint64 nowMs() const override { return m_now; }
    void setNowMs(qint64 now) { m_now = now; }
    void advance(qint64 ms) { m_now += ms; }

private:
    qint64 m_now;
};

// Reads another clock, which can be swapped while the objects holding this one keep their reference: the
// controller hands it to every subsystem, and a test of the whole controller moves them all at once.
class ClockProxy final : public Clock
{
public:
    qint64 nowMs() const override { return m_target->nowMs(); }
    void setTarget(const Clock& target) { m_target = &target; }

private:
    const Clock* m_target = &Clock::system();
};

} // namespace Vesk
