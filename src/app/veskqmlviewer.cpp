#include "app/veskqmlviewer.h"

#include "app/appicons.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>

namespace Vesk {

VeskQMLViewer::VeskQMLViewer() : QmlApplicationViewer(nullptr)
{
    setAcceptDrops(true);
    setWindowIcon(Vesk::AppIcons::applicationIcon());
    m_taskbar.setWindowHandle(winId());
}

VeskQMLViewer::~VeskQMLViewer() = default;

void VeskQMLViewer::dragEnterEvent(QDragEnterEvent* event)
{
    event->acceptProposedAction();
}

void VeskQMLViewer::dragMoveEvent(QDragMoveEvent* event)
{
    event->acceptProposedAction();
}

void VeskQMLViewer::dropEvent(QDropEvent* event)
{
    // Everything dropped is passed on in order; the controller decides what a folder or a web link means. Dropped
    // on a conversation, the files go to its peer; anywhere else they join the files picked for sending.
    if (event->mimeData()->hasUrls()) {
        const QList<QUrl> urls = event->mimeData()->urls();
        const QString peer = m_conversationPeer ? m_conversationPeer() : QString();
        if (!peer.isEmpty()) {
            Q_EMIT filesDroppedOnConversation(urls, peer);
        } else {
            for (const QUrl& url : urls)
                Q_EMIT newFileToSend(url);
        }
    }
    event->acceptProposedAction();
}

void VeskQMLViewer::wakeMeUp()
{
    // A second start means the user is looking for the window, so it comes back from the taskbar too, not only from
    // behind other windows. Only the minimised bit is cleared: a maximised window comes back maximised.
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void VeskQMLViewer::closeEvent(QCloseEvent* event)
{
    QMessageBox box;
    box.setWindowTitle(tr("Do you really want to close Vesk?"));
    box.setText(tr("If you close Vesk, your peers WILL NOT be able to chat with you or transfer files with you."));
    box.setDetailedText(tr("Vesk is meant to be run as an always-on service. It uses minimum CPU and memory when "
                           "idle. It is adviced to leave Vesk on so that other devices around you can contact you."));
    box.setIcon(QMessageBox::Critical);
    QPushButton* quit = box.addButton(quitButtonText(), QMessageBox::AcceptRole);
    QPushButton* minimize = box.addButton(minimizeButtonText(), QMessageBox::RejectRole);
    box.setDefaultButton(minimize);
    box.setEscapeButton(minimize);
    box.exec();
    if (box.clickedButton() == quit) {
        event->accept();
        return;
    }
    showMinimized();
    event->ignore();
}

bool VeskQMLViewer::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    QmlApplicationViewer::nativeEvent(eventType, message, result);
    return m_taskbar.handleWindowMessage(message, result);
}

} // namespace Vesk
