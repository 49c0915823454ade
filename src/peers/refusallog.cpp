#include "peers/refusallog.h"

#include "common/clock.h"

#include <QDebug>

namespace Vesk {

void RefusalLog::log(const QString& kind, const QString& line)
{
    Kind& logged = m_kinds[kind];
    const qint64 now = m_clock.nowMs();
    if (logged.loggedAt != 0 && now - logged.loggedAt < m_windowMs) {
        ++logged.unlogged;
        return;
    }
    qCritical().noquote() << (logged.unlogged > 0 ? line + QStringLiteral(" (and %1 more like it)").arg(logged.unlogged)
                                                  : line);
    logged = Kind{now, 0};
}

bool RefusalLog::refuse(const QString& kind, const QString& detail)
{
    log(kind, QStringLiteral("Refused %1: %2").arg(kind, detail));
    return false;
}

} // namespace Vesk
