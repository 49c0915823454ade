#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace Vesk::AppIcons {

// The program's own icon, for its windows and its entry in the desktop's task switcher.
QIcon applicationIcon();
// The red disc with the count painted on it in white, every digit shown.
QPixmap badgePixmap(int count);
// The application icon with the count on a disc in its lower right corner, as the tray shows it where the desktop's
// launcher shows no badge of its own; the plain icon for 0.
QPixmap trayPixmap(int count);
// Whether the desktop's launcher or dock shows the count the program sends it (KDE Plasma, Unity, Ubuntu's dock),
// judged from XDG_CURRENT_DESKTOP ("ubuntu:GNOME", "KDE").
bool launcherShowsBadge(const QString& currentDesktop);
// "N: Vesk", or "Vesk" when nothing is waiting.
QString windowTitleFor(int count);

} // namespace Vesk::AppIcons
