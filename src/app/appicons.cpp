#include "app/appicons.h"

#include "app/globals.h"
#include "app/taskbarintegration.h"
#include "app/veskqmlviewer.h"

#include <QApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QSystemTrayIcon>

#include <cmath>

namespace {
constexpr int kAlertMs = 1000;
constexpr const char* kAppIcon = ":/qml/Vesk/pics/Vesk.png";
constexpr const char* kBadgeDisc = ":/qml/Vesk/pics/redcircle.png";
// Share of the disc's radius that the count's ink may reach, leaving the rim and the gloss free.
constexpr qreal kTextFitRatio = 0.8;
} // namespace

namespace Vesk::AppIcons {

QIcon applicationIcon()
{
    return QIcon(QString::fromLatin1(kAppIcon));
}

QPixmap badgePixmap(int count)
{
    QPixmap pixmap(QString::fromLatin1(kBadgeDisc));
    const QString text = QString::number(count);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(Qt::white);
    QFont font(QStringLiteral("Arial"));
    font.setPointSize(pixmap.height() * 2 / 3);
    font.setWeight(QFont::Bold);
    font.setItalic(false);
    // At two thirds of the disc's height only one digit fits; longer counts get a smaller font so that every
    // digit stays on the disc (the count is never capped or abbreviated).
    const QRectF ink = QFontMetricsF(font).tightBoundingRect(text);
    const qreal halfDiagonal = std::hypot(ink.width(), ink.height()) / 2;
    const qreal room = pixmap.height() / 2.0 * kTextFitRatio;
    if (halfDiagonal > room)
        font.setPointSizeF(font.pointSizeF() * room / halfDiagonal);
    painter.setFont(font);
    // Centre the ink itself, not the line box: digits have no descenders and would sit high.
    const QRectF finalInk = QFontMetricsF(font).tightBoundingRect(text);
    painter.drawText(QRectF(pixmap.rect()).center() - finalInk.center(), text);
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
