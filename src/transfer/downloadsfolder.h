#pragma once

#include <QObject>
#include <QString>

class QSettings;

namespace Vesk {

class Shell;
class Store;

// The folder received files go to: the user's choice, kept in the settings, else the default one in the documents.
// A folder is taken only when it can be made and written to; the ones chosen before are remembered, so that a file
// received there is still found. Opening the folder, a received file or a received folder goes through the desktop
// shell; when it fails, the sentence that tells the user why is given back for the caller to show.
class DownloadsFolder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DownloadsFolder)

public:
    static constexpr const char* kFolderKey = "downloadsFolder";
    // The folders chosen before, newest first.
    static constexpr const char* kEarlierFoldersKey = "earlierDownloadsFolders";
    static constexpr int kEarlierFoldersKept = 10;

    // defaultFolder ends with a separator.
    DownloadsFolder(QSettings& settings, const QString& defaultFolder, const Store& store, Shell& shell,
                    QObject* parent = nullptr);

    // Ends with a separator.
    QString path() const;
    // As the user reads a path: native separators, and the home folder as "~" where that is the custom.
    QString shown() const;
    // A received file's path: in the current folder, else in the earlier folder that still has it.
    QString filePath(const QString& name) const;
    // The path of a received file by its download id; empty when there is no such download.
    QString downloadedFilePath(const QString& fileId) const;
    // Makes the folder the downloads folder when it can be created and written to; else says why not and keeps
    // the old one.
    QString change(const QString& folder);

    // Each opens with the desktop's program for it and gives back what to tell the user when that failed; empty
    // when it opened, or when there was nothing to open.
    QString open() const;
    QString openFile(const QString& path) const;
    QString openReceivedFolder(const QString& folderId) const;

Q_SIGNALS:
    // Received files go to `folder` (ending with a separator) from now on.
    void changed(const QString& folder);

private:
    QSettings& m_settings;
    const QString m_defaultFolder;
    const Store& m_store;
    Shell& m_shell;
};

} // namespace Vesk
