#include "app/globals.h"

#include "app/avatarimage.h"
#include "app/platform.h"
#include "app/veskprofilewizard.h"
#include "app/veskqmlviewer.h"
#include "core/core.h"
#include "net/othernetworkssettings.h"
#include "net/peermanager.h"
#include "peers/chat.h"
#include "peers/ownprofile.h"
#include "peers/peerrecords.h"
#include "peers/peerrefresh.h"
#include "peers/peersearch.h"
#include "peers/peersecurity.h"
#include "store/store.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/deliveredfiles.h"
#include "transfer/downloadengine.h"
#include "transfer/downloadsfolder.h"
#include "transfer/fileicons.h"
#include "transfer/incomingoffers.h"
#include "transfer/outgoingoffers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QSettings>
#include <QTimer>

namespace Vesk {

namespace {
constexpr int kSecondIconUpdateDelayMs = 5000;
} // namespace

Globals* Globals::instance()
{
    static Globals* globals = new Globals(); // never destroyed: peers, models and timers live as long as the process
    return globals;
}

Globals::Globals()
{
    settings = new QSettings(QStringLiteral("Tavimor"), QStringLiteral("Vesk"), this);
    m_preferences = new Preferences(*settings, this);
    m_dialogs = std::make_unique<UserDialogs>(*settings);
    m_shell = std::make_unique<DesktopShell>(*m_preferences, m_random);

    Core::Setup setup{dataFolderPath(), machineGuid(), ::osName(), downloadsFolderPath()};
    // Behaves as a program from before sealing, so the test rig can run such a peer beside sealed ones.
    setup.sealing = !qEnvironmentVariableIsSet("VESK_PLAIN_PEER");
    m_core = std::make_unique<Core>(*settings, setup, *m_shell);
    m_store = &m_core->store();
    m_shell->setStore(m_store);
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

    connectShell();
    connectCore();
    importAccountPicture(m_core->profile());
}

Globals::~Globals() = default;

void Globals::connectShell()
{
    DesktopShell* shell = m_shell.get();
    connect(this, &Globals::updateAppIconsSignal, shell, &DesktopShell::updateAppIcons, Qt::QueuedConnection);
    connect(shell, &DesktopShell::currentTabChanged, this, &Globals::currentSelectedTabIndexChanged);
    connect(shell, &DesktopShell::conversationPeerChanged, this, &Globals::currentSelectedChatPeerChanged);
    connect(shell, &DesktopShell::conversationRequested, this, &Globals::setCurrentSelectedChatPeer);
    connect(shell, &DesktopShell::conversationSeen, this, &Globals::setCurrentSelectedChatPeer);
    connect(shell, &DesktopShell::downloadAllRequested, this, &Globals::downloadAllPending);
    connect(shell, &DesktopShell::downloadsFromRequested, this,
            [this](const QString& nodeId) { m_engine->downloadAllPending(nodeId); });
    connect(shell, &DesktopShell::filesDroppedOnConversation, this, &Globals::offerFilesToPeer);
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
    connect(m_engine, &DownloadEngine::estimateChanged, this,
            &Globals::numberOfSecondsRemainingForCurrentDownloadChanged);
    connect(&m_core->downloadsFolder(), &DownloadsFolder::changed, this, &Globals::downloadsFolderChanged);
    connect(&m_core->deliveredFiles(), &DeliveredFiles::changed, this, &Globals::deliveredFilesChanged);
    if (m_security)
        connect(m_security, &PeerSecurity::securityChanged, this, &Globals::peerSecurityChanged);
    // The open conversation shows its peer's address; let it read the new one.
    connect(m_peers, &PeerRecords::addressChanged, this, [this](const QString& nodeId) {
        if (nodeId == currentSelectedChatPeer())
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

void Globals::init()
{
    m_outgoing->filesProxyData.sort(0, Qt::AscendingOrder);
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

// --- the own profile ----------------------------------------------------------------------------------------

QString Globals::hostId() const
{
    return m_core->hostId();
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
    if (importAvatar(m_core->profile(), imagePath))
        Q_EMIT userAvatarChanged();
}

void Globals::storeProfile(const QString& name, const QString& avatarPath)
{
    setUserAlias(name.trimmed());
    if (!avatarPath.isEmpty())
        setUserAvatar(avatarPath);
}

void Globals::changeUserInfo(QString newUserAlias, QString newUserAvatar)
{
    setUserAlias(newUserAlias);
    setUserAvatar(localImagePath(newUserAvatar));
    m_peers->refreshOwnPeerRow();
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

// --- peers and chat -----------------------------------------------------------------------------------------

void Globals::refreshPeers()
{
    if (m_security)
        m_security->linksChanged();
    m_peers->search().lookAgain();
    if (peerManager)
        peerManager->reBroadCastMyself();
}

bool Globals::acceptPeerSecurityKey(QString nodeId)
{
    if (!m_security)
        return false;
    if (m_security->acceptChangedKey(nodeId))
        return true;
    if (m_security->securityState(nodeId) == SecurityState::KeyChanged) // still there to accept: it was not saved
        m_shell->showNotice(tr("Key not accepted"),
                            tr("The new security key of %1 could not be saved, so it was not accepted: Vesk cannot "
                               "write its data (the disk may be full). Try again once there is room.")
                                .arg(m_store->peerField(nodeId, QStringLiteral("alias"))));
    return false;
}

void Globals::setCurrentSelectedChatPeer(QString peerId)
{
    setCurrentSelectedTabIndex(0);
    m_chat->openConversation(peerId, m_shell->setConversationPeer(peerId));
    m_shell->conversationShown(peerId);
}

void Globals::blockUser(QString peerId)
{
    // The English wording names the person (its text holds a %1); the source text has no place for it.
    QString question = tr("Do you really want to block this user");
    if (question.contains(QLatin1String("%1")))
        question = question.arg(m_store->peerField(peerId, QStringLiteral("alias")));
    if (UserDialogs::confirmed(tr("Block this user"), question, tr("Block")))
        m_peers->blockUser(peerId);
}

// --- offers -------------------------------------------------------------------------------------------------

void Globals::selectFiles()
{
    for (const QString& path : m_dialogs->chooseFiles(tr("select a file")))
        processNewFileToSend(QUrl::fromLocalFile(path));
}

void Globals::selectFolder()
{
    const QString folder = m_dialogs->chooseFolder(tr("Choose a folder to send"));
    if (!folder.isEmpty())
        processNewFileToSend(QUrl::fromLocalFile(folder));
}

void Globals::offerChosenFilesToPeer(QString peerId)
{
    QList<QUrl> urls;
    const QString alias = m_store->peerField(peerId, QStringLiteral("alias"));
    for (const QString& path : m_dialogs->chooseFiles(tr("Send files to %1").arg(alias)))
        urls.append(QUrl::fromLocalFile(path));
    if (!urls.isEmpty())
        offerFilesToPeer(urls, peerId);
}

void Globals::offerFilesToPeer(const QList<QUrl>& localFiles, const QString& peerId)
{
    const QStringList names = m_outgoing->offerFilesToPeer(localFiles, peerId);
    if (!names.isEmpty())
        Q_EMIT filesOfferedToPeer(peerId, names);
}

void Globals::clearAllPendingUploads()
{
    if (UserDialogs::confirmed(tr("Clear Pending Uploads"), tr("Do you really want to clear all pending uploadings ?"),
                               tr("Stop sending")))
        m_outgoing->clearAllPendingUploads();
}

void Globals::clearAllPendingDownloads()
{
    if (UserDialogs::confirmed(tr("Clear Pending Downloads"), tr("Do you really want to clear all pending Downloads ?"),
                               tr("Clear")))
        m_incoming->clearAllPendingDownloads();
}

void Globals::chooseDownloadsFolder()
{
    DownloadsFolder& downloads = m_core->downloadsFolder();
    QWidget* window = m_shell->mainWindow();
    const QString folder = QFileDialog::getExistingDirectory(
        window, tr("Choose where received files go"), QDir::cleanPath(QDir::fromNativeSeparators(downloads.path())));
    if (folder.isEmpty())
        return;
    const QString problem = downloads.change(folder);
    if (!problem.isEmpty())
        UserDialogs::tell(problem + QLatin1Char(' ') + tr("Received files still go to %1.").arg(downloads.shown()),
                          QMessageBox::Warning, tr("Downloads folder not changed"), window);
}

} // namespace Vesk
