#pragma once

#include "app/qmlapplicationviewer.h"
#include "app/taskbarintegration.h"

#include <QUrl>

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

    // Builds the question asked before quitting; exposed so tests can drive it.
    static QString quitButtonText() { return QStringLiteral("Quit Vesk"); }
    static QString minimizeButtonText() { return QStringLiteral("Minimize Vesk"); }

Q_SIGNALS:
    void newFileToSend(QUrl localFile);

public Q_SLOTS:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void wakeMeUp();
    void aboutToQuit() {}

protected:
    void closeEvent(QCloseEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    TaskbarIntegration m_taskbar;
};

} // namespace Vesk
