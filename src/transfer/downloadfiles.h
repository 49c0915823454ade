#pragma once

#include "store/tablerecord.h"

#include <QString>
#include <QtGlobal>

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

    QString folder() const { return m_folder; }
    // The final path of a download's file (empty for a name that would leave the folder), and the file that holds
    // its bytes until it is complete: "<name>.part", or an older version's partial file of the final name.
    QString finalPath(const TableRecord& download) const;
    QString localFile(const TableRecord& download) const;
    // A download's first start: decides the file it writes into and stores the name in its row.
    void start(const QString& id, const TableRecord& download);
    // Renames a complete partial file to its final name (a numbered variant when that name was taken meanwhile);
    // returns where the file is now.
    QString giveFinalName(const QString& id, const TableRecord& download, const QString& local);
    // Removes the file of a started, incomplete download (its row about to go); a complete file stays.
    void removePartialFile(const TableRecord& download);

    // Takes a name in the downloads folder for a received folder's tree and makes the tree: `name`, else
    // "name (2)" and on, one that nothing there has and no other received folder holds. A folder already there is
    // never merged into. A null string when no name could be taken.
    QString takeFolderName(const QString& name) const;

    // Received files go to another folder from now on (it ends with a separator). Started, incomplete separate
    // files take their partial file along, so they go on where they stopped; complete files stay where they are. A
    // folder not yet received whole moves as one tree, under a name free there.
    void moveTo(const QString& folder);

private:
    // `exceptId` is the received folder itself, when it has a row; the tree at `moveFrom`, when given, is moved
    // rather than an empty one made.
    QString takeFolderName(const QString& folder, const QString& name, const QString& exceptId,
                           const QString& moveFrom) const;
    void moveFolderTrees(const QString& folder);
    QString folderFilePath(const TableRecord& download) const;
    void startFolderFile(const QString& id, const TableRecord& download);
    QString giveFolderFileFinalName(const QString& id, const TableRecord& download, const QString& local);

    Store& m_store;
    const Clock& m_clock;
    QString m_folder;
};

} // namespace Vesk
