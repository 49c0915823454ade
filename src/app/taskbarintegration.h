#pragma once

#include <QIcon>
#include <QString>
#include <QWidget>

namespace Vesk {

// The taskbar button of the main window: an overlay badge and a progress display. On Windows it drives the
// shell's ITaskbarList3; on Linux it publishes the desktop launcher's LauncherEntry signal over D-Bus, which
// docks and KDE Plasma show as a count and a progress bar on the application's launcher.
class TaskbarIntegration
{
    Q_DISABLE_COPY(TaskbarIntegration)

public:
    // Progress states of the Windows shell; the Linux launcher only distinguishes "none" from the others.
    enum ProgressState { NoProgress = 0, Indeterminate = 1, Normal = 2, Error = 4, Paused = 8 };

    TaskbarIntegration();
    ~TaskbarIntegration();

    void setWindowHandle(WId window);
    // Called for every native window message; true only for the shell's "TaskbarButtonCreated".
    bool handleWindowMessage(void* message, qintptr* result);

    void setProgressValue(int completed, int total);
    void setProgressState(int flags);
    void setOverlayIcon(const QString& iconName, const QString& description);
    void setOverlayIcon(const QIcon& icon, const QString& description);
    // The number the overlay shows; the launcher API wants the number, not a picture.
    void setBadgeCount(int count);

    // The desktop-file id the launcher entry refers to.
    static QString desktopFileId() { return QStringLiteral("vesk.desktop"); }

private:
    void publishLauncherEntry();

    WId m_window = 0;
    unsigned int m_createdMessageId = 0;
    void* m_taskbarList = nullptr; // ITaskbarList3* on Windows
    void* m_overlayIcon = nullptr; // HICON on Windows
    int m_badgeCount = 0;
    double m_progress = 0.0;
    bool m_progressVisible = false;
};

} // namespace Vesk
