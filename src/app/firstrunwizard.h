#pragma once

#include <QWizard>
#include <QWizardPage>

class QCheckBox;
class QTextEdit;

namespace Vesk {

class ProfileEditor;
class ProfileForm;

// Runs once, while no user name is stored: a greeting, the terms of use to accept, then the name and an
// optional picture. Nothing is stored before Finish.
class FirstRunWizard : public QWizard
{
    Q_OBJECT
    Q_DISABLE_COPY(FirstRunWizard)

public:
    enum PageId { TOAPageId = 0, IntroPageId = 1, ProfilePageId = 3, CompletionPageId = 4 };

    explicit FirstRunWizard(ProfileEditor& editor, QWidget* parent = nullptr);

    // The watermark stretched to a wizard's full height: its first and last rows are repeated above and below
    // it, so the side panel has no bare band however tall the wizard grows.
    static QPixmap sidePanel(int height);

protected:
    void resizeEvent(QResizeEvent* event) override;
};

class IntroPage : public QWizardPage
{
    Q_OBJECT
    Q_DISABLE_COPY(IntroPage)

public:
    explicit IntroPage(QWidget* parent = nullptr);
    int nextId() const override;
};

// The terms of use. Its texts are translation keys; the English translation carries the readable terms.
class TOAPage : public QWizardPage
{
    Q_OBJECT
    Q_DISABLE_COPY(TOAPage)

public:
    explicit TOAPage(QWidget* parent = nullptr);
    int nextId() const override;

    QCheckBox* acceptBox() const { return m_acceptBox; }
    QTextEdit* termsView() const { return m_termsView; }

private:
    QTextEdit* m_termsView = nullptr;
    QCheckBox* m_acceptBox = nullptr;
};

class ProfilePage : public QWizardPage
{
    Q_OBJECT
    Q_DISABLE_COPY(ProfilePage)

public:
    explicit ProfilePage(const ProfileEditor& editor, QWidget* parent = nullptr);
    int nextId() const override;
    // A name made only of spaces is no name.
    bool isComplete() const override;

    ProfileForm* form() const { return m_form; }

public Q_SLOTS:
    void chooseAvatar();

private:
    ProfileForm* m_form = nullptr;
};

class CompletionPage : public QWizardPage
{
    Q_OBJECT
    Q_DISABLE_COPY(CompletionPage)

public:
    explicit CompletionPage(ProfileEditor& editor, QWidget* parent = nullptr);
    int nextId() const override;
    // Finish: store the name and, when one was picked, the picture, and whether to start at login.
    bool validatePage() override;
    QCheckBox* startOnLoginBox() const { return m_startOnLoginBox; }

private:
    ProfileEditor& m_editor;
    QCheckBox* m_startOnLoginBox = nullptr;
};

} // namespace Vesk
