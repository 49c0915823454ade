#include "app/appicons.h"

#include "app/globals.h"
#include "app/taskbarintegration.h"
#include "app/veskqmlviewer.h"

#include <QApplication>
#include <QFont>
#include <QPainter>
#include <QSystemTrayIcon>

namespace {
constexpr int kAlertMs = 1000;
constexpr const char* kAppIcon = ":/qml/Vesk/pics/Vesk.png";
constexpr const char* kBadgeDisc = ":/qml/Vesk/pics/redcircle.png";
} // namespace

namespace Vesk::AppIcons {

QPixmap badgePixmap(int count)
{
    QPixmap pixmap(QString::fromLatin1(kBadgeDisc));
    QPainter painter(&pixmap);
    painter.setPen(Qt::white);
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(pixmap.height() * 2 / 3);
    font.setWeight(QFont::Bold);
    font.setItalic(false);
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QString::number(count));
    return pixmap;
}

QString windowTitleFor(int count)
{
    return count == 0 ? QStringLiteral("Vesk") : QString::number(count) + QStringLiteral(": Vesk");
}

} // namespace Vesk::AppIcons

namespace Vesk {

void Globals::updateAppIcons()
{
    const QPixmap appIcon(QString::fromLatin1(kAppIcon));
    const int count = totalNumberOfUnReadMessages() + numberOfPendingValidations();
    if (count == 0) {
        if (taskbar)
            taskbar->setOverlayIcon(QString(), QString());
        if (trayIcon)
            trayIcon->setIcon(QIcon(appIcon));
    } else if (taskbar) {
        taskbar->setOverlayIcon(QIcon(AppIcons::badgePixmap(count)), QStringLiteral("Vesk"));
    }
    if (taskbar)
        taskbar->setBadgeCount(count);
    if (mainWindow) {
        mainWindow->setWindowTitle(AppIcons::windowTitleFor(count));
        QApplication::alert(mainWindow, kAlertMs);
    }
}

} // namespace Vesk
