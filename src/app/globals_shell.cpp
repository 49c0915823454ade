// The controller as the desktop shell of the subsystems: the notification popups, the non-blocking notices, the
// taskbar progress, which conversation is open; and the profile wizard the interface opens.
#include "app/globals.h"

#include "app/desktopnotices.h"
#include "app/notificationdialog.h"
#include "app/taskbarintegration.h"
#include "app/transfernotice.h"
#include "app/veskprofilewizard.h"
#include "app/platform.h"
#include "app/veskqmlviewer.h"
#include "net/peermanager.h"
#include "peers/peerrecords.h"

#include <QDBusConnection>
#include <QFileInfo>
#include <QImage>
#include <QSettings>

namespace Vesk {

namespace {
constexpr const char* kChatKind = "chat";
constexpr const char* kDownloadKind = "download";
constexpr int kDownloadsTab = 2;
constexpr const char* kAppIcon = ":/qml/Vesk/pics/Vesk.png";
constexpr const char* kNoticeIconFile = "vesk-notice-icon.png";
// The launcher and taskbar take progress as two ints; sizes up to 4 GiB do not fit, so progress goes as a fraction.
constexpr int kProgressScale = 10000;
} // namespace

NotificationDialog* Globals::popupFor(QHash<QString, QPointer<NotificationDialog>>& popups, const QString& nodeId,
                                      bool download)
{
    QPointer<NotificationDialog>& popup = popups[nodeId];
    if (popup)
        return popup;
    popup = new NotificationDialog(nodeId, QString::fromLatin1(download ? kDownloadKind : kChatKind),
                                   getAliasForNode(nodeId), getAvatarForNode(nodeId), m_random, nullptr);
    // A closed popup deletes itself and its entry goes with it. No other popup can have taken the entry: a new
    // one is made only once the entry is empty, and a widget's entry empties only after it told it is destroyed.
    connect(popup, &QObject::destroyed, this, [&popups, nodeId] { popups.remove(nodeId); });
    if (download) {
        connect(popup, &NotificationDialog::downloadAllRequested, this, [this] {
            setCurrentSelectedTabIndex(kDownloadsTab);
            bringMainWindowForward();
            downloadAllPending();
        });
    } else {
        connect(popup, &NotificationDialog::replyRequested, this, [this](const QString& peer) {
            setCurrentSelectedChatPeer(peer);
            bringMainWindowForward();
        });
    }
    return popup;
}

void Globals::connectDesktopNotices()
{
    m_desktopNotices = new DesktopNotices(QDBusConnection::sessionBus(), this);
    // The service runs in another process and reads the icon from disk: a copy of the built-in one.
    const QString icon = dataFolderPath() + QLatin1String(kNoticeIconFile);
    if (!QFileInfo::exists(icon))
        QImage(QString::fromLatin1(kAppIcon)).save(icon);
    m_desktopNotices->setAppIcon(icon);
    connect(m_desktopNotices, &DesktopNotices::conversationRequested, this, [this](const QString& peer) {
        setCurrentSelectedChatPeer(peer);
        bringMainWindowForward();
    });
    connect(m_desktopNotices, &DesktopNotices::downloadRequested, this, [this](const QString& peer) {
        setCurrentSelectedTabIndex(kDownloadsTab);
        bringMainWindowForward();
        downloadPendingFrom(peer);
    });
}

NotificationDialog* Globals::chatPopupFor(const QString& nodeId)
{
    return popupFor(chatPopups, nodeId, false);
}

NotificationDialog* Globals::downloadPopupFor(const QString& nodeId)
{
    return popupFor(downloadPopups, nodeId, true);
}

void Globals::bringMainWindowForward()
{
    if (!mainWindow)
        return;
    mainWindow->showNormal();
    mainWindow->raise();
    mainWindow->activateWindow();
}

void Globals::setMainWindow(VeskQMLViewer* window)
{
    if (mainWindow)
        disconnect(mainWindow, &QObject::destroyed, this, nullptr);
    mainWindow = window;
    taskbar = window ? window->taskbar() : nullptr;
    if (window) {
        connect(window, &QObject::destroyed, this, [this] {
            mainWindow = nullptr;
            taskbar = nullptr;
        });
        window->setConversationPeer(
            [this] { return m_currentSelectedTabIndex == 0 ? m_currentSelectedChatPeer : QString(); });
        connect(window, &VeskQMLViewer::filesDroppedOnConversation, this, &Globals::offerFilesToPeer,
                Qt::UniqueConnection);
    }
}

void Globals::showChatNotification(const QString& nodeId, const QString& text)
{
    // The user is reading that conversation: the message is on screen already.
    if (!m_preferences->showNotices() || (isConversationOpen(nodeId) && mainWindow && mainWindow->isActiveWindow()))
        return;
    if (m_desktopNotices &&
        m_desktopNotices->addMessage(nodeId, getAliasForNode(nodeId), getAvatarForNode(nodeId), text))
        return;
    NotificationDialog* popup = chatPopupFor(nodeId);
    popup->appendMessage(text);
    popup->present();
}

void Globals::showDownloadNotification(const QString& nodeId, const QString& text)
{
    if (!m_preferences->showNotices())
        return;
    NotificationDialog* popup = downloadPopupFor(nodeId);
    popup->appendMessage(text);
    popup->present();
}

void Globals::showOfferNotification(const QString& nodeId, qint64 fileSize, const QString& text)
{
    if (!m_preferences->showNotices())
        return;
    if (m_desktopNotices &&
        m_desktopNotices->addOffer(nodeId, getAliasForNode(nodeId), getAvatarForNode(nodeId), fileSize, text))
        return;
    NotificationDialog* popup = downloadPopupFor(nodeId);
    popup->addOffer(fileSize, text);
    popup->present();
}

void Globals::showNotice(const QString& title, const QString& text)
{
    showTransferNotice(title, text);
}

bool Globals::isConversationOpen(const QString& nodeId) const
{
    return m_currentSelectedTabIndex == 0 && nodeId.compare(m_currentSelectedChatPeer, Qt::CaseInsensitive) == 0;
}

void Globals::showTab(int tabIndex)
{
    setCurrentSelectedTabIndex(tabIndex);
}

void Globals::showProgress(qint64 have, qint64 wanted)
{
    if (!taskbar || wanted <= 0)
        return;
    taskbar->setProgressState(TaskbarIntegration::Normal);
    taskbar->setProgressValue(int(have * kProgressScale / wanted), kProgressScale);
}

void Globals::hideProgress()
{
    if (taskbar)
        taskbar->setProgressState(TaskbarIntegration::NoProgress);
}

void Globals::launchProfileWizard()
{
    VeskProfileWizard wizard(*this, nullptr);
    if (wizard.exec() != QDialog::Accepted)
        return;
    // The wizard stored the name and picture; the own row follows as after a change from the interface, and the
    // new name is announced at once instead of at the next hourly refresh.
    m_peers->refreshOwnPeerRow();
    if (peerManager)
        peerManager->reBroadCastMyself();
}

} // namespace Vesk
