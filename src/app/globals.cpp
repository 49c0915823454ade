#include "app/globals.h"

#include "app/avatarimage.h"
#include "app/platform.h"
#include "app/veskqmlviewer.h"
#include "core/core.h"
#include "net/othernetworkssettings.h"
#include "net/peermanager.h"
#include "peers/chat.h"
#include "peers/ownprofile.h"
#include "peers/peerrecords.h"
#include "peers/peerrefresh.h"
#include "peers/peersecurity.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/deliveredfiles.h"
#include "transfer/downloadengine.h"
#include "transfer/downloadsfolder.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QSettings>
#include <QSystemTrayIcon>

namespace Vesk {

namespace {
constexpr int kAvatarSide = 256;
constexpr int kSecondIconUpdateDelayMs = 5000;
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
    m_preferences = new Preferences(*settings, this);

    Core::Setup setup{dataFolderPath(), machineGuid(), ::osName(), downloadsFolderPath()};
    // Behaves as a program from before sealing, so the test rig can run such a peer beside sealed ones.
    setup.sealing = !qEnvironmentVariableIsSet("VESK_PLAIN_PEER");
    m_core = std::make_unique<Core>(*settings, setup, *this);
    m_store = &m_core->store();
    m_peers = &m_core->peerRecords();
    m_security = m_core->security();
    m_chat = &m_core->chat();
    m_outgoing = &m_core->outgoingOffers();
    m_engine = &m_core->downloadEngine();
    m_incoming = &m_core->incomingOffers();
    m_otherNetworks = new OtherNetworksSettings(
        *settings, [this] { return m_peers->storedAddresses(); },
        [this](const QString& at) { return m_peers->onlineAliasAt(at); }, this);
    m_refresh = std::make_unique<PeerRefresh>(m_core->clock(), m_random);
    connect(m_refresh.get(), &PeerRefresh::refreshDue, this, &Globals::refreshPeers);

    connect(this, &Globals::readyToProcessNextFileQueueItem, this, &Globals::processNextFileQueueItem,
            Qt::QueuedConnection);
    connect(this, &Globals::updateAppIconsSignal, this, &Globals::updateAppIcons, Qt::QueuedConnection);

    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/qml/Vesk/pics/Vesk.png")));

