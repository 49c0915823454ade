#include "app/veskprofilewizard.h"

#include "app/firstrunwizard.h"
#include "app/profileform.h"

#include <QLineEdit>
#include <QPixmap>
#include <QResizeEvent>
#include <QVBoxLayout>

namespace Vesk {

namespace {
constexpr const char* kWatermark = ":/vesk_watermark.png";
}

VeskProfileWizard::VeskProfileWizard(ProfileEditor& editor, QWidget* parent) : QWizard(parent)
{
    setOption(QWizard::NoBackButtonOnStartPage, true);
    setWizardStyle(QWizard::MacStyle);
    setPage(InAppProfilePageId, new InAppProfilePage(editor));
    setStartId(InAppProfilePageId);
    setPixmap(QWizard::BackgroundPixmap, QPixmap(QString::fromLatin1(kWatermark)));
    setWindowTitle(tr("Vesk: Change Profile"));
}

void VeskProfileWizard::resizeEvent(QResizeEvent* event)
{
    QWizard::resizeEvent(event);
    if (event->size().height() != event->oldSize().height())
        setPixmap(QWizard::BackgroundPixmap, FirstRunWizard::sidePanel(event->size().height()));
}

InAppProfilePage::InAppProfilePage(ProfileEditor& editor, QWidget* parent) : QWizardPage(parent), m_editor(editor)
{
    setTitle(tr("Vesk: Profile update"));
    setSubTitle(tr("Below, you'll be able to change how you appear to others in your local network"));
    m_form = new ProfileForm(editor, this, false);
    registerField(QStringLiteral("yourName*"), m_form->nameEdit());
    registerField(QStringLiteral("avatarPath"), m_form->avatarPathEdit());
    connect(m_form, &ProfileForm::chooseRequested, this, &InAppProfilePage::chooseAvatar);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_form);
}

bool InAppProfilePage::isComplete() const
{
    // Not the mandatory field's own rule (changed from its start): the form starts with the stored name, and a
    // stored name is a good one.
    return !m_form->nameEdit()->text().trimmed().isEmpty();
}

void InAppProfilePage::chooseAvatar()
{
    m_form->chooseAvatar(this);
}

bool InAppProfilePage::validatePage()
{
    m_editor.storeProfile(field(QStringLiteral("yourName")).toString(), field(QStringLiteral("avatarPath")).toString());
    return true;
}

} // namespace Vesk
