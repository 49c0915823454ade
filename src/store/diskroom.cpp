#include "store/diskroom.h"

#include "common/clock.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QStorageInfo>

#include <limits>

namespace Vesk {

bool DiskRoom::hasRoomFor(qint64 bytes)
{
    const qint64 now = m_clock.nowMs();
    if (m_lookedAt < 0 || now < m_lookedAt || now - m_lookedAt >= kLookMs) {
        m_free = m_probe ? m_probe() : QStorageInfo(m_folder).bytesAvailable();
        if (m_free < 0) // not known: no reason to refuse
            m_free = std::numeric_limits<qint64>::max() / 2;
        m_lookedAt = now;
    }
    return m_free - bytes >= kMinFreeBytes;
}

QString DiskRoom::why() const
{
    return QCoreApplication::translate("Vesk::DiskRoom", "the disk holding %1 has less than %2 free")
        .arg(QDir::toNativeSeparators(m_folder),
             QLocale().formattedDataSize(kMinFreeBytes, 0, QLocale::DataSizeSIFormat));
}

} // namespace Vesk
