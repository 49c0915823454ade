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

ProfileForm::ProfileForm(const ProfileEditor& editor, QWizardPage* page) : QGroupBox(page)
{
    auto* grid = new QGridLayout(this);

    grid->addWidget(new QLabel(tr("Your Full Name"), this), 0, 0);
    m_nameEdit = new QLineEdit(this);
    m_nameEdit->setPlaceholderText(tr("Enter your full name here"));
    m_nameEdit->setMaxLength(kMaxNameLength);
    grid->addWidget(m_nameEdit, 0, 1);

    m_chooseButton = new QPushButton(tr("Choose new picture..."), this);
    grid->addWidget(m_chooseButton, 1, 0, Qt::AlignTop);
    m_pictureLabel = new QLabel(this);
    m_pictureLabel->setMinimumSize(kPictureSide, kPictureSide);
    m_pictureLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    grid->addWidget(m_pictureLabel, 1, 1);
    connect(m_chooseButton, &QPushButton::clicked, this, &ProfileForm::chooseRequested);

    // Holds the chosen path for the wizard's fields; never shown.
    m_avatarPathEdit = new QLineEdit(this);
    m_avatarPathEdit->setVisible(false);

    QString current = editor.userAvatar();
    if (current.startsWith(QLatin1String("qrc")))
        current = current.mid(3);
    showPicture(current);
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
