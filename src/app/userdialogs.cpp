#include "app/userdialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>

namespace Vesk {

UserDialogs::UserDialogs(QSettings& settings) : m_settings(settings) {}

QString UserDialogs::startFolder() const
{
    const QString folder = m_settings.value(QLatin1String(kLastFolderKey)).toString();
    return folder.isEmpty() || !QFileInfo(folder).isDir() ? QDir::homePath() : folder;
}

void UserDialogs::remember(const QString& picked)
{
    m_settings.setValue(QLatin1String(kLastFolderKey), QFileInfo(picked).absolutePath());
}

QStringList UserDialogs::chooseFiles(const QString& title)
{
    const QStringList paths = QFileDialog::getOpenFileNames(nullptr, title, startFolder());
    if (!paths.isEmpty())
        remember(paths.first());
    return paths;
}

QString UserDialogs::chooseFolder(const QString& title)
{
    const QString folder = QFileDialog::getExistingDirectory(nullptr, title, startFolder());
    if (!folder.isEmpty())
        remember(folder);
    return folder;
}

bool UserDialogs::confirmed(const QString& title, const QString& text, const QString& verb)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Ok | QMessageBox::Cancel);
    box.setTextFormat(Qt::PlainText);
    box.button(QMessageBox::Ok)->setText(verb);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

void UserDialogs::tell(const QString& text, QMessageBox::Icon icon, const QString& title, QWidget* parent)
{
    if (text.isEmpty())
        return;
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace Vesk
