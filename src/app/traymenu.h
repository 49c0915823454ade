#pragma once

#include <QMenu>
#include <QObject>

class QAction;
class QSystemTrayIcon;

namespace Vesk {

class VeskQMLViewer;

// The tray icon's behaviour: a click shows the window or puts it away into the tray; its menu brings the window
// back or quits. It keeps the window told that the tray is there, so closing it keeps the program in the tray.
class TrayMenu : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TrayMenu)

public:
    TrayMenu(QSystemTrayIcon& icon, VeskQMLViewer& window);
    ~TrayMenu() override;

    QMenu* menu() { return &m_menu; }
    QAction* showAction() const { return m_show; }
    QAction* quitAction() const { return m_quit; }

private:
    QSystemTrayIcon& m_icon;
    VeskQMLViewer& m_window;
    QMenu m_menu;
    QAction* m_show = nullptr;
    QAction* m_quit = nullptr;
};

} // namespace Vesk
