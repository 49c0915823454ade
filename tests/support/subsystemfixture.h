#pragma once

#include "common/clock.h"
#include "common/shell.h"
#include "net/messagesink.h"
#include "peers/localprofile.h"
#include "store/store.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace TestSupport {

// Records every message a subsystem sends instead of putting it on the wire.
class RecordingSink : public Vesk::MessageSink
{
public:
    struct Sent
    {
        QHostAddress address;
        Vesk::Parameters parameters;
        QString nodeId; // empty: sent to the address
        QString action() const { return parameters.value(QStringLiteral("action")).toString(); }
        QVariant value(const char* key) const { return parameters.value(QLatin1String(key)); }
    };

    void send(const QHostAddress& address, const Vesk::Parameters& parameters) override
    {
        sent.append({address, parameters, {}});
    }
    void sendTo(const QString& nodeId, const QHostAddress& address, const Vesk::Parameters& parameters) override
    {
        sent.append({address, parameters, nodeId});
    }
    void probe(const QHostAddress& address) override { probed.append(address); }

    QList<Sent> withAction(const QString& action) const;
    QStringList actions() const;
    // The given key of every message with that action, in order.
    QStringList values(const QString& action, const char* key) const;
    void clear() { sent.clear(); }

    QList<Sent> sent;
    QList<QHostAddress> probed;
};

// Records what a subsystem asks of the desktop shell.
class RecordingShell : public Vesk::Shell
{
public:
    struct Popup
    {
        QString nodeId, html;
    };

    void showChatNotification(const QString& nodeId, const QString& html) override
    {
        chatPopups.append({nodeId, html});
    }
    void showDownloadNotification(const QString& nodeId, const QString& html) override
    {
        downloadPopups.append({nodeId, html});
    }
    // Offers are recorded as what they offer, and as the line a plain shell shows.
    void showOfferNotification(const QString& nodeId, const Vesk::OfferedItem& item, const QString& html) override
    {
        offers.append(item);
        showDownloadNotification(nodeId, html);
    }
    void showNotice(const QString& title, const QString& text) override { notices.append(title + ": " + text); }
    void showNotice(const QString& key, const QString& title, const QString& text) override
    {
        showNotice(title, text);
        openNotices.insert(key, notices.last());
    }
    void closeNotice(const QString& key) override { openNotices.remove(key); }
    bool isConversationOpen(const QString& nodeId) const override { return nodeId == openConversation; }
    void showTab(int tabIndex) override { tabs.append(tabIndex); }
    void showProgress(qint64 have, qint64 wanted) override
    {
        progress.append(wanted > 0 ? have * 100 / wanted : 0);
        progressShown = true;
    }
    void hideProgress() override { progressShown = false; }
    bool opensDownloadsAutomatically() const override { return autoOpen; }
    bool openFile(const QString& path) override
    {
        opened.append(path);
        return opens;
    }

    QList<Popup> chatPopups, downloadPopups;
    QList<Vesk::OfferedItem> offers;
    QStringList notices, opened;
    QHash<QString, QString> openNotices; // the notices shown under a key and not closed yet, by key
    QList<int> tabs;
    QList<qint64> progress; // percent at each update
    bool progressShown = false;
    QString openConversation;
    bool autoOpen = true;
    bool opens = true; // whether the desktop has a program for what is opened
};

class FixedProfile : public Vesk::LocalProfile
{
public:
    QString hostId() const override { return id; }
    QString userAlias() const override { return alias; }
    QString userAvatar() const override { return avatar; }
    QString osName() const override { return os; }

    QString id = QStringLiteral("{00000000-0000-4000-8000-00000000000a}");
    QString alias = QStringLiteral("Alice");
    QString avatar = QStringLiteral("qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png");
    QString os = QStringLiteral("Test OS");
};

// What every subsystem test starts from: a fresh database in a temporary data folder, a downloads folder, the
// store over it, a clock that only moves when told, a recording sink and shell, and this node's profile. No
// port, tray, window or controller.
class SubsystemFixture
{
public:
    SubsystemFixture();
    ~SubsystemFixture();

    // Adds (or replaces) a peer row; the address defaults to 10.0.0.<n> by order of creation.
    QHostAddress addPeer(const QString& id, const QString& status = QStringLiteral("on"),
                         const QString& address = QString(), const QString& blocked = QStringLiteral("no"));
    // The peer a message went to, by its address.
    QString nodeAt(const QHostAddress& address) const;

    // Each ends with a separator.
    QString dataFolder() const { return dir.path() + QStringLiteral("/data/"); }
    QString downloadsFolder() const { return dir.path() + QStringLiteral("/downloads/"); }

    QTemporaryDir dir;
    Vesk::ManualClock clock;
    RecordingSink sink;
    RecordingShell shell;
    FixedProfile profile;
    std::unique_ptr<Vesk::Store> store;

private:
    int m_peers = 0;
};

} // namespace TestSupport
