#include "core/core.h"
#include "net/messagedispatcher.h"
#include "peers/ownprofile.h"
#include "peers/peerrecords.h"
#include "subsystemfixture.h"
#include "testsupport.h"
#include "transfer/deliveredfiles.h"
#include "transfer/outgoingoffers.h"

#include <QFile>
#include <QImage>
#include <QSettings>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

using namespace TestSupport;
using namespace Vesk;

// The node as the core wires it, without an interface: which subsystem serves each action, what a sender's address
// tells, and what the subsystems hand each other. The subsystems' own rules are tested in their folders.
class TestCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_settings = std::make_unique<QSettings>(m_dir.filePath("vesk.conf"), QSettings::IniFormat);
        const Core::Setup setup{m_dir.path() + "/data/",      "{machine-id}", "Test OS",
                                m_dir.path() + "/downloads/", true,           0};
        m_core = std::make_unique<Core>(*m_settings, setup, m_shell);
        m_core->setClock(m_clock);
    }
    void everyActionIsServed_data()
    {
        QTest::addColumn<QString>("action");
        for (const QString& action : MessageDispatcher::actions())
            QTest::newRow(qPrintable(action)) << action;
    }
    void everyActionIsServed()
    {
        QFETCH(QString, action);
        QVERIFY(m_core->dispatcher().hasHandler(action));
    }
    // Whatever a peer sends tells where it is now; the open conversation hears of a change.
    void senderAddressIsKept()
    {
        QVERIFY(
            exec("insert into vesk_peers (id, alias, ipAddress, status) values ('{moved}', 'M', '10.99.0.5', 'on')"));
        QSignalSpy moved(&m_core->peerRecords(), &PeerRecords::addressChanged);
        for (const char* from : {"10.99.0.6", "10.99.0.6"})
            m_core->processMessage({{"action", "confirmChat"}, {"nodeFrom", "{moved}"}, {"senderIPAddress", from}});
        QCOMPARE(peerField("{moved}", "ipAddress"), QStringLiteral("10.99.0.6"));
        QCOMPARE(moved.size(), 1);
    }
    // A new picture that cannot be written whole (the disk fills) leaves the one there was, not part of the new one.
    void pictureKeptWhenANewOneCannotBeWritten()
    {
#ifdef Q_OS_UNIX
        OwnProfile& profile = m_core->profile();
        QImage first(64, 64, QImage::Format_RGB32);
        first.fill(Qt::red);
        QVERIFY(profile.storeAvatar(first));
        const QByteArray stored = readFile(profile.avatarPath());
        QImage noisy(256, 256, QImage::Format_RGB32); // does not compress: many kilobytes
        for (int y = 0; y < noisy.height(); ++y)
            for (int x = 0; x < noisy.width(); ++x)
                noisy.setPixel(x, y, qRgb((x * 7919 + y * 104729) % 256, (x * y) % 256, (x ^ y) % 256));
        // Writes past 1 KB fail from here on, as on a full disk.
        rlimit limit{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
        const rlimit before = limit;
        limit.rlim_cur = 1024;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
        MessageCatcher catcher;
        const bool storedNoisy = profile.storeAvatar(noisy);
        setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!storedNoisy);
        QCOMPARE(readFile(profile.avatarPath()), stored);
#else
        QSKIP("the size limit that makes writes fail is a Unix one");
#endif
    }
    // Our own node id from another computer, announced or in a plain message, proves nothing (anyone can write it):
    // this node keeps its id and its identity key, records nothing, and logs it. Only a computer that completes a
    // stream with our own key is a copy of this installation.
    void ownIdFromAnotherComputerChangesNothing_data()
    {
        QTest::addColumn<bool>("announced"); // else it came in a plain handshake
        QTest::newRow("announced") << true;
        QTest::newRow("in a plain handshake") << false;
    }
    void ownIdFromAnotherComputerChangesNothing()
    {
        QFETCH(bool, announced);
        const QString before = m_core->hostId();
        QFile keyFile(m_dir.path() + "/data/identity.key");
        QVERIFY(keyFile.open(QIODevice::ReadOnly));
        const QByteArray key = keyFile.readAll();
        keyFile.close();
        MessageCatcher catcher;
        QSignalSpy changed(m_core.get(), &Core::hostIdChanged);
        for (int i = 0; i < 3; ++i) {
            if (announced)
                m_core->peerRecords().addNodeFromUDP(before, "10.99.0.2", "os", "twin");
            else
                m_core->processMessage({{"action", "addMeRequest"},
                                        {"nodeFrom", before},
                                        {"alias", "twin"},
                                        {"senderIPAddress", "10.99.0.2"}});
        }
        QTest::qWait(50);
        QCOMPARE(m_core->hostId(), before);
        QCOMPARE(changed.size(), 0);
        QCOMPARE(m_settings->value("machineId").toString(), before);
        QVERIFY(keyFile.open(QIODevice::ReadOnly));
        QCOMPARE(keyFile.readAll(), key);
        QCOMPARE(peerField(before, "ipAddress"), QStringLiteral("127.0.0.1"));
        QCOMPARE(peerField(before, "alias") == "twin", false);
        QCOMPARE(catcher.criticals().filter("under this computer's own node id").size(), 1); // rate-limited
    }
    // What peers received stays listed across restarts, newest first, the latest few hundred.
    void deliveredFilesAreKept()
    {
        QVERIFY(
            exec("insert into vesk_peers (id, alias, ipAddress, status) values ('{ann}', 'Ann', '10.99.0.9', 'on')"));
        m_clock.setNowMs(1234);
        for (int i = 0; i <= DeliveredFiles::kKept; ++i)
            Q_EMIT m_core->outgoingOffers().delivered("{ann}", QString::number(i));
        const QVariantList files = m_core->deliveredFiles().files();
        QCOMPARE(files.size(), DeliveredFiles::kKept);
        QCOMPARE(files.first().toMap(), (QVariantMap{{"fileName", QString::number(DeliveredFiles::kKept)},
                                                     {"nodeTo", "{ann}"},
                                                     {"alias", "Ann"},
                                                     {"at", qint64(1234)}}));
        QCOMPARE(files.last().toMap().value("fileName"), QVariant("1"));
        QCOMPARE(m_settings->value(DeliveredFiles::kSettingsKey).toList(), files);
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QSettings> m_settings;
    ManualClock m_clock;
    RecordingShell m_shell;
    std::unique_ptr<Core> m_core;
};

QTEST_MAIN(TestCore)
#include "tst_core.moc"
