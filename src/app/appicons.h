#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace Vesk::AppIcons {

// The program's own icon, for its windows and its entry in the desktop's task switcher.
QIcon applicationIcon();
// The red disc with the count painted on it in white, every digit shown.
QPixmap badgePixmap(int count);
// "N: Vesk", or "Vesk" when nothing is waiting.
QString windowTitleFor(int count);

} // namespace Vesk::AppIcons
