#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QSettings;
class QWidget;

namespace Vesk {

// The system's dialogs the interface opens through the controller: picking files or a folder to send, starting
// where the user last picked from (or their home folder, never the program's own), a question, a note. Texts are
// shown as plain text: they may carry names a peer chose, which must never be read as markup.
class UserDialogs
{
    Q_DISABLE_COPY(UserDialogs)

public:
    static constexpr const char* kLastFolderKey = "lastFilesFolder";

    explicit UserDialogs(QSettings& settings);

    // Empty when the user cancelled.
    QStringList chooseFiles(const QString& title);
    QString chooseFolder(const QString& title);

    // The button that goes ahead says what it does; Cancel is the default.
    static bool confirmed(const QString& title, const QString& text, const QString& verb);
    // Nothing for an empty text.
    static void tell(const QString& text, QMessageBox::Icon icon = QMessageBox::Information,
                     const QString& title = QStringLiteral("Vesk"), QWidget* parent = nullptr);

private:
    QString startFolder() const;
    void remember(const QString& picked);

    QSettings& m_settings;
};

} // namespace Vesk
