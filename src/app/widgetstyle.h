#pragma once

class QApplication;
class QPalette;
class QString;

namespace Vesk::WidgetStyle {

// The classic widgets (wizards, message boxes, popups, file notices) dressed like the window's interface: its
// colours, its radius, its type, light or dark as the desktop is.
void apply(QApplication& app);

// The pieces apply() uses, for a light or dark desktop.
QPalette palette(bool dark);
QString styleSheet(bool dark);

} // namespace Vesk::WidgetStyle
