#pragma once

#include <QString>
#include <QtGlobal>

namespace Vesk {

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
    // One offered file; a shell may gather a peer's burst of offers into one notice with the count and total size.
    virtual void showOfferNotification(const QString& nodeId, qint64 fileSize, const QString& html)
    {
        Q_UNUSED(fileSize);
        showDownloadNotification(nodeId, html);
    }
    // A box that tells the user something without blocking the event loop.
    virtual void showNotice(const QString& title, const QString& text) = 0;

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
