#include "app/traymenu.h"

#include "app/veskqmlviewer.h"

#include <QAction>
#include <QSystemTrayIcon>

namespace Vesk {

TrayMenu::TrayMenu(QSystemTrayIcon& icon, VeskQMLViewer& window) : m_icon(icon), m_window(window)
{
    m_show = m_menu.addAction(tr("Show Vesk"));
    m_menu.setDefaultAction(m_show);
    m_menu.addSeparator();
    m_quit = m_menu.addAction(tr("Exit"));
    connect(m_show, &QAction::triggered, &m_window, &VeskQMLViewer::wakeMeUp);
    // The tray ends the program without the question the window asks: choosing it here is the answer.
    connect(m_quit, &QAction::triggered, &m_window, &VeskQMLViewer::quitProgram);
    connect(&m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            m_window.toggleShown();
    });
    m_icon.setContextMenu(&m_menu);
    m_icon.setToolTip(QStringLiteral("Vesk"));
    m_icon.setVisible(true);
    m_window.setTrayShown(true);
}

TrayMenu::~TrayMenu()
{
    // The icon belongs to the controller, which outlives the window and this menu.
    m_window.setTrayShown(false);
    m_icon.setVisible(false);
    m_icon.setContextMenu(nullptr);
    disconnect(&m_icon, nullptr, this, nullptr);
}

} // namespace Vesk
