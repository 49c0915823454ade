#include "app/preferences.h"

#include "app/platform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSettings>

namespace Vesk {

Preferences::Preferences(QSettings& settings, QObject* parent) : QObject(parent), m_settings(settings) {}

bool Preferences::value(const char* key, bool absent) const
{
    return m_settings.value(QLatin1String(key), absent).toBool();
}

void Preferences::store(const char* key, bool value)
{
    m_settings.setValue(QLatin1String(key), value);
    m_settings.sync();
}

bool Preferences::startOnLogin() const
{
    return value(kRunOnStartupKey, false);
}

void Preferences::runOnStartup(bool run)
{
    store(kRunOnStartupKey, run);
    if (!Platform::registerStartOnLogin(run, QCoreApplication::applicationFilePath()))
        qCritical().noquote() << "Could not update the start-on-login entry" << Platform::autostartEntryPath();
    Q_EMIT startOnLoginChanged();
}

void Preferences::toggleStartOnLogin()
{
    runOnStartup(!startOnLogin());
}

bool Preferences::showNotices() const
{
    return value(kShowNoticesKey, true);
}

void Preferences::toggleShowNotices()
{
    store(kShowNoticesKey, !showNotices());
    Q_EMIT showNoticesChanged();
}

bool Preferences::automaticallyOpenDownloadedFiles() const
{
    // Off unless the user turned it on: a received file comes from a computer nobody verified, and handing it to
    // the desktop's opener unasked is more than a new installation should do. A choice already stored is kept.
    return value(kAutoOpenKey, false);
}

void Preferences::toggleAutomaticallyOpenDownloadedFiles()
{
    store(kAutoOpenKey, !automaticallyOpenDownloadedFiles());
    Q_EMIT automaticallyOpenDownloadedFilesChanged();
}

bool Preferences::resumeInterruptedDownloads() const
{
    return value(kResumeKey, true);
}

void Preferences::toggleResumeInterruptedDownloads()
{
    store(kResumeKey, !resumeInterruptedDownloads());
    Q_EMIT resumeInterruptedDownloadsChanged();
}

} // namespace Vesk
