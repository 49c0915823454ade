#include "app/taskbarintegration.h"

#include <QVariantMap>

#ifdef Q_OS_WIN
#include <QtGui/private/qguiapplication_p.h>
#include <shobjidl.h>
#include <windows.h>
#else
#include <QDBusConnection>
#include <QDBusMessage>
#endif

namespace Vesk {

namespace {
constexpr int kOverlayPixmapSide = 48;
}

TaskbarIntegration::TaskbarIntegration() = default;

TaskbarIntegration::~TaskbarIntegration()
{
#ifdef Q_OS_WIN
    if (m_taskbarList)
        static_cast<ITaskbarList3*>(m_taskbarList)->Release();
#endif
}

void TaskbarIntegration::setWindowHandle(WId window)
{
    m_window = window;
#ifdef Q_OS_WIN
    m_createdMessageId = RegisterWindowMessageW(L"TaskbarButtonCreated");
#endif
}

bool TaskbarIntegration::handleWindowMessage(void* message, qintptr* result)
{
#ifdef Q_OS_WIN
    const MSG* msg = static_cast<const MSG*>(message);
    if (!msg || msg->message != m_createdMessageId)
        return false;
    ITaskbarList3* list = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                        reinterpret_cast<void**>(&list));
    if (m_taskbarList)
        static_cast<ITaskbarList3*>(m_taskbarList)->Release();
    m_taskbarList = SUCCEEDED(hr) ? list : nullptr;
    if (result)
        *result = hr;
    return true;
#else
    Q_UNUSED(message)
    Q_UNUSED(result)
    return false;
#endif
}

void TaskbarIntegration::setProgressValue(int completed, int total)
{
#ifdef Q_OS_WIN
    if (m_taskbarList)
        static_cast<ITaskbarList3*>(m_taskbarList)
            ->SetProgressValue(reinterpret_cast<HWND>(m_window), qint64(completed), qint64(total));
#endif
    m_progress = total > 0 ? qBound(0.0, double(completed) / double(total), 1.0) : 0.0;
    publishLauncherEntry();
}

void TaskbarIntegration::setProgressState(int flags)
{
#ifdef Q_OS_WIN
    if (m_taskbarList)
        static_cast<ITaskbarList3*>(m_taskbarList)
            ->SetProgressState(reinterpret_cast<HWND>(m_window), static_cast<TBPFLAG>(flags));
#endif
    m_progressVisible = flags != NoProgress;
    publishLauncherEntry();
}

void TaskbarIntegration::setOverlayIcon(const QString& iconName, const QString& description)
{
    Q_UNUSED(iconName)
    Q_UNUSED(description)
#ifdef Q_OS_WIN
    if (!m_taskbarList)
        return;
    static_cast<ITaskbarList3*>(m_taskbarList)->SetOverlayIcon(reinterpret_cast<HWND>(m_window), nullptr, nullptr);
    if (m_overlayIcon)
        DestroyIcon(static_cast<HICON>(m_overlayIcon));
    m_overlayIcon = nullptr;
#endif
}

void TaskbarIntegration::setOverlayIcon(const QIcon& icon, const QString& description)
{
#ifdef Q_OS_WIN
    if (!m_taskbarList)
        return;
    HICON previous = static_cast<HICON>(m_overlayIcon);
    HICON current = icon.isNull() ? nullptr : icon.pixmap(kOverlayPixmapSide).toImage().toHICON();
    m_overlayIcon = current;
    static_cast<ITaskbarList3*>(m_taskbarList)
        ->SetOverlayIcon(reinterpret_cast<HWND>(m_window), current,
                         reinterpret_cast<const wchar_t*>(description.utf16()));
    if (previous && previous != current)
        DestroyIcon(previous);
#else
    Q_UNUSED(icon)
    Q_UNUSED(description)
    Q_UNUSED(kOverlayPixmapSide)
#endif
}

void TaskbarIntegration::setBadgeCount(int count)
{
    if (count == m_badgeCount)
        return;
    m_badgeCount = count;
    publishLauncherEntry();
}

void TaskbarIntegration::publishLauncherEntry()
{
#ifndef Q_OS_WIN
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return; // no session bus (a bare X server, a service account): nothing shows a launcher anyway
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/"), QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    QVariantMap properties;
    properties.insert(QStringLiteral("count"), qint64(m_badgeCount));
    properties.insert(QStringLiteral("count-visible"), m_badgeCount > 0);
    properties.insert(QStringLiteral("progress"), m_progress);
    properties.insert(QStringLiteral("progress-visible"), m_progressVisible);
    signal << QString(QStringLiteral("application://") + desktopFileId()) << properties;
    bus.send(signal);
#endif
}

} // namespace Vesk
