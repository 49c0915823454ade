#pragma once

#include "common/shell.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QSystemTrayIcon;

namespace Vesk {

class DesktopNotices;
class NotificationDialog;
class Preferences;
class Random;
class Store;
class TaskbarIntegration;
class VeskQMLViewer;

// The desktop around the interface: the main window with the tab and the conversation it shows, the tray icon, the
// taskbar's badge and download progress, the popups and the desktop's notices. It is the shell the subsystems are
// given. What the user asks for on a popup or a notice (a conversation, the waiting downloads) it passes on as
// signals, since the work behind it belongs to the controller.
class DesktopShell : public QObject, public Shell
{
    Q_OBJECT
    Q_DISABLE_COPY(DesktopShell)

public:
    static constexpr int kConversationTab = 0;
    static constexpr int kDownloadsTab = 2;

    // Made before the node, which is given it as its shell; the node's store follows through setStore().
    DesktopShell(Preferences& preferences, Random& random, QObject* parent = nullptr);
    ~DesktopShell() override;

    // Where the peers' names and pictures, and the counts the badge shows, are read; until then there are none.
    void setStore(const Store* store) { m_store = store; }

    // Popup texts are rich text: callers escape every part a peer supplied (Vesk::plainTextToHtml) and keep only
    // the program's own markup.
    void showChatNotification(const QString& nodeId, const QString& text) override;
    void showDownloadNotification(const QString& nodeId, const QString& text) override;
    // Offers are told in the program's own words (OfferBurst), one notice per peer and burst; the offer line is
    // not shown.
    void showOfferNotification(const QString& nodeId, const OfferedItem& item, const QString& html) override;
    void showNotice(const QString& title, const QString& text) override;
    void showNotice(const QString& key, const QString& title, const QString& text) override;
    void closeNotice(const QString& key) override;
    // Whether the conversation is on screen in the window the user works in (see conversationOnScreen).
    bool isConversationOpen(const QString& nodeId) const override;
    void showTab(int tabIndex) override { setCurrentTab(tabIndex); }
    void showProgress(qint64 have, qint64 wanted) override;
    void hideProgress() override;
    bool opensDownloadsAutomatically() const override;
    bool openFile(const QString& path) override;

    // How the main window stands: only in an active window does the user read what it shows.
    enum class WindowView { Hidden, Minimized, Inactive, Active };
    WindowView windowView() const;
    // Whether a message from the node is read as it arrives, and so is not counted unread: its conversation is the
    // one shown (ids compare without regard to letter case), on the conversation tab, in a visible, active window.
    static bool conversationOnScreen(WindowView view, int tab, const QString& shownPeer, const QString& nodeId);

    // Ends the program, without the question closing the window asks.
    void quit();

    // The tab the interface shows, and the peer whose conversation it shows on the conversation tab.
    int currentTab() const { return m_currentTab; }
    void setCurrentTab(int tabIndex);
    QString conversationPeer() const { return m_conversationPeer; }
    // Whether the peer differs from the one before (ids compare without regard to letter case).
    bool setConversationPeer(const QString& nodeId);
    // The user sees the conversation with the peer now: its desktop notice has said what it had to.
    void conversationShown(const QString& nodeId);

    // The window the badge, the title and the popups' buttons act on, with its taskbar; null forgets it. A window
    // that is destroyed is forgotten by itself.
    void setMainWindow(VeskQMLViewer* window);
    VeskQMLViewer* mainWindow() const { return m_mainWindow; }
    QSystemTrayIcon& trayIcon() const { return *m_trayIcon; }

    // The open popup of each kind per node; a popup removes its own entry when it is destroyed.
    const QHash<QString, QPointer<NotificationDialog>>& chatPopups() const { return m_chatPopups; }
    const QHash<QString, QPointer<NotificationDialog>>& downloadPopups() const { return m_downloadPopups; }

public Q_SLOTS:
    // The unread messages plus the offers waiting for the user, on the taskbar, the tray icon and the window title.
    void updateAppIcons();

Q_SIGNALS:
    void currentTabChanged();
    void conversationPeerChanged();
    // The user asked, on a popup or a notice, for the conversation with the peer.
    void conversationRequested(const QString& nodeId);
    // The conversation with the peer, which has unread messages, came on screen (the window came forward, or its
    // tab did): they are read now.
    void conversationSeen(const QString& nodeId);
    // "Download all" on a popup: every download that waits for the user.
    void downloadAllRequested();
    // The download button of a peer's notice: that peer's waiting downloads.
    void downloadsFromRequested(const QString& nodeId);
    // Files dropped on the conversation on screen, for its peer.
    void filesDroppedOnConversation(QList<QUrl> localFiles, QString peerId);

private:
    NotificationDialog* chatPopupFor(const QString& nodeId);
    NotificationDialog* downloadPopupFor(const QString& nodeId);
    NotificationDialog* popupFor(QHash<QString, QPointer<NotificationDialog>>& popups, const QString& nodeId,
                                 bool download);
    void connectDesktopNotices();
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Checked on the next turn of the event loop, once the window and the tab have settled.
    void checkConversationSeen();
    void openConversation(const QString& nodeId);
    void bringMainWindowForward();
    QString aliasOf(const QString& nodeId) const;
    QString avatarOf(const QString& nodeId) const;

    Preferences& m_preferences;
    const Store* m_store = nullptr;
    Random& m_random;
    int m_currentTab = kConversationTab;
    QString m_conversationPeer;
    QSystemTrayIcon* m_trayIcon = nullptr;
    VeskQMLViewer* m_mainWindow = nullptr;
    TaskbarIntegration* m_taskbar = nullptr;
    DesktopNotices* m_desktopNotices = nullptr;
    QHash<QString, QPointer<NotificationDialog>> m_chatPopups;
    QHash<QString, QPointer<NotificationDialog>> m_downloadPopups;
    QHash<QString, QPointer<QWidget>> m_keyedNotices; // gone by themselves once closed
    bool m_seenCheckPending = false;
};

} // namespace Vesk
