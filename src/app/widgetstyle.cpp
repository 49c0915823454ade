#include "app/widgetstyle.h"

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QPalette>
#include <QStyleFactory>

namespace Vesk::WidgetStyle {

namespace {

// The interface's colours (qml/Vesk/desktop/Theme.qml); both sides change together.
struct Colours
{
    QString window, surface, surfaceAlt, text, textMuted, disabledText, divider, hover, pressed, focus;
};

constexpr const char* kBrand = "#2B7CB6";
constexpr const char* kBrandHover = "#2570A6";
constexpr const char* kBrandPressed = "#1F6292";
constexpr qreal kBodyPointSize = 10.5; // the interface's 14 pixels at 96 dpi
// Below this lightness of the desktop's window colour the desktop is dark, as the interface decides it.
constexpr int kDarkBelowLightness = 128;

Colours colours(bool dark)
{
    if (dark)
        return {"#161B22", "#1E252E", "#27303B", "#E6EDF3", "#9DA9B6",
                "#5F6B78", "#2E3742", "#26303B", "#2E3A47", "#6CC4F0"};
    return {"#F3F5F8", "#FFFFFF", "#EAEEF3", "#1B2430", "#5B6676",
            "#A3ACB8", "#DDE2E8", "#EEF3F8", "#E1E9F1", "#2B7CB6"};
}

} // namespace

QPalette palette(bool dark)
{
    const Colours c = colours(dark);
    QPalette p;
    p.setColor(QPalette::Window, QColor(c.window));
    p.setColor(QPalette::WindowText, QColor(c.text));
    p.setColor(QPalette::Base, QColor(c.surface));
    p.setColor(QPalette::AlternateBase, QColor(c.surfaceAlt));
    p.setColor(QPalette::Text, QColor(c.text));
    p.setColor(QPalette::Button, QColor(c.surface));
    p.setColor(QPalette::ButtonText, QColor(c.text));
    p.setColor(QPalette::PlaceholderText, QColor(c.textMuted));
    p.setColor(QPalette::ToolTipBase, QColor(c.surface));
    p.setColor(QPalette::ToolTipText, QColor(c.text));
    p.setColor(QPalette::Highlight, QColor(kBrand));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(c.focus));
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(c.disabledText));
    return p;
}

QString styleSheet(bool dark)
{
    const Colours c = colours(dark);
    return QStringLiteral("QPushButton { background: %1; color: %3; border: 1px solid %6; border-radius: 8px;"
                          "  padding: 7px 16px; }"
                          "QPushButton:hover { background: %7; }"
                          "QPushButton:pressed { background: %8; }"
                          "QPushButton:default { background: %10; color: white; border-color: %10; }"
                          "QPushButton:default:hover { background: %11; }"
                          "QPushButton:default:pressed { background: %12; }"
                          "QPushButton:disabled { background: %2; color: %5; border-color: %2; }"
                          "QPushButton:focus { border-color: %9; }"
                          // Some desktops' themes put their icons on a box's OK and Cancel; our buttons are words.
                          "QDialogButtonBox { dialogbuttonbox-buttons-have-icons: 0; }"
                          "QLineEdit, QTextEdit { background: %1; color: %3; border: 1px solid %6; border-radius: 6px;"
                          "  padding: 5px; selection-background-color: %10; selection-color: white; }"
                          "QLineEdit:focus, QTextEdit:focus { border-color: %9; }"
                          "QGroupBox { border: 1px solid %6; border-radius: 8px; background: %1; margin-top: 4px;"
                          "  padding: 12px; }"
                          "QLabel#hint { color: %4; }"
                          "QDialog#notice { background: %1; border: 1px solid %6; }"
                          "QDialog#notice QTextEdit { border: none; padding: 0px; }"
                          "QMenu { background: %1; color: %3; border: 1px solid %6; padding: 4px; }"
                          "QMenu::item { padding: 6px 24px; border-radius: 4px; }"
                          "QMenu::item:selected { background: %7; color: %3; }")
        // Every marker from %1 on is used: arg() fills the lowest ones first.
        .arg(c.surface, c.surfaceAlt, c.text, c.textMuted, c.disabledText, c.divider, c.hover, c.pressed, c.focus)
        .arg(QLatin1String(kBrand), QLatin1String(kBrandHover), QLatin1String(kBrandPressed));
}

void apply(QApplication& app)
{
    const bool dark = app.palette().color(QPalette::Window).lightness() < kDarkBelowLightness;
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);
    QApplication::setPalette(palette(dark));
    // In points, not pixels: the wizard sizes its titles relative to the point size.
    QFont font = QApplication::font();
    font.setPointSizeF(kBodyPointSize);
    QApplication::setFont(font);
    app.setStyleSheet(styleSheet(dark));
}

} // namespace Vesk::WidgetStyle
