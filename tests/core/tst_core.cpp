#include "core/core.h"
#include "net/messagedispatcher.h"
#include "peers/peerrecords.h"
#include "subsystemfixture.h"
#include "testsupport.h"
#include "transfer/deliveredfiles.h"
#include "transfer/outgoingoffers.h"

#include <QSettings>
#include <QTemporaryDir>

#include <memory>

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
        const Core::Setup setup{m_dir.path() + "/data/", "{machine-id}", "Test OS", m_dir.path() + "/downloads/",
                                false};
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
    // Our own id from another computer, announced or in a message, is a copy of this installation: this node takes a
    // fresh id, keeps it and records itself under it.
    void ownIdFromAnotherComputerGivesAFreshId_data()
    {
        QTest::addColumn<bool>("announced"); // else it came in a message
        QTest::newRow("announced") << true;
        QTest::newRow("in a message") << false;
    }
    void ownIdFromAnotherComputerGivesAFreshId()
    {
        QFETCH(bool, announced);
        const QString before = m_core->hostId();
        const auto arrive = [&](const char* from) {
            if (announced)
                m_core->peerRecords().addNodeFromUDP(before, from, "os", "twin");
            else
                m_core->processMessage({{"action", "confirmChat"}, {"nodeFrom", before}, {"senderIPAddress", from}});
        };
        MessageCatcher catcher;
        QSignalSpy changed(m_core.get(), &Core::hostIdChanged);
        arrive("127.0.0.1"); // from this computer itself: our own announcement
        QCOMPARE(m_core->hostId(), before);
        arrive("10.99.0.2");
        const QString fresh = m_core->hostId();
        QVERIFY(fresh != before && !fresh.isEmpty());
        QCOMPARE(changed.size(), 1);
        QCOMPARE(m_settings->value("machineId").toString(), fresh);
        QCOMPARE(peerField(fresh, "ipAddress"), QStringLiteral("127.0.0.1"));
        QCOMPARE(catcher.criticals().filter("uses this computer's node id").size(), 1);
        arrive("10.99.0.2"); // now an ordinary peer
        QCOMPARE(m_core->hostId(), fresh);
        QCOMPARE(peerField(before, "ipAddress"), announced ? QStringLiteral("10.99.0.2") : QStringLiteral("<no row>"));
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
