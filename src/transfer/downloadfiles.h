#pragma once

#include "store/tablerecord.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QtGlobal>

#include <memory>

class QSqlQuery;

namespace Vesk {

class Clock;
class Store;

// The files and folder trees the downloads write into, under the downloads folder and nowhere else. A separate
// file arrives under its partial name ("<name>.part") and takes its final name once complete; which name is decided
// at its first start: a numbered one when another download owns the name, else the offered one after an unrelated
// file of that name is moved aside. A received folder gets a tree of its own under a name free in the downloads
// folder, and its files go at their paths in that tree. When the downloads folder changes, what is not complete yet
// goes along.
class DownloadFiles
{
    Q_DISABLE_COPY(DownloadFiles)

public:
    // folder ends with a separator.
    DownloadFiles(Store& store, const Clock& clock, const QString& folder);
    ~DownloadFiles();

    QString folder() const { return m_folder; }
    // The final path of a download's file (empty for a name that would leave the folder), and the file that holds
    // its bytes until it is complete: "<name>.part", or an older version's partial file of the final name.
    QString finalPath(const TableRecord& download) const;
    QString localFile(const TableRecord& download) const;
    // A download's first start: decides the file it writes into and stores the name in its row. Returns the name
    // an older file of that name was given when it was kept aside (empty when none was in the way). For a folder's
    // file, `clear` (when given) tells whether neither its final nor its partial name holds a file now: its
    // partial file is made from nothing, without another look.
    QString start(const QString& id, const TableRecord& download, bool* clear = nullptr);
    // Renames a complete partial file to its final name (a numbered variant when that name was taken meanwhile);
    // returns where the file is now.
    QString giveFinalName(const QString& id, const TableRecord& download, const QString& local);
    // Removes the file of a started, incomplete download (its row about to go); a complete file stays.
    void removePartialFile(const TableRecord& download);

    // Chooses a name in the downloads folder for a received folder's tree: `name`, else "name (2)" and on, one that
    // nothing there has and no other received folder holds. Nothing is made until the user accepts the folder
    // (makeFolderTree). A null string when no name is free.
    QString takeFolderName(const QString& name) const;
    // The user accepted a received folder: its tree and its empty folders are made. A folder that appeared there
    // meanwhile and holds files is never merged into: the tree takes the next free name. A tree that holds none of
    // its files yet, or only this folder's, is its own.
    void makeFolderTree(const QString& folderId);

    // Received files go to another folder from now on (it ends with a separator). Started, incomplete separate
    // files take their partial file along, so they go on where they stopped; complete files stay where they are. A
    // folder not yet received whole moves as one tree, under a name free there.
    void moveTo(const QString& folder);

    // A folder of small files starts and completes dozens of files in one go, each of which needs its folder's
    // local name. Within such a run (no turn of the event loop, so no new offer of the folder, comes in between)
    // only this class renames a folder's tree: while a Batch lives, each folder's local name is read once, each file's
    // path worked out once, and each folder of the tree made once.
    class Batch
    {
        Q_DISABLE_COPY(Batch)

    public:
        explicit Batch(DownloadFiles& files) : m_files(files) { ++m_files.m_batches; }
        ~Batch()
        {
            if (--m_files.m_batches == 0) {
                m_files.m_localNames.clear();
                m_files.m_madeFolders.clear();
                m_files.m_filePaths.clear();
            }
        }

    private:
        DownloadFiles& m_files;
    };

private:
    QString folderLocalName(const QString& folderId) const;
    // `exceptId` is the received folder itself, when it has a row; the tree at `moveFrom`, when given, is moved
    // rather than an empty one made; with `make` false only the name is chosen.
    QString takeFolderName(const QString& folder, const QString& name, const QString& exceptId, const QString& moveFrom,
                           bool make = true) const;
    void moveFolderTrees(const QString& folder);
    QString folderFilePath(const TableRecord& download) const;
    QString startFolderFile(const QString& id, const TableRecord& download, bool* clear);
    QString giveFolderFileFinalName(const QString& id, const TableRecord& download, const QString& local);

    Store& m_store;
    const Clock& m_clock;
    QString m_folder;
    int m_batches = 0;
    mutable QHash<QString, QString> m_localNames; // by folder id, while a Batch lives
    QSet<QString> m_madeFolders;                  // while a Batch lives
    mutable QHash<QString, QString> m_filePaths;  // by folder id and path, while a Batch lives
    std::unique_ptr<QSqlQuery> m_setStarted;
};

} // namespace Vesk
