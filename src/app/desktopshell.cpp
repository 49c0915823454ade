#include "app/desktopshell.h"

#include "app/appicons.h"
#include "app/desktopnotices.h"
#include "app/notificationdialog.h"
#include "app/platform.h"
#include "app/preferences.h"
#include "app/taskbarintegration.h"
#include "app/transfernotice.h"
#include "app/veskqmlviewer.h"
#include "common/random.h"
#include "store/store.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>
#include <QSystemTrayIcon>
#include <QTimer>

namespace Vesk {

namespace {
constexpr const char* kChatKind = "chat";
constexpr const char* kDownloadKind = "download";
constexpr const char* kAppIcon = ":/qml/Vesk/pics/Vesk.png";
constexpr const char* kNoticeIconFile = "vesk-notice-icon.png";
constexpr int kAlertMs = 1000;
// The launcher and taskbar take progress as two ints; sizes up to 4 GiB do not fit, so progress goes as a fraction.
constexpr int kProgressScale = 10000;
} // namespace

DesktopShell::DesktopShell(Preferences& preferences, Random& random, QObject* parent)
    : QObject(parent), m_preferences(preferences), m_random(random)
{
    m_trayIcon = new QSystemTrayIcon(AppIcons::applicationIcon(), this);
    connectDesktopNotices();
}

DesktopShell::~DesktopShell() = default;

// --- the main window and what it shows ------------------------------------------------------------------------

void DesktopShell::setMainWindow(VeskQMLViewer* window)
{
    if (m_mainWindow)
        disconnect(m_mainWindow, &QObject::destroyed, this, nullptr);
    m_mainWindow = window;
    m_taskbar = window ? window->taskbar() : nullptr;
    if (window) {
        connect(window, &QObject::destroyed, this, [this] {
            m_mainWindow = nullptr;
            m_taskbar = nullptr;
        });
        window->setConversationPeer(
            [this] { return m_currentTab == kConversationTab ? m_conversationPeer : QString(); });
        connect(window, &VeskQMLViewer::filesDroppedOnConversation, this, &DesktopShell::filesDroppedOnConversation,
                Qt::UniqueConnection);
        connect(window, &VeskQMLViewer::closeAnswerRemembered, &m_preferences, &Preferences::askBeforeClosingChanged,
                Qt::UniqueConnection);
        window->installEventFilter(this);
    }
}

bool DesktopShell::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_mainWindow && (event->type() == QEvent::WindowActivate || event->type() == QEvent::Show ||
                                    event->type() == QEvent::WindowStateChange))
        checkConversationSeen();
    return QObject::eventFilter(watched, event);
}

void DesktopShell::checkConversationSeen()
{
    if (m_seenCheckPending)
        return;
    m_seenCheckPending = true;
    QTimer::singleShot(0, this, [this] {
        m_seenCheckPending = false;
        const QString peer = m_conversationPeer;
        if (peer.isEmpty() || !isConversationOpen(peer))
            return;
        if (m_store && m_store->peerField(peer, QStringLiteral("unreadMessagesCount")).toInt() > 0)
            Q_EMIT conversationSeen(peer);
    });
}

void DesktopShell::quit()
{
    if (m_mainWindow)
        m_mainWindow->quitProgram();
    else
        QCoreApplication::quit();
}

void DesktopShell::bringMainWindowForward()
{
    if (!m_mainWindow)
        return;
    m_mainWindow->showNormal();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
}

void DesktopShell::openConversation(const QString& nodeId)
{
    Q_EMIT conversationRequested(nodeId);
    bringMainWindowForward();
}

void DesktopShell::setCurrentTab(int tabIndex)
{
    if (tabIndex == m_currentTab)
        return;
    m_currentTab = tabIndex;
    Q_EMIT currentTabChanged();
    checkConversationSeen();
}

