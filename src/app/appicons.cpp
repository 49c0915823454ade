#include "app/appicons.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace {
constexpr const char* kAppIcon = ":/qml/Vesk/pics/Vesk.png";
constexpr const char* kBadgeDisc = ":/qml/Vesk/pics/redcircle.png";
// Share of the disc's radius that the count's ink may reach, leaving the rim and the gloss free.
constexpr qreal kTextFitRatio = 0.8;
constexpr int kTrayIconSide = 64;
constexpr int kTrayBadgeShare = 66; // percent of the icon's side
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

QPixmap trayPixmap(int count)
{
    QPixmap icon = QPixmap(QString::fromLatin1(kAppIcon))
                       .scaled(kTrayIconSide, kTrayIconSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (count <= 0)
        return icon;
    // The tray draws its icons at 16 to 24 pixels: the disc takes most of the icon so the digits stay readable.
    const int side = kTrayIconSide * kTrayBadgeShare / 100;
    const QPixmap badge = badgePixmap(count).scaled(side, side, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(icon.width() - side, icon.height() - side, badge);
    return icon;
}

bool launcherShowsBadge(const QString& currentDesktop)
{
    const QStringList desktops = currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString& desktop : desktops) {
        for (const char* known : {"KDE", "Unity", "ubuntu"}) {
            if (desktop.compare(QLatin1String(known), Qt::CaseInsensitive) == 0)
                return true;
        }
    }
    return false;
}

QString windowTitleFor(int count)
{
    return count == 0 ? QStringLiteral("Vesk") : QString::number(count) + QStringLiteral(": Vesk");
}

} // namespace Vesk::AppIcons
