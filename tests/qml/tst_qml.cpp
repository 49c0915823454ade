#include "faketablemodel.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QtQml>
#include <QtQuickTest>

// Runs the tst_*.qml files of this folder against the interface files in qml/Vesk/desktop, with fake models and
// a fake controller in place of the program's. The fakes are also published under the program's context
// property names, so main.qml itself can be loaded and driven (tst_main.qml).
class Setup : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        qmlRegisterType<FakeTableModel>("Vesk.Testing", 1, 0, "FakeTableModel");

        QQmlComponent fake(engine, QUrl::fromLocalFile(QStringLiteral(VESK_QML_TEST_DIR "/FakeGlobals.qml")));
        QObject* globals = fake.create();
        if (!globals)
            qFatal("FakeGlobals.qml: %s", qPrintable(fake.errorString()));
        globals->setParent(engine);
        QQmlContext* context = engine->rootContext();
        context->setContextProperty(QStringLiteral("globals"), globals);

        const QStringList peerRoles = {"id",        "alias",     "avatarPath",
                                       "ipAddress", "status",    "unreadMessagesCount",
                                       "sysinfo",   "timestamp", "blocked"};
        const QStringList downloadRoles = {"id",       "status",       "nodefrom", "filename",
                                           "filesize", "downloadsize", "timestamp"};
        const QStringList uploadRoles = {"id",       "url",       "nodeto",   "filename",
                                         "filesize", "bytesSent", "timesent", "status"};
        const QStringList chatRoles = {"id", "message", "peerfrom", "peerto", "status", "timesent"};
        const QStringList fileRoles = {"fileURL", "fileName", "totalByteSize", "thumbnail", "selected"};
        const QList<QPair<QString, QStringList>> models = {
            {QStringLiteral("nodeData"), peerRoles},
            {QStringLiteral("nodesProxyData"), peerRoles},
            {QStringLiteral("uploadsData"), uploadRoles},
            {QStringLiteral("pausedDownloads"), downloadRoles},
            {QStringLiteral("queuedDownloads"), downloadRoles},
            {QStringLiteral("completedDownloads"), downloadRoles},
            {QStringLiteral("chatsModel"), chatRoles},
            {QStringLiteral("filesData"), fileRoles},
            {QStringLiteral("filesProxyData"), fileRoles},
        };
        for (const auto& [name, roles] : models) {
            auto* model = new FakeTableModel(engine);
            model->setRoles(roles);
            context->setContextProperty(name, model);
        }
    }
};

QUICK_TEST_MAIN_WITH_SETUP(tst_qml, Setup)

#include "tst_qml.moc"