bool DesktopShell::setConversationPeer(const QString& nodeId)
{
    if (nodeId.compare(m_conversationPeer, Qt::CaseInsensitive) == 0)
        return false;
    m_conversationPeer = nodeId;
    Q_EMIT conversationPeerChanged();
    return true;
}

void DesktopShell::conversationShown(const QString& nodeId)
{
    if (m_desktopNotices && !nodeId.isEmpty())
        m_desktopNotices->dismissChat(nodeId);
}

DesktopShell::WindowView DesktopShell::windowView() const
{
    if (!m_mainWindow || !m_mainWindow->isVisible())
        return WindowView::Hidden;
    if (m_mainWindow->isMinimized())
        return WindowView::Minimized;
    return m_mainWindow->isActiveWindow() ? WindowView::Active : WindowView::Inactive;
}

bool DesktopShell::conversationOnScreen(WindowView view, int tab, const QString& shownPeer, const QString& nodeId)
{
    return view == WindowView::Active && tab == kConversationTab && !nodeId.isEmpty() &&
           nodeId.compare(shownPeer, Qt::CaseInsensitive) == 0;
}

bool DesktopShell::isConversationOpen(const QString& nodeId) const
{
    return conversationOnScreen(windowView(), m_currentTab, m_conversationPeer, nodeId);
}

// --- icons and taskbar ----------------------------------------------------------------------------------------

void DesktopShell::updateAppIcons()
{
    const int count = m_store ? m_store->totalUnreadMessages() + m_store->pendingValidations() : 0;
    if (count == 0) {
        if (m_taskbar)
            m_taskbar->setOverlayIcon(QString(), QString());
        m_trayIcon->setIcon(AppIcons::applicationIcon());
    } else if (m_taskbar) {
        m_taskbar->setOverlayIcon(QIcon(AppIcons::badgePixmap(count)), QStringLiteral("Vesk"));
    }
    // Where no launcher shows the count, the tray icon carries it, as the taskbar button does on Windows.
    if (count > 0 && !AppIcons::launcherShowsBadge(qEnvironmentVariable("XDG_CURRENT_DESKTOP")))
        m_trayIcon->setIcon(QIcon(AppIcons::trayPixmap(count)));
    if (m_taskbar)
        m_taskbar->setBadgeCount(count);
    if (m_mainWindow) {
        m_mainWindow->setWindowTitle(AppIcons::windowTitleFor(count));
        QApplication::alert(m_mainWindow, kAlertMs);
    }
}

void DesktopShell::showProgress(qint64 have, qint64 wanted)
{
    if (!m_taskbar || wanted <= 0)
        return;
    m_taskbar->setProgressState(TaskbarIntegration::Normal);
    m_taskbar->setProgressValue(int(have * kProgressScale / wanted), kProgressScale);
}

void DesktopShell::hideProgress()
{
    if (m_taskbar)
        m_taskbar->setProgressState(TaskbarIntegration::NoProgress);
}

// --- popups and notices ---------------------------------------------------------------------------------------

QString DesktopShell::aliasOf(const QString& nodeId) const
{
    return m_store ? m_store->peerField(nodeId, QStringLiteral("alias")) : QString();
}

QString DesktopShell::avatarOf(const QString& nodeId) const
{
    return m_store ? m_store->peerField(nodeId, QStringLiteral("avatarPath")) : QString();
}

NotificationDialog* DesktopShell::popupFor(QHash<QString, QPointer<NotificationDialog>>& popups, const QString& nodeId,
                                           bool download)
{
    QPointer<NotificationDialog>& popup = popups[nodeId];
    if (popup)
        return popup;
    popup = new NotificationDialog(nodeId, QString::fromLatin1(download ? kDownloadKind : kChatKind), aliasOf(nodeId),
                                   avatarOf(nodeId), m_random, nullptr);
    // A closed popup deletes itself and its entry goes with it. No other popup can have taken the entry: a new
    // one is made only once the entry is empty, and a widget's entry empties only after it told it is destroyed.
    connect(popup, &QObject::destroyed, this, [&popups, nodeId] { popups.remove(nodeId); });
    if (download) {
        connect(popup, &NotificationDialog::downloadAllRequested, this, [this] {
            setCurrentTab(kDownloadsTab);
            bringMainWindowForward();
            Q_EMIT downloadAllRequested();
        });
    } else {
        connect(popup, &NotificationDialog::replyRequested, this, &DesktopShell::openConversation);
    }
    return popup;
}

