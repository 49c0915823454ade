#include "app/startup.h"

#include "app/appicons.h"
#include "app/commandline.h"
#include "app/firstrunwizard.h"
#include "app/globals.h"
#include "app/logging.h"
#include "app/platform.h"
#include "app/qmltypes.h"
#include "app/traymenu.h"
#include "app/veskqmlviewer.h"
#include "app/vesksingleapplication.h"
#include "app/widgetstyle.h"
#include "core/core.h"
#include "net/peermanager.h"
#include "net/wire.h"
#include "peers/ownprofile.h"
#include "peers/peerrecords.h"
#include "store/filestandarditemmodel.h"
#include "store/store.h"
#include "store/transferlists.h"
#include "store/vesksqlquerymodel.h"
#include "transfer/outgoingoffers.h"

#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QModelIndex>
#include <QQmlContext>
#include <QScreen>
#include <QSettings>
#include <QSqlDatabase>
#include <QSystemTrayIcon>
#include <QTime>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace Vesk {

namespace {

constexpr int kWakeUpTimeoutMs = 5000;
// Without its database driver the program cannot run at all: a failure, not a normal end.
constexpr int kExitNoSqlDriver = 1;
constexpr int kWindowWidth = 352;
constexpr const char* kMainQmlFile = "qml/Vesk/desktop/main.qml";

bool hasNoName(const QString& alias)
{
    return alias.isEmpty() || alias.compare(QLatin1String("unknown"), Qt::CaseInsensitive) == 0;
}

void publish(QQmlContext* context, Globals* globals)
{
    Qml::registerTypes();
    const Store& store = globals->core().store();
    OutgoingOffers& outgoing = globals->core().outgoingOffers();
    context->setContextProperty(QStringLiteral("globals"), globals);
    context->setContextProperty(QStringLiteral("nodeData"), store.nodeData);
    context->setContextProperty(QStringLiteral("filesData"), &outgoing.filesData);
    context->setContextProperty(QStringLiteral("uploadsData"), store.uploadsData);
    context->setContextProperty(QStringLiteral("pausedDownloads"), store.pausedDownloads);
    context->setContextProperty(QStringLiteral("queuedDownloads"), store.queuedDownloads);
    context->setContextProperty(QStringLiteral("completedDownloads"), store.completedDownloads);
    context->setContextProperty(QStringLiteral("chatsModel"), store.chatsModel);
    context->setContextProperty(QStringLiteral("nodesProxyData"), store.nodesProxyData);
    context->setContextProperty(QStringLiteral("filesProxyData"), &outgoing.filesProxyData);
    context->setContextProperty(QStringLiteral("transferLists"), &globals->core().transferLists());
}

void placeWindow(QWidget* window)
{
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const int h = available.height();
    window->setFixedSize(kWindowWidth, h - h / 10);
    QRect frame = window->frameGeometry();
    frame.moveCenter(available.center());
    window->move(frame.topLeft());
}

} // namespace

