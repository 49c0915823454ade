#pragma once

#include "app/offerburst.h"

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

namespace Vesk {

// Notices through the desktop's own notification service (org.freedesktop.Notifications on the session bus), where
// one runs: they look like every other program's notices, stack and expire as the desktop decides, and offer the
// actions as buttons. Each peer has at most one notice of each kind on screen: a new message or offer from that
// peer updates it in place (replaces_id) rather than stacking a second one. Where no service owns the name, every
// call returns false and the caller shows its own popup instead. The service may come and go while the program
// runs (a panel restarted); the bus tells when, and the next notice follows.
class DesktopNotices : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DesktopNotices)

public:
    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    static constexpr const char* kInterface = "org.freedesktop.Notifications";
    // Action keys; "default" is what the service sends when the notice itself is clicked.
    static constexpr const char* kReplyAction = "reply";
    static constexpr const char* kDownloadAction = "download";
    static constexpr const char* kDefaultAction = "default";
    // Lines of a chat burst kept in one notice: the newest, as the earlier ones have had their moment.
    static constexpr int kMaxLines = 5;

    enum class Kind { Chat, Offers };

    explicit DesktopNotices(const QDBusConnection& bus, QObject* parent = nullptr);

    // Whether a notification service owns its name on the bus right now.
    bool available() const { return m_available; }
    // The picture the notices carry as the program's icon (a file path, since the service runs in another process).
    void setAppIcon(const QString& path) { m_appIcon = path; }

    // One more chat line (html, as the popups take it) from the peer; false when no service runs.
    bool addMessage(const QString& nodeId, const QString& alias, const QString& picture, const QString& html);
    // One more offered file or folder; the notice says who offers what ("Ann offers a.pdf and 2 more", with the
    // files and their size below).
    bool addOffer(const QString& nodeId, const QString& alias, const QString& picture, const OfferedItem& item);
    // Takes the peer's chat notice off the screen (its conversation is open now).
    void dismissChat(const QString& nodeId);

Q_SIGNALS:
    void availableChanged();
    // The user asked, on a notice, to see the conversation with the peer ("Reply", or a click on the notice).
    void conversationRequested(const QString& nodeId);
    // The user asked, on an offers notice, for the peer's waiting files.
    void downloadRequested(const QString& nodeId);

private Q_SLOTS:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

private:
    struct Notice
    {
        uint id = 0;          // the service's id, 0 until it answered
        bool pending = false; // a Notify call is on its way
        bool dirty = false;   // changed while it was: send again with the id it returns
        QString nodeId, alias, picture;
        QStringList lines;
        OfferBurst offers;
    };
    using Key = QPair<QString, int>; // node id (lower case), kind

    void setAvailable(bool available);
    Notice& noticeFor(const QString& nodeId, Kind kind, const QString& alias, const QString& picture);
    void addLine(Notice& notice, const QString& html);
    void send(const Key& key);
    void forget(uint id);

    QDBusConnection m_bus;
    bool m_available = false;
    bool m_markup = false; // the service renders a little markup in the body, so text must be escaped for it
    QString m_appIcon;
    QHash<Key, Notice> m_notices;
};

} // namespace Vesk
