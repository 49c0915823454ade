#include "app/offerburst.h"

#include <QLocale>

namespace Vesk {

void OfferBurst::add(const OfferedItem& item)
{
    if (m_items == 0)
        m_first = item;
    ++m_items;
    m_files += item.isFolder() ? qMax(0, item.folderFiles) : 1;
    m_bytes += qMax<qint64>(0, item.bytes);
}

QString OfferBurst::headline(const QString& alias) const
{
    const QString who = alias.trimmed().isEmpty() ? tr("Someone") : alias;
    const int more = m_items - 1;
    if (m_first.isFolder())
        return more > 0 ? tr("%1 offers the folder %2 and %n more", nullptr, more).arg(who, m_first.name)
                        : tr("%1 offers the folder %2").arg(who, m_first.name);
    return more > 0 ? tr("%1 offers %2 and %n more", nullptr, more).arg(who, m_first.name)
                    : tr("%1 offers %2").arg(who, m_first.name);
}

QString OfferBurst::details() const
{
    const QString size = QLocale().formattedDataSize(m_bytes, 1, QLocale::DataSizeSIFormat);
    if (m_items == 1 && !m_first.isFolder())
        return size;
    return tr("%n files, %1", nullptr, m_files).arg(size);
}

} // namespace Vesk
