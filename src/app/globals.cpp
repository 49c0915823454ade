#include "app/globals.h"

#include "app/avatarimage.h"
#include "app/platform.h"
#include "app/veskprofilewizard.h"
#include "net/capabilityprobe.h"
#include "net/messagedispatcher.h"
#include "peers/peersecurity.h"
#include "net/peermanager.h"
#include "peers/chat.h"
#include "peers/nodeidentity.h"
#include "peers/peerrecords.h"
#include "peers/peerrefresh.h"
#include "store/database.h"
#include "store/store.h"
#include "store/transferlists.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/downloadengine.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"
#include "transfer/packetserver.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QSettings>
#include <QSqlQuery>

namespace Vesk {

namespace {
constexpr const char* kUserAliasKey = "userAlias";
constexpr const char* kRunOnStartupKey = "runOnStartup";
constexpr const char* kOwnAvatarFile = "myavatar.png";
constexpr const char* kBuiltInAvatar = "qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png";
constexpr int kAvatarSide = 256;
constexpr qint64 kSecondsRemainingHysteresis = 5;
constexpr int kSecondIconUpdateDelayMs = 5000;
constexpr const char* kDeliveredKey = "deliveredFiles";
constexpr int kDeliveredKept = 500;
} // namespace

Globals* Globals::instance()
{
    static Globals* globals = new Globals(); // never destroyed: peers, models and timers live as long as the process
    return globals;
}

Globals::Globals()
{
    setAppName(QStringLiteral("Vesk"));
    settings = new QSettings(QStringLiteral("Tavimor"), QStringLiteral("Vesk"), this);
    localAddress = QHostAddress(QHostAddress::LocalHost).toString();
    m_identity = std::make_unique<NodeIdentity>(*settings, machineGuid());
    connect(m_identity.get(), &NodeIdentity::idChanged, this, &Globals::nodeIdChanged);
    m_refresh = std::make_unique<PeerRefresh>(m_clock, m_random);
    connect(m_refresh.get(), &PeerRefresh::refreshDue, this, &Globals::refreshPeers);

    m_server.listen();

    connect(this, &Globals::readyToProcessNextFileQueueItem, this, &Globals::processNextFileQueueItem,
            Qt::QueuedConnection);
    connect(this, &Globals::newMessage, this, &Globals::processMessage, Qt::QueuedConnection);
    connect(&m_server.tcpServer, &QTcpServer::newConnection, this, &Globals::newTCPConnection, Qt::QueuedConnection);
    connect(&m_server, &MessageServer::parametersRead, this, &Globals::newMessage, Qt::QueuedConnection);
    connect(this, &Globals::readyToDownloadNextFile, this, &Globals::downloadNextFile, Qt::QueuedConnection);

    initDatabase();
    registerMessageHandlers();
    importAccountPicture();
    addNodeFromUDP(hostId(), localAddress, osName(), userAlias());
}

Globals::~Globals() = default;

QString Globals::hostId() const
{
    return m_identity->id();
}

void Globals::initDatabase()
{
    const QString dataFolder = dataFolderPath();
    m_store = std::make_unique<Store>(Database::open(dataFolder, &m_interruptedDownloads), m_clock);
    nodeData = m_store->nodeData;
    nodesProxyData = m_store->nodesProxyData;
    uploadsData = m_store->uploadsData;
    pausedDownloads = m_store->pausedDownloads;
    queuedDownloads = m_store->queuedDownloads;
    completedDownloads = m_store->completedDownloads;
    chatsModel = m_store->chatsModel;
    transferLists = new TransferLists(*m_store, m_store.get());

    Store& store = *m_store;
    m_shell = std::make_unique<DesktopShell>(*settings, store, m_random);
    connectShell();
    m_peers = std::make_unique<PeerRecords>(store, m_sendQueue, m_clock, *this, dataFolder);
    startSecurity(dataFolder);
    m_chat = std::make_unique<Chat>(store, m_sendQueue, m_clock, *this, *m_shell);
    m_packets = std::make_unique<PacketServer>(store, m_sendQueue, m_frames, m_clock);
    m_outgoing = std::make_unique<OutgoingOffers>(store, m_sendQueue, m_clock, *this, *m_shell, *this, *m_packets);
    m_engine = std::make_unique<DownloadEngine>(store, m_sendQueue, m_frames, m_clock, *m_shell, downloadsFolder());
    m_incoming = std::make_unique<IncomingOffers>(store, m_sendQueue, m_clock, *m_shell, *m_engine);
    connectSubsystems();
}

void Globals::connectShell()
{
    DesktopShell* shell = m_shell.get();
    connect(this, &Globals::updateAppIconsSignal, shell, &DesktopShell::updateAppIcons, Qt::QueuedConnection);
    connect(shell, &DesktopShell::showNoticesChanged, this, &Globals::showNoticesChanged);
    connect(shell, &DesktopShell::asksBeforeClosingChanged, this, &Globals::askBeforeClosingChanged);
    connect(shell, &DesktopShell::opensDownloadsAutomaticallyChanged, this,
            &Globals::automaticallyOpenDownloadedFilesChanged);
    connect(shell, &DesktopShell::currentTabChanged, this, &Globals::currentSelectedTabIndexChanged);
    connect(shell, &DesktopShell::conversationPeerChanged, this, &Globals::currentSelectedChatPeerChanged);
    connect(shell, &DesktopShell::conversationRequested, this, &Globals::setCurrentSelectedChatPeer);
    connect(shell, &DesktopShell::conversationSeen, this, &Globals::setCurrentSelectedChatPeer);
    connect(shell, &DesktopShell::downloadAllRequested, this, &Globals::downloadAllPending);
    connect(shell, &DesktopShell::downloadsFromRequested, this, &Globals::downloadPendingFrom);
    connect(shell, &DesktopShell::filesDroppedOnConversation, this, &Globals::offerFilesToPeer);
}

void Globals::countsChanged()
{
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT updateAppIconsSignal();
}

void Globals::connectSubsystems()
{
    connect(m_chat.get(), &Chat::unreadCountChanged, this, [this] {
        Q_EMIT totalNumberOfUnReadMessagesChanged();
        Q_EMIT updateAppIconsSignal();
    });
    connect(m_outgoing.get(), &OutgoingOffers::selectedFilesCountChanged, this, &Globals::selectedFilesCountChanged);
    connect(m_outgoing.get(), &OutgoingOffers::selectedPeersCountChanged, this, &Globals::selectedPeersCountChanged);
    connect(m_outgoing.get(), &OutgoingOffers::pendingCountChanged, this, &Globals::countsChanged);
    connect(m_incoming.get(), &IncomingOffers::selectedFilesCountChanged, this, &Globals::selectedFilesCountChanged);
    connect(m_incoming.get(), &IncomingOffers::pendingCountChanged, this, &Globals::countsChanged);
    connect(m_engine.get(), &DownloadEngine::pendingCountChanged, this, &Globals::countsChanged);
    connect(m_engine.get(), &DownloadEngine::currentDownloadingFileIdChanged, this,
            &Globals::currentDownloadingFileIdChanged);
    connect(m_engine.get(), &DownloadEngine::currentDownloadFileSizeChanged, this,
            &Globals::currentDownloadFileSizeChanged);
    // Presence: a peer nobody answers for is offline; one that confirms us again gets what waited for it.
    connect(&m_sendQueue, &SendQueue::unreachable, m_peers.get(), &PeerRecords::markUnreachable, Qt::QueuedConnection);
    connect(m_peers.get(), &PeerRecords::peerCameOnline, this, [this](const QString& nodeId) {
        m_chat->resendAllTo(nodeId);
        m_engine->ownerCameOnline(nodeId);
    });
    // The owner's upload row goes once the peer has the file, so the history of what was delivered lives in the
    // settings store, where it survives a restart.
    m_deliveredFiles = settings->value(QLatin1String(kDeliveredKey)).toList();
    connect(m_outgoing.get(), &OutgoingOffers::delivered, this, [this](const QString& nodeTo, const QString& name) {
        m_deliveredFiles.prepend(QVariantMap{{QStringLiteral("fileName"), name},
                                             {QStringLiteral("nodeTo"), nodeTo},
                                             {QStringLiteral("alias"), getAliasForNode(nodeTo)},
                                             {QStringLiteral("at"), m_clock.nowMs()}});
        while (m_deliveredFiles.size() > kDeliveredKept)
            m_deliveredFiles.removeLast();
        settings->setValue(QLatin1String(kDeliveredKey), m_deliveredFiles);
        Q_EMIT deliveredFilesChanged();
    });
}

void Globals::nodeIdChanged(const QString& oldId)
{
    // The row of the old id was this node's; from now on that id is the other computer's, which announces
    // itself again (or, if it changed its id too, is gone for good rather than left as a ghost).
    nodeData->deleteRecord(kPeersTable, oldId);
    m_store->setPeerQueries(hostId());
    // A new id comes with a new identity key: two installations made from one disk must not share one.
    if (m_security)
        m_security->renewIdentity();
    Q_EMIT hostIdChanged();
    addNodeFromUDP(hostId(), localAddress, osName(), userAlias());
    requestAvatar(hostId());
    if (peerManager)
        peerManager->reBroadCastMyself();
}

void Globals::importAccountPicture()
{
    // Until the user picks a picture, the account's own picture stands for them. Without one the default is a
    // resource URL, which no image loader takes: nothing to import then, and nothing to log.
    if (QFileInfo::exists(dataFolderPath() + QLatin1String(kOwnAvatarFile)))
        return;
    const QString accountPicture = defaultAvatarPath();
    if (!accountPicture.startsWith(QLatin1String("qrc:")))
        setUserAvatar(accountPicture);
}

void Globals::init()
{
    Q_EMIT readyToProcessNextFileQueueItem();
    m_store->setPeerQueries(hostId());
    requestAvatar(hostId());

    // From here on each subsystem runs its own rounds: progress ticks, resends, withdrawals, presence checks and
    // the peer refreshes.
    m_engine->start();
    m_chat->start();
    m_outgoing->start();
    m_incoming->start();
    m_peers->start();
    m_refresh->start();
    // The start-up reset made the downloads queued at the stop wait for the user; unless the user asked for that,
    // they go on by themselves, each from its bytes on disk.
    if (resumeInterruptedDownloads())
        m_engine->resumeInterrupted(m_interruptedDownloads);
    m_interruptedDownloads.clear();

    setCurrentSelectedTabIndex(0);
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT totalNumberOfUnReadMessagesChanged();
    Q_EMIT updateAppIconsSignal();
    QTimer::singleShot(kSecondIconUpdateDelayMs, this, &Globals::updateAppIconsSignal);
}

// --- properties ---------------------------------------------------------------------------------------------

bool Globals::startOnLogin() const
{
    return settings->value(QLatin1String(kRunOnStartupKey), false).toBool();
}

bool Globals::resumeInterruptedDownloads() const
{
    return settings->value(QLatin1String(kResumeKey), true).toBool();
}

void Globals::setNumberOfSecondsRemainingForCurrentDownload(qint64 seconds)
{
    // Small changes are ignored so the estimate on screen does not flicker every tick.
    if (qAbs(seconds - m_secondsRemaining) < kSecondsRemainingHysteresis)
        return;
    m_secondsRemaining = seconds;
    Q_EMIT numberOfSecondsRemainingForCurrentDownloadChanged();
}

void Globals::setAppName(const QString& name)
{
    if (name == m_appName)
        return;
    m_appName = name;
    Q_EMIT appNameChanged();
}

QString Globals::userAlias() const
{
    return settings->value(QLatin1String(kUserAliasKey), QStringLiteral("unknown")).toString();
}

void Globals::setUserAlias(QString userAlias)
{
    settings->setValue(QLatin1String(kUserAliasKey), userAlias);
    settings->sync();
    Q_EMIT userAliasChanged();
}

QString Globals::osName() const
{
    return ::osName();
}

QString Globals::userAvatar() const
{
    const QString path = dataFolderPath() + QLatin1String(kOwnAvatarFile);
    if (QFileInfo::exists(path))
        return QFileInfo(path).absoluteFilePath();
    return QString::fromLatin1(kBuiltInAvatar);
}

void Globals::setUserAvatar(const QString& imagePath)
{
    QImage image;
    if (!image.load(imagePath)) {
        qCritical().noquote() << "Could not load image at " + imagePath;
        return;
    }
    const QString target = dataFolderPath() + QLatin1String(kOwnAvatarFile);
    const QImage scaled = squareAvatar(image, kAvatarSide);
    if (!scaled.save(target, "PNG")) {
        qCritical().noquote() << "Could not save image at " + target;
        return;
    }
    Q_EMIT userAvatarChanged();
}

QString Globals::tempAvatarPath() const
{
    return m_tempAvatarPath.isEmpty() ? getAvatarForNode(hostId()) : m_tempAvatarPath;
}

void Globals::storeProfile(const QString& name, const QString& avatarPath)
{
    setUserAlias(name.trimmed());
    if (!avatarPath.isEmpty())
        setUserAvatar(avatarPath);
}

void Globals::setTempAvatarPath(const QString& path)
{
    m_tempAvatarPath = path;
    Q_EMIT tempAvatarPathChanged();
}

// --- small operations ---------------------------------------------------------------------------------------

void Globals::chooseAvatar()
{
    setTempAvatarPath(QFileDialog::getOpenFileName(nullptr, QStringLiteral("choose avatar")));
}

void Globals::launchProfileWizard()
{
    VeskProfileWizard wizard(*this, nullptr);
    if (wizard.exec() != QDialog::Accepted)
        return;
    // The wizard stored the name and picture; the own row follows as after a change from the interface, and the
    // new name is announced at once instead of at the next hourly refresh.
    m_peers->refreshOwnPeerRow();
    if (peerManager)
        peerManager->reBroadCastMyself();
}

void Globals::toggleResumeInterruptedDownloads()
{
    settings->setValue(QLatin1String(kResumeKey), !resumeInterruptedDownloads());
    settings->sync();
    Q_EMIT resumeInterruptedDownloadsChanged();
}

void Globals::runOnStartup(bool run)
{
    settings->setValue(QLatin1String(kRunOnStartupKey), run);
    settings->sync();
    if (!Platform::registerStartOnLogin(run, QCoreApplication::applicationFilePath()))
        qCritical().noquote() << "Could not update the start-on-login entry" << Platform::autostartEntryPath();
    Q_EMIT startOnLoginChanged();
}

void Globals::toggleStartOnLogin()
{
    runOnStartup(!startOnLogin());
}

namespace {

// Asked for by a click: a click that does nothing would leave the user guessing. Plain text, since a file's name
// came from a peer.
void tellCouldNotOpen(const QString& text)
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Vesk"), text, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

void Globals::openDownloadedFilesFolder()
{
    const QString folder = QDir::fromNativeSeparators(downloadsFolder());
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        tellCouldNotOpen(tr("Vesk could not show the folder %1: no file manager is set up on this computer.")
                             .arg(QDir::toNativeSeparators(QDir::cleanPath(folder))));
}

void Globals::openDownloadedFile(QString fileName)
{
    const QFileInfo file(fileName);
    if (!file.isFile()) {
        tellCouldNotOpen(tr("%1 is no longer in your downloads folder.").arg(file.fileName()));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(fileName)))
        tellCouldNotOpen(tr("Vesk could not open %1: no program on this computer is set up to open this kind of "
                            "file. It is in your downloads folder, %2.")
                             .arg(file.fileName(), QDir::toNativeSeparators(file.absolutePath())));
}

void Globals::openDownloadedFolder(QString folderId)
{
    QSqlQuery q(m_store->database());
    q.prepare(QStringLiteral("select localname from vesk_folders where id = ? and direction = 'down'"));
    q.addBindValue(folderId);
    const QString name = q.exec() && q.next() ? q.value(0).toString() : QString();
    if (name.isEmpty())
        return;
    // The name of a folder made under the downloads folder: one path component, never a way out of it.
    if (name != QFileInfo(name).fileName() || name == QLatin1String("..") || name == QLatin1String(".")) {
        qCritical().noquote() << QStringLiteral("A received folder has an unusable name: ") + name;
        return;
    }
    const QString path = downloadedFilePath(name);
    if (!QFileInfo(path).isDir()) {
        tellCouldNotOpen(tr("%1 is no longer in your downloads folder.").arg(name));
        return;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        tellCouldNotOpen(tr("Vesk could not show the folder %1: no file manager is set up on this computer.")
                             .arg(QDir::toNativeSeparators(path)));
}

void Globals::messageBox(QString title, QString description)
{
    QMessageBox box(QMessageBox::Information, title, description, QMessageBox::Ok);
    box.exec();
}

void Globals::shutDown()
{
    m_shell->quit();
}

// --- timers -------------------------------------------------------------------------------------------------

void Globals::refreshPeersTimeout()
{
    m_refresh->refreshTimeout();
}

void Globals::detectWakeUpFromSleepTimeout()
{
    m_refresh->wakeCheck();
}

} // namespace Vesk
