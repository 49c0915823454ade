#pragma once

#include <QString>

// Functions that hide the operating system. Folder paths use native separators and end with a separator.
QString dataFolderPath();
QString downloadsFolderPath();
QString osName();
QString userName();
QString defaultAvatarPath();
QString machineGuid();

class QWidget;

namespace Vesk::Platform {

// The folder start-up makes current: the executable's folder, or its parent when that folder is a build
// configuration folder ("debug" or "release" in any letter case).
QString workingDirectoryFor(const QString& executableDir);

// Keeps the login-start registration in step with the preference: the Run key on Windows, an XDG autostart
// entry elsewhere. Returns whether the registration now matches `run`.
bool registerStartOnLogin(bool run, const QString& executablePath);

// Path of the XDG autostart entry used on Linux.
QString autostartEntryPath();

// Derives the node id from a raw machine id without revealing it: a braced UUID made from a keyed hash.
QString nodeIdFromMachineId(const QByteArray& machineId);

// Asks the window manager to leave a window out of the taskbar and the pager (X11; elsewhere nothing happens).
// Call it before the window is first shown.
void keepOffTaskbar(QWidget* window);

} // namespace Vesk::Platform
