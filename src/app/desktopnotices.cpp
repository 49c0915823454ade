#include "app/desktopnotices.h"

#include "app/notificationdialog.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTextDocumentFragment>
#include <QVariantMap>

namespace Vesk {

Q_LOGGING_CATEGORY(lcNotices, "vesk.notices")

namespace {
// The service decides how long a notice stays.
constexpr int kServerTimeout = -1;
constexpr const char* kDesktopEntry = "vesk";

QString plainText(const QString& html)
{
    return QTextDocumentFragment::fromHtml(html).toPlainText().trimmed();
}
} // namespace

DesktopNotices::DesktopNotices(const QDBusConnection& bus, QObject* parent) : QObject(parent), m_bus(bus)
{
    if (!m_bus.isConnected())
        return;
    const QString service = QString::fromLatin1(kService);
    auto* watcher = new QDBusServiceWatcher(service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) { setAvailable(!newOwner.isEmpty()); });
    m_bus.connect(service, QString::fromLatin1(kPath), QString::fromLatin1(kInterface), QStringLiteral("ActionInvoked"),
                  this, SLOT(actionInvoked(uint, QString)));
    m_bus.connect(service, QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                  QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
    if (QDBusConnectionInterface* daemon = m_bus.interface())
        setAvailable(daemon->isServiceRegistered(service).value());
}

void DesktopNotices::setAvailable(bool available)
{
    // A service that went away took its notices with it; a new one knows none of our ids.
    m_notices.clear();
    m_markup = false;
    if (available) {
        const QDBusMessage call =
            QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                           QString::fromLatin1(kInterface), QStringLiteral("GetCapabilities"));
        auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusPendingReply<QStringList> reply = *w;
            m_markup = !reply.isError() && reply.value().contains(QStringLiteral("body-markup"));
        });
    }
    if (m_available == available)
        return;
    m_available = available;
    qCDebug(lcNotices) << "desktop notification service" << (available ? "found" : "gone");
    Q_EMIT availableChanged();
}

DesktopNotices::Notice& DesktopNotices::noticeFor(const QString& nodeId, Kind kind, const QString& alias,
                                                  const QString& picture)
{
    Notice& notice = m_notices[Key(nodeId.toLower(), int(kind))];
    notice.nodeId = nodeId;
    notice.alias = alias.trimmed().isEmpty() ? NotificationDialog::tr("Someone") : alias;
    notice.picture = picture;
    return notice;
}

void DesktopNotices::addLine(Notice& notice, const QString& html)
{
    notice.lines.append(plainText(html));
    while (notice.lines.size() > kMaxLines)
        notice.lines.removeFirst();
}

bool DesktopNotices::addMessage(const QString& nodeId, const QString& alias, const QString& picture,
                                const QString& html)
{
    if (!m_available)
        return false;
    addLine(noticeFor(nodeId, Kind::Chat, alias, picture), html);
    send(Key(nodeId.toLower(), int(Kind::Chat)));
    return true;
}

bool DesktopNotices::addOffer(const QString& nodeId, const QString& alias, const QString& picture,
                              const OfferedItem& item)
{
    if (!m_available)
        return false;
    noticeFor(nodeId, Kind::Offers, alias, picture).offers.add(item);
    send(Key(nodeId.toLower(), int(Kind::Offers)));
    return true;
}

void DesktopNotices::dismissChat(const QString& nodeId)
{
    const auto it = m_notices.constFind(Key(nodeId.toLower(), int(Kind::Chat)));
    if (it == m_notices.constEnd())
        return;
    const uint id = it->id;
    m_notices.erase(it);
    if (id == 0)
        return;
    m_bus.asyncCall(QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                                   QString::fromLatin1(kInterface), QStringLiteral("CloseNotification"))
                    << id);
}

void DesktopNotices::send(const Key& key)
{
    Notice& notice = m_notices[key];
    // The id of the notice to replace comes with the answer to the first call: until then changes wait, so a
    // quick burst never stacks two notices.
    if (notice.pending) {
        notice.dirty = true;
        return;
    }
    notice.pending = true;
    const bool chat = key.second == int(Kind::Chat);
    const QString summary = chat ? notice.alias : notice.offers.headline(notice.alias);
    QString body = chat ? notice.lines.join(QLatin1Char('\n')) : notice.offers.details();
    if (m_markup)
        body = body.toHtmlEscaped().replace(QLatin1Char('\n'), QLatin1String("<br/>"));
    const QStringList actions{chat ? QString::fromLatin1(kReplyAction) : QString::fromLatin1(kDownloadAction),
                              chat ? tr("Reply") : tr("Download"), QString::fromLatin1(kDefaultAction), tr("Show")};
    QVariantMap hints{{QStringLiteral("desktop-entry"), QString::fromLatin1(kDesktopEntry)},
                      {QStringLiteral("category"), chat ? QStringLiteral("im.received") : QStringLiteral("transfer")}};
    // The peer's picture shows who it is from; the service reads it from disk, so only a real file will do.
    if (QFileInfo(notice.picture).isFile())
        hints.insert(QStringLiteral("image-path"), QFileInfo(notice.picture).absoluteFilePath());

    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                                       QString::fromLatin1(kInterface), QStringLiteral("Notify"));
    call << QStringLiteral("Vesk") << notice.id << m_appIcon << summary << body << actions << hints << kServerTimeout;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, key](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        const auto it = m_notices.find(key);
        if (it == m_notices.end())
            return; // dismissed, or the service went away meanwhile
        it->pending = false;
        if (reply.isError())
            qCWarning(lcNotices) << "the notification service refused a notice:" << reply.error().message();
        else
            it->id = reply.value();
        if (it->dirty) {
            it->dirty = false;
            send(key);
        }
    });
}

void DesktopNotices::forget(uint id)
{
    for (auto it = m_notices.begin(); it != m_notices.end(); ++it) {
        if (it->id == id && id != 0) {
            m_notices.erase(it);
            return;
        }
    }
}

void DesktopNotices::actionInvoked(uint id, const QString& action)
{
    QString nodeId;
    for (auto it = m_notices.cbegin(); it != m_notices.cend(); ++it)
        if (it->id == id && id != 0)
            nodeId = it->nodeId;
    if (nodeId.isEmpty())
        return; // another program's notice: the signal goes to every listener on the bus
    // Whatever the user chose, this burst has been seen: the next message starts a fresh notice.
    forget(id);
    if (action == QLatin1String(kDownloadAction))
        Q_EMIT downloadRequested(nodeId);
    else if (action == QLatin1String(kReplyAction) || action == QLatin1String(kDefaultAction))
        Q_EMIT conversationRequested(nodeId);
}

void DesktopNotices::notificationClosed(uint id, uint reason)
{
    Q_UNUSED(reason)
    forget(id);
}

} // namespace Vesk
