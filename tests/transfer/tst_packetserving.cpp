#include "transferrig.h"

#include <QTemporaryDir>

using namespace TestSupport;
using Parameters = Vesk::MessageSink::Parameters;

// The owner's side of the packet exchange: answering requests from memory-bounded chunks, refusing nonsense.
class tst_PacketServing : public QObject
{
    Q_OBJECT

    std::unique_ptr<TransferRig> rig;
    QTemporaryDir files;
    QHostAddress receiver;
    void makeUpload(const QString& id, const QByteArray& contents)
    {
        QVERIFY(writeFile(files.filePath("served.bin"), contents));
        rig->insertUpload(id, "receiver", 0, "sent", files.filePath("served.bin"), contents.size());
    }
    // The bytes of the one answer a request brought, or a null array when it brought none, several or a wrong one.
    QByteArray request(const QString& id, const QVariant& seek, const QVariant& size, qint64 timeSent = 1)
    {
        rig->sink.clear();
        Parameters message{{"action", "sendDataPacket"}, {"fileId", id},       {"timeSent", timeSent},
                           {"fileSeek", seek},           {"bufferSize", size}, {"senderIPAddress", "10.77.5.9"}};
        message.removeIf([](const auto& field) { return !field.value().isValid(); });
        rig->packets.handleSendDataPacket(message);
        const auto answer = rig->sink.sent.value(0);
        const bool right = rig->sink.sent.size() == 1 && answer.action() == "receiveDataPacket" &&
                           answer.address == receiver && answer.value("fileId") == id &&
                           answer.value("fileSeek").toLongLong() == seek.toLongLong() &&
                           answer.value("timeSent").toLongLong() == timeSent;
        return right ? answer.value("binaryData").toByteArray() : QByteArray();
    }

private Q_SLOTS:
    void init()
    {
        rig = std::make_unique<TransferRig>();
        receiver = rig->addPeer("receiver");
    }
    void cleanup() { rig.reset(); }
    // Every request is answered at once, to the receiver's stored address rather than the one it came from, with
    // the bytes at its offset and its own timeSent. A window is answered out of order: the upload's progress
    // stays at the furthest packet served.
    void servingPackets_data()
    {
        QTest::addColumn<int>("window");
        QTest::newRow("strict peer, one packet at a time") << 1;
        QTest::newRow("window of 16, newest first") << 16;
    }
    void servingPackets()
    {
        QFETCH(int, window);
        const QByteArray source = pattern(37 * kPacket + 999, 9);
        makeUpload("up", source);
        for (qint64 next = 0; next < source.size();) {
            QList<qint64> offsets; // one window, newest first
            for (int i = 0; i < window && next < source.size(); ++i, next += kPacket)
                offsets.prepend(next);
            for (const qint64 seek : std::as_const(offsets))
                QCOMPARE(request("up", quint32(seek), quint32(qMin(kPacket, source.size() - seek)), 4242 + seek),
                         source.mid(seek, kPacket));
            QCOMPARE(row("vesk_uploads", "up").value("bytessent"), QString::number(offsets.first()));
        }
        // An upload that is gone is not served any more, even straight after its packets were.
        QVERIFY(exec("delete from vesk_uploads where id = 'up'"));
        MessageCatcher catcher;
        QVERIFY(request("up", 0, kPacket).isNull());
        QVERIFY(rig->sink.sent.isEmpty());
    }
    // Nonsense gets no answer, reads nothing and records no progress; what is logged about it stays short.
    void badRequestsGetNoAnswer_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QVariant>("bufferSize");
        QTest::addColumn<QVariant>("fileSeek");
        QTest::newRow("zero size") << "up" << QVariant(0) << QVariant(0);
        QTest::newRow("negative size") << "up" << QVariant(-1) << QVariant(0);
        QTest::newRow("more than a packet") << "up" << QVariant(kPacket + 1) << QVariant(0);
        QTest::newRow("negative offset") << "up" << QVariant(10) << QVariant(-1);
        QTest::newRow("offset at the end") << "up" << QVariant(10) << QVariant(5000);
        QTest::newRow("offset beyond the end") << "up" << QVariant(10) << QVariant(4000000000LL);
        QTest::newRow("no size") << "up" << QVariant() << QVariant(0);
        QTest::newRow("no offset") << "up" << QVariant(10) << QVariant();
        QTest::newRow("size as text") << "up" << QVariant("lots") << QVariant(0);
        QTest::newRow("unknown upload") << "ghost" << QVariant(10) << QVariant(0);
        QTest::newRow("id as long as a message") << QString(1000000, 'x') << QVariant(10) << QVariant(0);
    }
    void badRequestsGetNoAnswer()
    {
        QFETCH(QString, id);
        QFETCH(QVariant, bufferSize);
        QFETCH(QVariant, fileSeek);
        makeUpload("up", pattern(5000));
        MessageCatcher catcher;
        QVERIFY(request(id, fileSeek, bufferSize).isNull());
        QVERIFY(rig->sink.sent.isEmpty());
        QCOMPARE(rig->packets.chunks().chunkCount(), 0);
        QCOMPARE(row("vesk_uploads", "up").value("bytessent"), QStringLiteral("0"));
        for (const QString& line : catcher.all())
            QVERIFY2(line.size() < 300, qPrintable(line.left(300)));
        if (id != "up")
            QVERIFY(catcher.criticals().join('\n').contains("was not found"));
    }
};

QTEST_GUILESS_MAIN(tst_PacketServing)
#include "tst_packetserving.moc"
