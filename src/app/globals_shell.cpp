// The controller's desktop-shell entry points: the notification popups other features raise, and the profile
// wizard the interface opens.
#include "app/globals.h"

#include "app/notificationdialog.h"
#include "app/veskprofilewizard.h"
#include "net/peermanager.h"

namespace Vesk {

namespace {
constexpr const char* kChatKind = "chat";
constexpr const char* kDownloadKind = "download";

NotificationDialog* popupFor(QHash<QString, QPointer<NotificationDialog>>& popups, const QString& nodeId,
                             const char* kind)
{
    QPointer<NotificationDialog>& popup = popups[nodeId];
    if (!popup)
        popup = new NotificationDialog(nodeId, QString::fromLatin1(kind), nullptr);
    return popup;
}
} // namespace

NotificationDialog* Globals::chatPopupFor(const QString& nodeId)
{
    return popupFor(chatPopups, nodeId, kChatKind);
}

NotificationDialog* Globals::downloadPopupFor(const QString& nodeId)
{
    return popupFor(downloadPopups, nodeId, kDownloadKind);
}

void Globals::showChatNotification(const QString& nodeId, const QString& text)
{
    NotificationDialog* popup = chatPopupFor(nodeId);
    popup->appendMessage(text);
    popup->show();
}

void Globals::showDownloadNotification(const QString& nodeId, const QString& text)
{
    NotificationDialog* popup = downloadPopupFor(nodeId);
    popup->appendMessage(text);
    popup->show();
}

void Globals::launchProfileWizard()
{
    VeskProfileWizard wizard(nullptr);
    if (wizard.exec() != QDialog::Accepted)
        return;
    // The wizard stored the name and picture; the own row follows as after a change from the interface, and the
    // new name is announced at once instead of at the next hourly refresh.
    refreshOwnPeerRow();
    if (peerManager)
        peerManager->reBroadCastMyself();
}

} // namespace Vesk
