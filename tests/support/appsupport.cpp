#include "appsupport.h"

#include <QCheckBox>

#include "app/globals.h"
#include "app/transfernotice.h"
#include "core/core.h"
#include "peers/peerrefresh.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>

namespace TestSupport {

Vesk::Globals* controller(bool started)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavimor"));
    QCoreApplication::setApplicationName(QStringLiteral("Vesk"));
    Vesk::Globals* g = Vesk::Globals::instance();
    if (started) {
        g->init();
        // Tests run each round themselves, through the controller's timer slots.
        g->core().stop();
        g->peerRefresh().stop();
    }
    return g;
}

BoxAnswerer::BoxAnswerer(QMessageBox::StandardButton button) : m_button(button)
{
    connect(&m_poll, &QTimer::timeout, this, &BoxAnswerer::poll);
    m_poll.start(10);
}

BoxAnswerer::BoxAnswerer(const QString& buttonText) : BoxAnswerer(QMessageBox::NoButton)
{
    m_buttonText = buttonText;
}

void BoxAnswerer::poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box)
        return;
    m_poll.stop();
    seen = true;
    title = box->windowTitle();
    text = box->text();
    detailedText = box->detailedText();
    icon = box->icon();
    if (QCheckBox* check = box->checkBox()) {
        checkBoxText = check->text();
        check->setChecked(tickCheckBox);
    }
    QAbstractButton* answer = m_button != QMessageBox::NoButton ? box->button(m_button) : nullptr;
    for (QAbstractButton* button : box->buttons()) {
        if (box->buttonRole(button) == QMessageBox::ActionRole) // the details toggle
            continue;
        buttons << button->text();
        if (!m_buttonText.isEmpty() && button->text() == m_buttonText)
            answer = button;
    }
    if (answer)
        answer->click();
    else
        QTest::keyClick(box, Qt::Key_Escape);
}

QStringList takeTransferNotices()
{
    QStringList texts;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || box->objectName() != QLatin1String(Vesk::kTransferNoticeName) || !box->isVisible())
            continue;
        texts << box->text();
        box->close();
    }
    return texts;
}

} // namespace TestSupport
