#include "app/veskqmlviewer.h"

#include "app/appicons.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>

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

VeskQMLViewer::CloseOutcome VeskQMLViewer::closeOutcome(bool quitAsked, const QString& rememberedAnswer)
{
    if (quitAsked || rememberedAnswer == QLatin1String(kQuitAnswer))
        return CloseOutcome::Quit;
    return rememberedAnswer == QLatin1String(kKeepAnswer) ? CloseOutcome::KeepRunning : CloseOutcome::Ask;
}

void VeskQMLViewer::quitProgram()
{
    // Since Qt 6 the application's quit closes its windows first, and a window that refuses cancels it: the flag
    // lets this close go through whatever answer closing keeps.
    m_quitAsked = true;
    close();
    QCoreApplication::quit();
}

void VeskQMLViewer::closeEvent(QCloseEvent* event)
{
    QSettings settings;
    CloseOutcome outcome = closeOutcome(m_quitAsked, settings.value(QLatin1String(kCloseAnswerKey)).toString());
    if (outcome == CloseOutcome::Ask) {
        QMessageBox box(this);
        box.setWindowTitle(tr("Do you really want to close Vesk?"));
        box.setText(tr("If you close Vesk, your peers WILL NOT be able to chat with you or transfer files with you."));
        box.setIcon(QMessageBox::Question);
        QPushButton* quit = box.addButton(quitButtonText(), QMessageBox::AcceptRole);
        QPushButton* keep = box.addButton(keepRunningButtonText(m_trayShown), QMessageBox::RejectRole);
        box.setDefaultButton(keep);
        box.setEscapeButton(keep);
        auto* dontAsk = new QCheckBox(tr("Don't ask again"), &box);
        box.setCheckBox(dontAsk);
        box.exec();
        outcome = box.clickedButton() == quit ? CloseOutcome::Quit : CloseOutcome::KeepRunning;
        if (dontAsk->isChecked()) {
            settings.setValue(QLatin1String(kCloseAnswerKey),
                              QLatin1String(outcome == CloseOutcome::Quit ? kQuitAnswer : kKeepAnswer));
            Q_EMIT closeAnswerRemembered();
        }
    }
    if (outcome == CloseOutcome::Quit) {
        event->accept();
        return;
    }
    keepRunning();
    event->ignore();
}

void VeskQMLViewer::keepRunning()
{
    if (m_trayShown)
        hide();
    else
        showMinimized();
}

void VeskQMLViewer::toggleShown()
{
    if (isVisible() && !isMinimized() && isActiveWindow())
        keepRunning();
    else
        wakeMeUp();
}

bool VeskQMLViewer::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    QmlApplicationViewer::nativeEvent(eventType, message, result);
    return m_taskbar.handleWindowMessage(message, result);
}

} // namespace Vesk
