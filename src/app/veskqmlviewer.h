#pragma once

#include "app/qmlapplicationviewer.h"
#include "app/taskbarintegration.h"

#include <QList>
#include <QUrl>

#include <functional>

class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;

namespace Vesk {

// The application's only top-level window: hands dropped files to the controller, asks before quitting, comes
// forward when a second start wakes it, and owns the taskbar integration.
class VeskQMLViewer : public QmlApplicationViewer
{
    Q_OBJECT
    Q_DISABLE_COPY(VeskQMLViewer)

public:
    VeskQMLViewer();
    ~VeskQMLViewer() override;

    TaskbarIntegration* taskbar() { return &m_taskbar; }
    // Who the conversation on screen is with (empty when none is): files dropped on it are offered to that peer.
    void setConversationPeer(std::function<QString()> peer) { m_conversationPeer = std::move(peer); }

    // The answers of the question asked before quitting; exposed so tests can drive it.
    static QString quitButtonText() { return tr("Quit"); }
    static QString keepRunningButtonText(bool inTray)
    {
        return inTray ? tr("Keep running in the tray") : tr("Keep running");
    }
    // Settings key holding the answer the user asked to keep ("quit" or "keep"); absent while the question is asked.
    static constexpr const char* kCloseAnswerKey = "closeAnswer";
    static constexpr const char* kQuitAnswer = "quit";
    static constexpr const char* kKeepAnswer = "keep";

    // What closing the window comes to. Quitting by name (the tray's or the menu's quit) always quits: the user
    // said so there and then. Closing the window asks, unless an answer was remembered; anything but a known answer
    // is no answer.
    enum class CloseOutcome { Quit, Ask, KeepRunning };
    static CloseOutcome closeOutcome(bool quitAsked, const QString& rememberedAnswer);

    // With a tray icon, keeping the program running hides the window (the tray brings it back); without one it is
    // minimised to the taskbar.
    void setTrayShown(bool shown) { m_trayShown = shown; }
    bool trayShown() const { return m_trayShown; }
    // Hidden into the tray, or back on screen in front.
    void toggleShown();

Q_SIGNALS:
    void newFileToSend(QUrl localFile);
    // The user ticked "Don't ask again": closing has a remembered answer now.
    void closeAnswerRemembered();
    void filesDroppedOnConversation(QList<QUrl> localFiles, QString peerId);

public Q_SLOTS:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void wakeMeUp();
    // Ends the program without the question closing asks.
    void quitProgram();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    void keepRunning();

    TaskbarIntegration m_taskbar;
    std::function<QString()> m_conversationPeer;
    bool m_trayShown = false;
    bool m_quitAsked = false;
};

} // namespace Vesk
