#pragma once

#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

namespace Vesk {
class Globals;
}

namespace TestSupport {

// The one controller of the process, under the program's settings names. With started, init() runs as at
// start-up and then every subsystem's rounds are stopped again, so nothing fires behind a test's back.
Vesk::Globals* controller(bool started = false);

// Waits for the next modal message box, records what it shows and answers it with the button that has the given
// text or role; an empty text and NoButton press Escape.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(QMessageBox::StandardButton button);
    explicit BoxAnswerer(const QString& buttonText);

    bool seen = false;
    QString title, text, detailedText, checkBoxText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    // Ticks the box's check box ("Don't ask again") before answering.
    bool tickCheckBox = false;

private:
    void poll();

    QMessageBox::StandardButton m_button = QMessageBox::NoButton;
    QString m_buttonText;
    QTimer m_poll;
};

// The texts of the transfer notices open now (boxes that do not block), which are then closed.
QStringList takeTransferNotices();

} // namespace TestSupport
