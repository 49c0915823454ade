#include "transfer/downloadsfolder.h"

#include "common/shell.h"
#include "store/store.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

namespace Vesk {

DownloadsFolder::DownloadsFolder(QSettings& settings, const QString& defaultFolder, const Store& store, Shell& shell,
                                 QObject* parent)
    : QObject(parent), m_settings(settings), m_defaultFolder(defaultFolder), m_store(store), m_shell(shell)
{
}

QString DownloadsFolder::path() const
{
    const QString chosen = m_settings.value(QLatin1String(kFolderKey)).toString();
    return chosen.isEmpty() ? m_defaultFolder : chosen;
}

QString DownloadsFolder::shown() const
{
    QString shown = QDir::cleanPath(QDir::fromNativeSeparators(path()));
#ifndef Q_OS_WIN
    // A long home path would push the part that tells the folders apart out of sight.
    const QString home = QDir::homePath() + QLatin1Char('/');
    if (shown.startsWith(home))
        shown = QStringLiteral("~/") + shown.mid(home.size());
#endif
    return QDir::toNativeSeparators(shown);
}

QString DownloadsFolder::filePath(const QString& name) const
{
    const QString current = path() + name;
    if (name.isEmpty() || QFileInfo::exists(current))
        return current;
    for (const QString& earlier : m_settings.value(QLatin1String(kEarlierFoldersKey)).toStringList())
        if (QFileInfo::exists(earlier + name))
            return earlier + name;
    return current;
}

QString DownloadsFolder::downloadedFilePath(const QString& fileId) const
{
    const TableRecord download = m_store.downloadRecord(fileId);
    const QString name = download.isEmpty() ? QString() : download.value(QStringLiteral("filename"));
    return name.isEmpty() ? QString() : filePath(name);
}

QString DownloadsFolder::change(const QString& folder)
{
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(folder.trimmed()));
    const QString shownClean = QDir::toNativeSeparators(clean);
    if (clean.isEmpty() || QDir::isRelativePath(clean))
        return tr("“%1” is not a full folder path.").arg(shownClean);
    if (!QDir().mkpath(clean) || !QFileInfo(clean).isDir())
        return tr("Vesk could not create the folder %1.").arg(shownClean);
    // Permissions alone do not tell (a read-only disk, a full one): a file actually made there does.
    QTemporaryFile probe(clean + QStringLiteral("/.vesk-write-test-XXXXXX"));
    if (!probe.open() || probe.write("x", 1) != 1)
        return tr("Vesk cannot save files in the folder %1.").arg(shownClean);
    probe.close();

    const QString chosen = QDir::toNativeSeparators(clean + QLatin1Char('/'));
    const QString old = path();
    if (chosen == old)
        return {};
    QStringList earlier = m_settings.value(QLatin1String(kEarlierFoldersKey)).toStringList();
    earlier.removeAll(chosen);
    earlier.removeAll(old);
    earlier.prepend(old);
    m_settings.setValue(QLatin1String(kEarlierFoldersKey), earlier.mid(0, kEarlierFoldersKept));
    m_settings.setValue(QLatin1String(kFolderKey), chosen);
    m_settings.sync();
    Q_EMIT changed(chosen);
    return {};
}

QString DownloadsFolder::open() const
{
    const QString folder = QDir::fromNativeSeparators(path());
    if (m_shell.openFile(folder))
        return {};
    return tr("Vesk could not show the folder %1: no file manager is set up on this computer.")
        .arg(QDir::toNativeSeparators(QDir::cleanPath(folder)));
}

QString DownloadsFolder::openFile(const QString& path) const
{
    const QFileInfo file(path);
    if (!file.isFile())
        return tr("%1 is no longer in your downloads folder.").arg(file.fileName());
    if (m_shell.openFile(path))
        return {};
    return tr("Vesk could not open %1: no program on this computer is set up to open this kind of file. It is in "
              "your downloads folder, %2.")
        .arg(file.fileName(), QDir::toNativeSeparators(file.absolutePath()));
}

QString DownloadsFolder::openReceivedFolder(const QString& folderId) const
{
    const QString name = m_store.receivedFolderName(folderId);
    if (name.isEmpty())
        return {};
    // The name of a folder made under the downloads folder: one path component, never a way out of it.
    if (name != QFileInfo(name).fileName() || name == QLatin1String("..") || name == QLatin1String(".")) {
        qCritical().noquote() << QStringLiteral("A received folder has an unusable name: ") + name;
        return {};
    }
    const QString folder = filePath(name);
    if (!QFileInfo(folder).isDir())
        return tr("%1 is no longer in your downloads folder.").arg(name);
    if (m_shell.openFile(folder))
        return {};
    return tr("Vesk could not show the folder %1: no file manager is set up on this computer.")
        .arg(QDir::toNativeSeparators(folder));
}

} // namespace Vesk