int runApplication(int argc, char** argv)
{
    // Before any application object exists: answering --help must not open a window, touch the settings, register
    // the login start or take the ports.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine::Decision decision = CommandLine::decide(arguments);
    if (decision.action != CommandLine::Action::Run) {
        std::FILE* stream = decision.action == CommandLine::Action::Refuse ? stderr : stdout;
        std::fputs(decision.text.toLocal8Bit().constData(), stream);
        std::fflush(stream);
        return decision.exitCode;
    }

    // Every object below is owned here and destroyed in reverse order when the event loop ends, the window
    // before the application object. The controller alone lives on until the process ends.
    VeskSingleApplication app(argc, argv);

    if (!QSqlDatabase::drivers().contains(QLatin1String("QSQLITE"))) {
        qCritical() << "SQLITE driver not found ";
        qCritical() << "Drivers " << QSqlDatabase::drivers();
        qCritical() << "library paths" << QCoreApplication::libraryPaths();
        return kExitNoSqlDriver;
    }

    QCoreApplication::setApplicationName(QStringLiteral("Vesk"));
    QCoreApplication::setOrganizationName(QStringLiteral("Tavimor"));
    // The wizard and the message boxes show the icon too; the desktop file name lets the desktop match the
    // window to vesk.desktop (its launcher, its badge) rather than guess from the window class.
    QGuiApplication::setWindowIcon(AppIcons::applicationIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("vesk"));
    WidgetStyle::apply(app);

    if (app.isRunning()) {
        app.sendMessage(QStringLiteral("wakeUp"), kWakeUpTimeoutMs);
        return 0;
    }

    Globals* globals = Globals::instance();
    VeskQMLViewer window;
    globals->setMainWindow(&window);
    QObject::connect(&app, &VeskSingleApplication::messageReceived, &window, &VeskQMLViewer::wakeMeUp);

    // A translator removes itself from the application when it is destroyed.
    QTranslator qtTranslator;
    if (qtTranslator.load(QStringLiteral("qt_") + QLocale::system().name(),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTranslator);
    // Without a translation for the system's language (or under the C locale of a server) English is used: the
    // terms of use are translation keys, and nobody should be asked to accept a raw key.
    QTranslator appTranslator;
    const QString appDir = QCoreApplication::applicationDirPath();
    if (appTranslator.load(QStringLiteral("%1/%2").arg(appDir, QStringLiteral("Vesk_") + QLocale::system().name())) ||
        appTranslator.load(QStringLiteral("%1/%2").arg(appDir, QStringLiteral("Vesk_en"))))
        QCoreApplication::installTranslator(&appTranslator);

    const QString logPath = dataFolderPath() + QStringLiteral("vesk.log");
    qDebug() << logPath;
    if (!Log::installLogFile(logPath))
        qDebug().noquote() << "Error opening log file '" + logPath + "'. All debug output redirected to console.";

    if (!globals->core().messageServer().tcpServer.isListening()) {
        qCritical().noquote() << "Closing Vesk. Another application is listening on port " +
                                     QString::number(Vesk::kTcpPort);
        std::_Exit(0);
    }

    globals->random().seed(quint32(QTime::currentTime().msec()));

    QDir::setCurrent(Platform::workingDirectoryFor(QCoreApplication::applicationDirPath()));
    qRegisterMetaType<QModelIndex>("QModelIndex");

    // A new user is asked on the wizard's last page whether to start at login; the answer is then stored, and
    // from there on every start renews the login entry while the preference stays on.
    if (hasNoName(globals->userAlias())) {
        FirstRunWizard wizard(*globals, nullptr);
        wizard.exec();
        if (hasNoName(globals->userAlias()))
            std::_Exit(0);
    }
    const QVariant runKey = globals->settings->value(QStringLiteral("runOnStartup"));
    if (!runKey.isValid() || runKey.toBool())
        globals->runOnStartup(true);

    PeerManager peerManager(nullptr);
    const OwnProfile& profile = globals->core().profile();
    peerManager.setAnnouncementSource(
        [&profile] { return PeerManager::buildAnnouncement(profile.hostId(), profile.osName(), profile.userAlias()); });
    globals->peerManager = &peerManager;
    globals->startOtherNetworks();
    QObject::connect(&peerManager, &PeerManager::newConnection, &globals->core().peerRecords(),
                     &PeerRecords::addNodeFromUDP);
    QObject::connect(&window, &VeskQMLViewer::newFileToSend, globals, &Globals::processNewFileToSend);

    publish(window.rootContext(), globals);
    window.setMainQmlFile(QString::fromLatin1(kMainQmlFile));
    placeWindow(&window);
    window.setOrientation(QmlApplicationViewer::ScreenOrientationLockLandscape);
    window.show();

    globals->init();

    std::unique_ptr<TrayMenu> tray;
    if (QSystemTrayIcon::isSystemTrayAvailable())
        tray = std::make_unique<TrayMenu>(*globals->trayIcon, window);

    const int result = app.exec();
    // The controller outlives what is destroyed here: it forgets the tray menu and the discovery object first (the
    // window it forgets by itself).
    tray.reset();
    globals->peerManager = nullptr;
    return result;
}

} // namespace Vesk
