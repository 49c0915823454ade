#include "transfer/deliveredfiles.h"

#include "common/clock.h"
#include "store/store.h"

#include <QSettings>
#include <QVariantMap>

namespace Vesk {

DeliveredFiles::DeliveredFiles(QSettings& settings, const Store& store, const Clock& clock, QObject* parent)
    : QObject(parent), m_settings(settings), m_store(store), m_clock(clock),
      m_files(settings.value(QLatin1String(kSettingsKey)).toList())
{
}

void DeliveredFiles::add(const QString& nodeTo, const QString& fileName)
{
    m_files.prepend(QVariantMap{{QStringLiteral("fileName"), fileName},
                                {QStringLiteral("nodeTo"), nodeTo},
                                {QStringLiteral("alias"), m_store.peerField(nodeTo, QStringLiteral("alias"))},
                                {QStringLiteral("at"), m_clock.nowMs()}});
    while (m_files.size() > kKept)
        m_files.removeLast();
    m_settings.setValue(QLatin1String(kSettingsKey), m_files);
    Q_EMIT changed();
}

} // namespace Vesk