NotificationDialog* DesktopShell::chatPopupFor(const QString& nodeId)
{
    return popupFor(m_chatPopups, nodeId, false);
}

NotificationDialog* DesktopShell::downloadPopupFor(const QString& nodeId)
{
    return popupFor(m_downloadPopups, nodeId, true);
}

void DesktopShell::connectDesktopNotices()
{
    m_desktopNotices = new DesktopNotices(QDBusConnection::sessionBus(), this);
    // The service runs in another process and reads the icon from disk: a copy of the built-in one.
    // Written whole or not at all: an empty file left by a full disk would have stayed, shown as no icon for good.
    const QString icon = dataFolderPath() + QLatin1String(kNoticeIconFile);
    if (QFileInfo(icon).size() <= 0) {
        QSaveFile file(icon);
        if (file.open(QIODevice::WriteOnly) && QImage(QString::fromLatin1(kAppIcon)).save(&file, "PNG"))
            file.commit();
    }
    m_desktopNotices->setAppIcon(icon);
    connect(m_desktopNotices, &DesktopNotices::conversationRequested, this, &DesktopShell::openConversation);
    connect(m_desktopNotices, &DesktopNotices::downloadRequested, this, [this](const QString& peer) {
        setCurrentTab(kDownloadsTab);
        bringMainWindowForward();
        Q_EMIT downloadsFromRequested(peer);
    });
}

void DesktopShell::showChatNotification(const QString& nodeId, const QString& text)
{
    // The user is reading that conversation: the message is on screen already.
    if (!m_preferences.showNotices() || isConversationOpen(nodeId))
        return;
    if (m_desktopNotices && m_desktopNotices->addMessage(nodeId, aliasOf(nodeId), avatarOf(nodeId), text))
        return;
    NotificationDialog* popup = chatPopupFor(nodeId);
    popup->appendMessage(text);
    popup->present();
}

void DesktopShell::showDownloadNotification(const QString& nodeId, const QString& text)
{
    if (!m_preferences.showNotices())
        return;
    NotificationDialog* popup = downloadPopupFor(nodeId);
    popup->appendMessage(text);
    popup->present();
}

void DesktopShell::showOfferNotification(const QString& nodeId, const OfferedItem& item, const QString& html)
{
    Q_UNUSED(html)
    if (!m_preferences.showNotices())
        return;
    // The desktop's notice where a service runs, the program's own popup where none does: never both.
    if (m_desktopNotices && m_desktopNotices->addOffer(nodeId, aliasOf(nodeId), avatarOf(nodeId), item))
        return;
    NotificationDialog* popup = downloadPopupFor(nodeId);
    popup->addOffer(item);
    popup->present();
}

void DesktopShell::showNotice(const QString& title, const QString& text)
{
    showTransferNotice(title, text);
}

void DesktopShell::showNotice(const QString& key, const QString& title, const QString& text)
{
    closeNotice(key);
    m_keyedNotices.insert(key, showTransferNotice(title, text));
}

void DesktopShell::closeNotice(const QString& key)
{
    if (const QPointer<QWidget> notice = m_keyedNotices.take(key))
        notice->close(); // which deletes it
}

// --- finished downloads ---------------------------------------------------------------------------------------

bool DesktopShell::opensDownloadsAutomatically() const
{
    return m_preferences.automaticallyOpenDownloadedFiles();
}

bool DesktopShell::openFile(const QString& path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

} // namespace Vesk
