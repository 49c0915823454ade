// The folder received files go to: the user's choice, kept in the settings, or the documents' VeskDownloads.
#include "app/globals.h"

#include "app/platform.h"
#include "app/veskqmlviewer.h"
#include "transfer/downloadengine.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryFile>

namespace Vesk {

namespace {
constexpr const char* kDownloadsFolderKey = "downloadsFolder";
// Folders chosen before, newest first: files received there are still found from the list of received files.
constexpr const char* kEarlierFoldersKey = "earlierDownloadsFolders";
constexpr int kEarlierFoldersKept = 10;
} // namespace

QString Globals::downloadsFolder() const
{
    const QString chosen = settings->value(QLatin1String(kDownloadsFolderKey)).toString();
    return chosen.isEmpty() ? downloadsFolderPath() : chosen;
}

QString Globals::downloadsFolderShown() const
{
    QString shown = QDir::cleanPath(QDir::fromNativeSeparators(downloadsFolder()));
#ifndef Q_OS_WIN
    // A long home path would push the part that tells the folders apart out of sight.
    const QString home = QDir::homePath() + QLatin1Char('/');
    if (shown.startsWith(home))
        shown = QStringLiteral("~/") + shown.mid(home.size());
#endif
    return QDir::toNativeSeparators(shown);
}

QString Globals::downloadedFilePath(const QString& name) const
{
    const QString current = downloadsFolder() + name;
    if (name.isEmpty() || QFileInfo::exists(current))
        return current;
    for (const QString& earlier : settings->value(QLatin1String(kEarlierFoldersKey)).toStringList())
        if (QFileInfo::exists(earlier + name))
            return earlier + name;
    return current;
}

QString Globals::setDownloadsFolder(const QString& folder)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(folder.trimmed()));
    const QString shown = QDir::toNativeSeparators(clean);
    if (clean.isEmpty() || QDir::isRelativePath(clean))
        return tr("“%1” is not a full folder path.").arg(shown);
    if (!QDir().mkpath(clean) || !QFileInfo(clean).isDir())
        return tr("Vesk could not create the folder %1.").arg(shown);
    // Permissions alone do not tell (a read-only disk, a full one): a file actually made there does.
    QTemporaryFile probe(clean + QStringLiteral("/.vesk-write-test-XXXXXX"));
    if (!probe.open() || probe.write("x", 1) != 1)
        return tr("Vesk cannot save files in the folder %1.").arg(shown);
    probe.close();

    const QString chosen = QDir::toNativeSeparators(clean + QLatin1Char('/'));
    const QString old = downloadsFolder();
    if (chosen == old)
        return {};
    QStringList earlier = settings->value(QLatin1String(kEarlierFoldersKey)).toStringList();
    earlier.removeAll(chosen);
    earlier.removeAll(old);
    earlier.prepend(old);
    settings->setValue(QLatin1String(kEarlierFoldersKey), earlier.mid(0, kEarlierFoldersKept));
    settings->setValue(QLatin1String(kDownloadsFolderKey), chosen);
    settings->sync();
    m_engine->setDownloadsFolder(chosen);
    Q_EMIT downloadsFolderChanged();
    return {};
}

void Globals::chooseDownloadsFolder()
{
    const QString folder =
        QFileDialog::getExistingDirectory(m_shell->mainWindow(), tr("Choose where received files go"),
                                          QDir::cleanPath(QDir::fromNativeSeparators(downloadsFolder())));
    if (folder.isEmpty())
        return;
    const QString problem = setDownloadsFolder(folder);
    if (problem.isEmpty())
        return;
    QMessageBox box(
        QMessageBox::Warning, tr("Downloads folder not changed"),
        QString(problem + QLatin1Char(' ') + tr("Received files still go to %1.").arg(downloadsFolderShown())),
        QMessageBox::Ok, m_shell->mainWindow());
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace Vesk
