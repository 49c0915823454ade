#pragma once

#include <QWizard>
#include <QWizardPage>

namespace Vesk {

class ProfileEditor;
class ProfileForm;

// Changes the name and picture later, from the interface. The name field starts empty: the user types the name
// again even to change only the picture.
class VeskProfileWizard : public QWizard
{
    Q_OBJECT
    Q_DISABLE_COPY(VeskProfileWizard)

public:
    enum PageId { InAppProfilePageId = 0 };

    explicit VeskProfileWizard(ProfileEditor& editor, QWidget* parent = nullptr);

protected:
    void resizeEvent(QResizeEvent* event) override;
};

class InAppProfilePage : public QWizardPage
{
    Q_OBJECT
    Q_DISABLE_COPY(InAppProfilePage)

public:
    explicit InAppProfilePage(ProfileEditor& editor, QWidget* parent = nullptr);
    bool isComplete() const override;
    // Finish: store the name and, when one was picked, the picture.
    bool validatePage() override;

    ProfileForm* form() const { return m_form; }

public Q_SLOTS:
    void chooseAvatar();

private:
    ProfileEditor& m_editor;
    ProfileForm* m_form = nullptr;
};

} // namespace Vesk
