#include "app/profileform.h"

#include "app/avatarimage.h"

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QStandardPaths>
#include <QWizardPage>

namespace Vesk {

namespace {

constexpr int kButtonPadding = 40;

// Start where pictures usually are, not in the program's own folder (the working directory start-up sets).
QString openFileDialog(QWidget* parent, const QString& caption, const QString& filter)
{
    QString start = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (start.isEmpty() || !QDir(start).exists())
        start = QDir::homePath();
    return QFileDialog::getOpenFileName(parent, caption, start, filter);
}

ProfileForm::AvatarChooser& replacedChooser()
{
    static ProfileForm::AvatarChooser chooser;
    return chooser;
}

} // namespace

void ProfileForm::setAvatarChooser(AvatarChooser chooser)
{
    replacedChooser() = std::move(chooser);
}

ProfileForm::AvatarChooser ProfileForm::avatarChooser()
{
    const AvatarChooser& chooser = replacedChooser();
    return chooser ? chooser : AvatarChooser(&openFileDialog);
}

bool ProfileForm::isNoName(const QString& name)
{
    const QString trimmed = name.trimmed();
    return trimmed.isEmpty() || trimmed.compare(QLatin1String("unknown"), Qt::CaseInsensitive) == 0;
}

ProfileForm::ProfileForm(const ProfileEditor& editor, QWizardPage* page, bool firstSetup) : QGroupBox(page)
{
    // The name above its field, the field the form's whole width: beside the picture button's column it was too
    // narrow for its own placeholder. The picture below, with its button beside it.
    auto* grid = new QGridLayout(this);
    grid->setColumnStretch(1, 1);

    auto* nameLabel = new QLabel(tr("Your Full Name"), this);
    grid->addWidget(nameLabel, 0, 0, 1, 2);
    m_nameEdit = new QLineEdit(this);
    m_nameEdit->setPlaceholderText(tr("Enter your full name here"));
    m_nameEdit->setMaxLength(kMaxNameLength);
    nameLabel->setBuddy(m_nameEdit);
    // Changing only the picture must not mean typing the name again.
    const QString alias = editor.userAlias();
    if (!isNoName(alias))
        m_nameEdit->setText(alias);
    grid->addWidget(m_nameEdit, 1, 0, 1, 2);
    // A disabled Next or Done button alone does not tell what it waits for.
    m_nameHint = new QLabel(tr("Type a name to continue: it is how others on the network see you."), this);
    m_nameHint->setWordWrap(true);
    m_nameHint->setObjectName(QStringLiteral("hint"));
    grid->addWidget(m_nameHint, 2, 0, 1, 2);
    connect(m_nameEdit, &QLineEdit::textChanged, this, &ProfileForm::updateNameHint);

    // On first setup there is no picture to replace yet: the same words read differently there.
    m_chooseButton = new QPushButton(
        firstSetup ? tr("Choose new picture...", "first setup, no picture yet") : tr("Choose new picture..."), this);
    // Styled padding is not part of the button's size hint: room for the words is made here.
    m_chooseButton->setMinimumWidth(m_chooseButton->fontMetrics().horizontalAdvance(m_chooseButton->text()) +
                                    kButtonPadding);
    grid->addWidget(m_chooseButton, 3, 1, Qt::AlignLeft | Qt::AlignVCenter);
    m_pictureLabel = new QLabel(this);
    m_pictureLabel->setMinimumSize(kPictureSide, kPictureSide);
    m_pictureLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(m_pictureLabel, 3, 0);
    connect(m_chooseButton, &QPushButton::clicked, this, &ProfileForm::chooseRequested);

    // Holds the chosen path for the wizard's fields; never shown.
    m_avatarPathEdit = new QLineEdit(this);
    m_avatarPathEdit->setVisible(false);

    QString current = editor.userAvatar();
    if (current.startsWith(QLatin1String("qrc")))
        current = current.mid(3);
    showPicture(current);
    updateNameHint();
}

void ProfileForm::updateNameHint()
{
    m_nameHint->setVisible(m_nameEdit->text().trimmed().isEmpty());
}

void ProfileForm::chooseAvatar(QWidget* parent)
{
    const QString path = avatarChooser()(parent, tr("Choose your avatar"), tr("Images (*.png *.xpm *.jpg)"));
    if (path.isEmpty())
        return;
    m_avatarPathEdit->setText(path);
    showPicture(path);
}

void ProfileForm::showPicture(const QString& path)
{
    const QImage picture(path);
    if (picture.isNull()) {
        m_pictureLabel->clear();
        return;
    }
    // The square that will be stored and that peers will see in their round frames.
    m_pictureLabel->setPixmap(QPixmap::fromImage(Vesk::squareAvatar(picture, kPictureSide)));
}

} // namespace Vesk
