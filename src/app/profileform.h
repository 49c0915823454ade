#pragma once

#include <QGroupBox>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QWizardPage;

namespace Vesk {

// What the profile form reads and where a finished profile goes (the controller in the program).
class ProfileEditor
{
public:
    virtual ~ProfileEditor() = default;
    virtual QString userAlias() const = 0;
    virtual QString userAvatar() const = 0;
    virtual void storeProfile(const QString& name, const QString& avatarPath) = 0;
    // Whether the program starts when the user logs in; the first-run wizard asks.
    virtual void runOnStartup(bool run) = 0;
};

// The name and picture block shared by the first-run profile page and the in-app profile page: the mandatory
// name field, the current picture, the button that picks a new one and the hidden field that remembers the
// picked path. Nothing is stored until the wizard finishes (storeProfile).
class ProfileForm : public QGroupBox
{
    Q_OBJECT
    Q_DISABLE_COPY(ProfileForm)

public:
    static constexpr int kPictureSide = 100;
    static constexpr int kMaxNameLength = 64;

    // Asks the user for a picture file; returns an empty path when cancelled. Replaceable so tests can answer
    // instead of a modal file dialog.
    using AvatarChooser = std::function<QString(QWidget* parent, const QString& caption, const QString& filter)>;
    static void setAvatarChooser(AvatarChooser chooser);
    static AvatarChooser avatarChooser();

    // The form starts with the stored name and picture; on first setup there is neither, and it says so.
    ProfileForm(const ProfileEditor& editor, QWizardPage* page, bool firstSetup);

    // Whether a name stands for "no name yet": empty, blank, or the placeholder "unknown" in any letter case.
    static bool isNoName(const QString& name);

    // Opens the picture chooser with the page as parent; a cancelled choice changes nothing.
    void chooseAvatar(QWidget* parent);

    QLineEdit* nameEdit() const { return m_nameEdit; }
    QLineEdit* avatarPathEdit() const { return m_avatarPathEdit; }
    QLabel* pictureLabel() const { return m_pictureLabel; }
    QPushButton* chooseButton() const { return m_chooseButton; }
    QLabel* nameHint() const { return m_nameHint; }

Q_SIGNALS:
    void chooseRequested();

private:
    void showPicture(const QString& path);
    void updateNameHint();

    QLineEdit* m_nameEdit = nullptr;
    QLineEdit* m_avatarPathEdit = nullptr;
    QLabel* m_pictureLabel = nullptr;
    QPushButton* m_chooseButton = nullptr;
    QLabel* m_nameHint = nullptr;
};

} // namespace Vesk