    connectCore();
    importAccountPicture();
    connectDesktopNotices();
}

Globals::~Globals() = default;

QString Globals::hostId() const
{
    return m_core->hostId();
}

void Globals::countsChanged()
{
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT updateAppIconsSignal();
}

void Globals::connectCore()
{
    connect(m_chat, &Chat::unreadCountChanged, this, [this] {
        Q_EMIT totalNumberOfUnReadMessagesChanged();
        Q_EMIT updateAppIconsSignal();
    });
    connect(m_outgoing, &OutgoingOffers::selectedFilesCountChanged, this, &Globals::selectedFilesCountChanged);
    connect(m_outgoing, &OutgoingOffers::selectedPeersCountChanged, this, &Globals::selectedPeersCountChanged);
    connect(m_outgoing, &OutgoingOffers::pendingCountChanged, this, &Globals::countsChanged);
    connect(m_incoming, &IncomingOffers::selectedFilesCountChanged, this, &Globals::selectedFilesCountChanged);
    connect(m_incoming, &IncomingOffers::pendingCountChanged, this, &Globals::countsChanged);
    connect(m_engine, &DownloadEngine::pendingCountChanged, this, &Globals::countsChanged);
    connect(m_engine, &DownloadEngine::currentDownloadingFileIdChanged, this,
            &Globals::currentDownloadingFileIdChanged);
    connect(m_engine, &DownloadEngine::currentDownloadFileSizeChanged, this, &Globals::currentDownloadFileSizeChanged);
    connect(m_engine, &DownloadEngine::estimateChanged, this, &Globals::downloadEstimateChanged);
    connect(m_engine, &DownloadEngine::estimateChanged, this, &Globals::numberOfSecondsRemainingForCurrentDownloadChanged);
    connect(&m_core->downloadsFolder(), &DownloadsFolder::changed, this, &Globals::downloadsFolderChanged);
    connect(&m_core->deliveredFiles(), &DeliveredFiles::changed, this, &Globals::deliveredFilesChanged);
    if (m_security)
        connect(m_security, &PeerSecurity::securityChanged, this, &Globals::peerSecurityChanged);
    // The open conversation shows its peer's address; let it read the new one.
    connect(m_peers, &PeerRecords::addressChanged, this, [this](const QString& nodeId) {
        if (nodeId == m_currentSelectedChatPeer)
            Q_EMIT currentSelectedChatPeerChanged();
    });
    connect(m_core.get(), &Core::hostIdChanged, this, [this] {
        Q_EMIT hostIdChanged();
        if (peerManager)
            peerManager->reBroadCastMyself();
    });
    connect(m_otherNetworks, &OtherNetworksSettings::otherNetworksChanged, this, &Globals::otherNetworksChanged);
    connect(m_otherNetworks, &OtherNetworksSettings::otherNetworksProblemsChanged, this,
            &Globals::otherNetworksProblemsChanged);
    connect(m_otherNetworks, &OtherNetworksSettings::addComputerAnswered, this, &Globals::addComputerAnswered);
}

QVariantList Globals::deliveredFiles() const
{
    return m_core->deliveredFiles().files();
}

void Globals::importAccountPicture()
{
    // Until the user picks a picture, the account's own picture stands for them. Without one the default is a
    // resource URL, which no image loader takes: nothing to import then, and nothing to log.
    if (QFileInfo::exists(m_core->profile().avatarPath()))
        return;
    const QString accountPicture = defaultAvatarPath();
    if (!accountPicture.startsWith(QLatin1String("qrc:")))
        setUserAvatar(accountPicture);
}

void Globals::init()
{
    Q_EMIT readyToProcessNextFileQueueItem();
    // From here on each subsystem runs its own rounds: progress ticks, resends, withdrawals, presence checks and
    // the peer refreshes.
    m_core->start(m_preferences->resumeInterruptedDownloads());
    m_refresh->start();

    setCurrentSelectedTabIndex(0);
    Q_EMIT pendingValidationsCountChanged();
    Q_EMIT totalNumberOfUnReadMessagesChanged();
    Q_EMIT updateAppIconsSignal();
    QTimer::singleShot(kSecondIconUpdateDelayMs, this, &Globals::updateAppIconsSignal);
}

// --- properties ---------------------------------------------------------------------------------------------

void Globals::setAppName(const QString& name)
{
    if (name == m_appName)
        return;
    m_appName = name;
    Q_EMIT appNameChanged();
}

QString Globals::userAlias() const
{
    return m_core->profile().userAlias();
}

void Globals::setUserAlias(QString userAlias)
{
    m_core->profile().setUserAlias(userAlias);
    Q_EMIT userAliasChanged();
}

QString Globals::userAvatar() const
{
    return m_core->profile().userAvatar();
}

void Globals::setUserAvatar(const QString& imagePath)
{
    QImage image;
    if (!image.load(imagePath)) {
        qCritical().noquote() << "Could not load image at " + imagePath;
        return;
    }
    if (m_core->profile().storeAvatar(squareAvatar(image, kAvatarSide)))
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

void Globals::setCurrentSelectedTabIndex(int tabIndex)
{
    if (tabIndex == m_currentSelectedTabIndex)
        return;
    m_currentSelectedTabIndex = tabIndex;
    Q_EMIT currentSelectedTabIndexChanged();
}

// --- small operations ---------------------------------------------------------------------------------------

void Globals::chooseAvatar()
{
    setTempAvatarPath(QFileDialog::getOpenFileName(nullptr, QStringLiteral("choose avatar")));
}

void Globals::runOnStartup(bool run)
{
    m_preferences->runOnStartup(run);
}

namespace {

// Asked for by a click: a click that does nothing would leave the user guessing. Plain text, since a file's name
// came from a peer.
void tellCouldNotOpen(const QString& text)
{
    if (text.isEmpty())
        return;
    QMessageBox box(QMessageBox::Information, QStringLiteral("Vesk"), text, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

void Globals::openDownloadedFilesFolder()
{
    tellCouldNotOpen(m_core->downloadsFolder().open());
}

void Globals::openDownloadedFile(QString fileName)
{
    tellCouldNotOpen(m_core->downloadsFolder().openFile(fileName));
}

void Globals::openDownloadedFolder(QString folderId)
{
    tellCouldNotOpen(m_core->downloadsFolder().openReceivedFolder(folderId));
}

bool Globals::openFile(const QString& path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

QString Globals::downloadsFolderShown() const
{
    return m_core->downloadsFolder().shown();
}

void Globals::chooseDownloadsFolder()
{
    DownloadsFolder& downloads = m_core->downloadsFolder();
    const QString folder = QFileDialog::getExistingDirectory(
        mainWindow, tr("Choose where received files go"), QDir::cleanPath(QDir::fromNativeSeparators(downloads.path())));
    if (folder.isEmpty())
        return;
    const QString problem = downloads.change(folder);
    if (problem.isEmpty())
        return;
    QMessageBox box(QMessageBox::Warning, tr("Downloads folder not changed"),
                    QString(problem + QLatin1Char(' ') + tr("Received files still go to %1.").arg(downloads.shown())),
                    QMessageBox::Ok, mainWindow);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void Globals::messageBox(QString title, QString description)
{
    QMessageBox box(QMessageBox::Information, title, description, QMessageBox::Ok);
    box.exec();
}

void Globals::shutDown()
{
    QCoreApplication::quit();
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
