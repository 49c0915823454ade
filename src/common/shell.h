#pragma once

#include <QString>
#include <QtGlobal>

namespace Vesk {

// What one offer is of: a file, or a folder with the files in it.
struct OfferedItem
{
    QString name;         // as it is stored here, whatever the peer sent
    qint64 bytes = 0;     // the file's size, or all of the folder's
    int folderFiles = -1; // the folder's number of files; -1 for a file
    bool isFolder() const { return folderFiles >= 0; }
};

// What the subsystems ask of the desktop shell around them: popups, the download progress on the taskbar,
// opening a finished file, and a look at what the user has open. The controller implements it over its windows;
// tests record the calls.
class Shell
{
public:
    virtual ~Shell() = default;

    // Popups render rich text: callers escape every part a peer supplied (plainTextToHtml).
    virtual void showChatNotification(const QString& nodeId, const QString& html) = 0;
    virtual void showDownloadNotification(const QString& nodeId, const QString& html) = 0;
    // One offered file or folder. A shell may gather a peer's burst of offers, files and folders alike, into one
    // notice saying who offers what; html is the offer line, for a shell that shows each offer as it is.
    virtual void showOfferNotification(const QString& nodeId, const OfferedItem& item, const QString& html)
    {
        Q_UNUSED(item);
        showDownloadNotification(nodeId, html);
    }
    // A box that tells the user something without blocking the event loop.
    virtual void showNotice(const QString& title, const QString& text) = 0;
    // The same for a state that may end by itself (a download waiting for disk space): it takes the place of a
    // notice of the same key still open, rather than piling up beside it, and closeNotice(key) takes it away once
    // the state is over, so no box is left saying what is no longer so.
    virtual void showNotice(const QString& key, const QString& title, const QString& text) = 0;
    virtual void closeNotice(const QString& key) = 0;

    // Whether the user is looking at the conversation with this node right now.
    virtual bool isConversationOpen(const QString& nodeId) const = 0;
    // Brings a tab of the interface forward (the files to send, the transfers).
    virtual void showTab(int tabIndex) = 0;

    // Download progress on the taskbar or launcher; callers keep the update rate low.
    virtual void showProgress(qint64 have, qint64 wanted) = 0;
    virtual void hideProgress() = 0;

    // The user's choice whether finished downloads are opened by themselves, and opening a file or a folder with
    // the desktop's program for it: false when no program took it.
    virtual bool opensDownloadsAutomatically() const = 0;
    virtual bool openFile(const QString& path) = 0;
};

} // namespace Vesk
