#include "app/firstrunwizard.h"

#include "app/profileform.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>
#include <QTextEdit>
#include <QVBoxLayout>

namespace Vesk {

namespace {
constexpr const char* kWatermark = ":/vesk_watermark.png";
constexpr int kTermsHeight = 300;
// Room for the terms page: the 300-pixel terms, the heading, the acceptance box and the buttons.
constexpr int kMinimumWidth = 640;
constexpr int kMinimumHeight = 540;
constexpr int kCheckBoxGap = 16;
} // namespace

QPixmap FirstRunWizard::sidePanel(int height)
{
    const QPixmap watermark(QString::fromLatin1(kWatermark));
    if (watermark.isNull() || height <= watermark.height())
        return watermark;
    QPixmap panel(watermark.width(), height);
    panel.fill(Qt::transparent);
    QPainter painter(&panel);
    const int top = (height - watermark.height()) / 2;
    const int bottom = top + watermark.height();
    const int w = watermark.width();
    painter.drawPixmap(QRect(0, 0, w, top), watermark, QRect(0, 0, w, 1));
    painter.drawPixmap(0, top, watermark);
    painter.drawPixmap(QRect(0, bottom, w, height - bottom), watermark, QRect(0, watermark.height() - 1, w, 1));
    return panel;
}

FirstRunWizard::FirstRunWizard(ProfileEditor& editor, QWidget* parent) : QWizard(parent)
{
    // The same look everywhere, with the watermark down the side.
    setWizardStyle(QWizard::MacStyle);
    setPage(TOAPageId, new TOAPage);
    setPage(IntroPageId, new IntroPage);
    setPage(ProfilePageId, new ProfilePage(editor));
    setPage(CompletionPageId, new CompletionPage(editor));
    setStartId(IntroPageId);
    const QPixmap watermark(QString::fromLatin1(kWatermark));
    setPixmap(QWizard::LogoPixmap, watermark);
    setPixmap(QWizard::BackgroundPixmap, watermark);
    setWindowTitle(tr("Vesk: First Run Wizard"));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
}

void FirstRunWizard::resizeEvent(QResizeEvent* event)
{
    QWizard::resizeEvent(event);
    if (event->size().height() != event->oldSize().height())
        setPixmap(QWizard::BackgroundPixmap, sidePanel(event->size().height()));
}

IntroPage::IntroPage(QWidget* parent) : QWizardPage(parent)
{
    setTitle(tr("Welcome to Vesk"));
    setSubTitle(tr("Vesk: Painless local sharing"));
    auto* label = new QLabel(tr("Vesk is the best way to chat and share files with others in your local network."));
    label->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
}

int IntroPage::nextId() const
{
    return FirstRunWizard::TOAPageId;
}

TOAPage::TOAPage(QWidget* parent) : QWizardPage(parent)
{
    setTitle(tr("TOA_TITLE"));
    setSubTitle(tr("TOA_DESCRIPTION"));
    m_termsView = new QTextEdit;
    m_termsView->setReadOnly(true);
    m_termsView->setHtml(tr("TOA_TEXT"));
    m_termsView->setFixedHeight(kTermsHeight);
    m_acceptBox = new QCheckBox(tr("By clicking... you accept the TOA"));
    registerField(QStringLiteral("toa.checkbox*"), m_acceptBox);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_termsView);
    layout->addStretch();
    layout->addWidget(m_acceptBox);
}

int TOAPage::nextId() const
{
    return FirstRunWizard::ProfilePageId;
}

ProfilePage::ProfilePage(const ProfileEditor& editor, QWidget* parent) : QWizardPage(parent)
{
    setTitle(tr("Vesk: Profile update"));
    setSubTitle(tr("Vesk permits you to share and chat with other devices in your local network. Below, you'll be "
                   "able to change how you appear to others in your local network"));
    m_form = new ProfileForm(editor, this, true);
    registerField(QStringLiteral("yourName*"), m_form->nameEdit());
    registerField(QStringLiteral("avatarPath"), m_form->avatarPathEdit());
    connect(m_form, &ProfileForm::chooseRequested, this, &ProfilePage::chooseAvatar);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_form);
}

int ProfilePage::nextId() const
{
    return FirstRunWizard::CompletionPageId;
}

bool ProfilePage::isComplete() const
{
    // Not the mandatory field's own rule (changed from its start): the form starts with the stored name, and a
    // stored name is a good one.
    return !m_form->nameEdit()->text().trimmed().isEmpty();
}

void ProfilePage::chooseAvatar()
{
    m_form->chooseAvatar(this);
}

CompletionPage::CompletionPage(ProfileEditor& editor, QWidget* parent) : QWizardPage(parent), m_editor(editor)
{
    setTitle(tr("Vesk"));
    setSubTitle(tr("You're awesome"));
    auto* label = new QLabel(tr("Congrats. You can now start using Vesk."));
    label->setWordWrap(true);
    // Starting with the session is what keeps the user reachable, but it is the user's call, asked once here.
    m_startOnLoginBox = new QCheckBox(tr("Start Vesk when I log in, so others can reach me"));
    m_startOnLoginBox->setChecked(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addSpacing(kCheckBoxGap);
    layout->addWidget(m_startOnLoginBox);
    layout->addStretch();
}

int CompletionPage::nextId() const
{
    return -1;
}

bool CompletionPage::validatePage()
{
    m_editor.storeProfile(field(QStringLiteral("yourName")).toString(), field(QStringLiteral("avatarPath")).toString());
    m_editor.runOnStartup(m_startOnLoginBox->isChecked());
    return true;
}

} // namespace Vesk
