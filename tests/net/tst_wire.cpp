#include "common/bufferpool.h"
#include "net/messagedispatcher.h"
#include "net/wire.h"

#include "testsupport.h"

#include <QRandomGenerator>

using Vesk::Parameters;

class TestWire : public QObject
{
    Q_OBJECT

private slots:
    // The bytes a peer reads. Tags are (field number << 3) | wire type: 2 for text and bytes, 0 for integers.
    void encode_data()
    {
        QTest::addColumn<Parameters>("parameters");
        QTest::addColumn<QString>("hex");
        QTest::newRow("empty action stays present") << Parameters{{"action", ""}} << "0a00";
        QTest::newRow("fileName is field 10") << Parameters{{"fileName", "a.txt"}} << "5205612e747874";
        QTest::newRow("text ends at a NUL") << Parameters{{"message", QString::fromUtf8("hi\0there", 8)}} << "2a026869";
        QTest::newRow("bytes keep NULs") << Parameters{{"binaryData", QByteArray("\0\1\0", 3)}} << "2203000100";
        QTest::newRow("fileSize from text") << Parameters{{"fileSize", "1234"}} << "40d209";
        QTest::newRow("largest fileSeek") << Parameters{{"fileSeek", 4294967295u}} << "58ffffffff0f";
        QTest::newRow("timeSent in ms") << Parameters{{"timeSent", qint64(1700000000000)}} << "3880d095ffbc31";
        QTest::newRow("negative timeSent") << Parameters{{"timeSent", qint64(-1)}} << "38ffffffffffffffffff01";
        QTest::newRow("by field number, local keys left out")
            << Parameters{{"alias", "z"}, {"fileSize", 1}, {"action", "a"}, {"senderIPAddress", "10.0.0.1"}}
            << "0a016140017a017a";
        QTest::newRow("handshake extensions from field 16")
            << Parameters{{"sessionTime", qint64(5)}, {"capabilities", 3u}, {"identityKey", QByteArray("k")}}
            << "8001038a01016ba00105";
        QTest::newRow("4 GiB and more take the large fields")
            << Parameters{{"fileSize", qint64(1) << 32}, {"fileSeek", (qint64(1) << 32) + 1}}
            << "c8018080808010d0018180808010";
        QTest::newRow("a folder's listing is field 27") << Parameters{{"folderListing", QByteArray("L")}} << "da01014c";
    }
    void encode()
    {
        QFETCH(Parameters, parameters);
        QTEST(QString(Vesk::parametersToByteArray(parameters).toHex()), "hex");
    }

    void decode_data()
    {
        QTest::addColumn<QString>("hex");
        QTest::addColumn<Parameters>("expected"); // empty: rejected with one logged line
        QTest::newRow("text ends at a NUL") << "2a03680069" << Parameters{{"message", "h"}};
        QTest::newRow("invalid UTF-8") << "2a01ff" << Parameters{{"message", QString(QChar(0xfffd))}};
        QTest::newRow("unknown field, wrong wire type") << "a006014201000a0161" << Parameters{{"action", "a"}};
        QTest::newRow("last one wins") << "0a01610a0162" << Parameters{{"action", "b"}};
        QTest::newRow("length beyond the end") << "0a0561" << Parameters{};
        QTest::newRow("varint over ten bytes") << "38ffffffffffffffffffffff01" << Parameters{};
        QTest::newRow("field number zero") << "0001" << Parameters{};
        QTest::newRow("good field, then garbage") << "0a0161ffffffff" << Parameters{};
        QTest::newRow("large size past 2 GiB and 4 GiB")
            << "c8018080808060d0018180808010"
            << Parameters{{"fileSize", qint64(3) << 33}, {"fileSeek", (qint64(1) << 32) + 1}};
        QTest::newRow("large size no signed size holds")
            << "0a0161c801ffffffffffffffffff01" << Parameters{{"action", "a"}};
    }
    void decode()
    {
        QFETCH(QString, hex);
        QFETCH(Parameters, expected);
        TestSupport::MessageCatcher catcher;
        QCOMPARE(Vesk::byteArrayToParameters(QByteArray::fromHex(hex.toLatin1())), expected);
        QCOMPARE(catcher.criticals().size(), expected.isEmpty() ? 1 : 0);
    }

    void everyFieldSurvivesARoundTrip()
    {
        Parameters all{{"binaryData", QByteArray("\0\xff", 2)},
                       {"timeSent", qint64(1) << 41},
                       {"sessionTime", qint64(1) << 42},
                       {"capabilities", 3u}};
        for (const char* key : {"identityKey", "sessionKey", "sessionSignature"})
            all.insert(key, QByteArray(key).append('\0'));
        for (const char* key : {"fileSize", "fileSeek", "bufferSize"})
            all.insert(key, 3000000000u);
        for (const char* key : {"action", "nodeFrom", "fileExtension", "message", "chatId", "fileId", "fileName",
                                "packetId", "sysinfo", "alias"})
            all.insert(key, QString::fromUtf8("\xc3\xa9 ").append(key)); // each text field holds its own name
        QCOMPARE(Vesk::byteArrayToParameters(Vesk::parametersToByteArray(all)), all);
    }

    // A file packet's frame is the length and the record, also when built in a buffer the sender used before;
    // a buffer a connection still holds is never written over (that frame may not have left yet).
    void packetFrames()
    {
        const auto packet = [](int seed) {
            return Parameters{{"fileSeek", 2000000}, {"binaryData", TestSupport::pattern(1000000, seed)}};
        };
        const auto expected = [](const Parameters& p) -> QByteArray {
            const QByteArray record = Vesk::parametersToByteArray(p);
            const quint32 size = quint32(record.size());
            return QByteArray(reinterpret_cast<const char*>(&size), 4) + record; // little-endian on our machines
        };
        Vesk::BufferPool frames;
        const QByteArray first = Vesk::parametersToFrame(packet(1), &frames);
        QByteArray second = Vesk::parametersToFrame(packet(2), &frames);
        QCOMPARE(first, expected(packet(1)));
        QCOMPARE(second, expected(packet(2)));
        const void* const secondBuffer = second.constData();
        second = QByteArray(); // its connection is done with it; the first one still holds its own
        const QByteArray third = Vesk::parametersToFrame(packet(3), &frames);
        QCOMPARE(static_cast<const void*>(third.constData()), secondBuffer); // the same buffer, not equal text
        QCOMPARE(third, expected(packet(3)));
        QCOMPARE(first, expected(packet(1)));
        QCOMPARE(Vesk::parametersToFrame(packet(4)), expected(packet(4)));
        // On a stream the record goes in parts, the packet's bytes left where they are: joined, the same record.
        Parameters fifth = packet(5);
        fifth.insert(Parameters{{"action", "receiveDataPacket"}, {"fileId", "{f}"}});
        const Vesk::FramePayload parts = Vesk::RecordEncoder(fifth).payload();
        QVERIFY(parts.body.constData() == fifth.value("binaryData").toByteArray().constData());
        QCOMPARE(parts.head + parts.body + parts.tail, Vesk::parametersToByteArray(fifth));
    }

    // A packet read from a stream comes back to the pool twice, as the frame it was read into and as the packet
    // inside it: once both have let go, that memory takes the next frame, instead of memory fresh from the system.
    void receivedFramesServeAgain()
    {
        Vesk::BufferPool frames;
        const QByteArray bytes = TestSupport::pattern(1000000, 1);
        const QByteArray record =
            Vesk::parametersToByteArray(Parameters{{"action", "receiveDataPacket"}, {"binaryData", bytes}});
        QByteArray read = Vesk::frameBuffer(record.size(), &frames);
        memcpy(read.data(), record.constData(), size_t(record.size()));
        const void* const memory = read.constData();
        {
            const Parameters message = Vesk::byteArrayToParameters(QByteArray(read));
            frames.giveBack(std::exchange(read, {})); // the stream is done with the frame
            const QByteArray packet = message.value("binaryData").toByteArray();
            QCOMPARE(packet, bytes);
            frames.giveBack(packet); // the file writer is done with the packet
        }
        QCOMPARE(static_cast<const void*>(Vesk::frameBuffer(record.size(), &frames).constData()), memory);
    }

    // Sending and receiving share the pool: one side gone idle lets the buffers go only once neither side has used
    // one for the idle time, and hears that it has to ask again.
    void poolGoesOnlyWhenIdle_data()
    {
        QTest::addColumn<qint64>("unusedForMs");
        QTest::addColumn<bool>("released");
        QTest::newRow("used just now") << Vesk::BufferPool::kIdleMs << false;
        QTest::newRow("idle long enough") << qint64(0) << true;
    }
    void poolGoesOnlyWhenIdle()
    {
        QFETCH(qint64, unusedForMs);
        QFETCH(bool, released);
        Vesk::BufferPool frames;
        frames.giveBack(frames.take(1000000));
        QCOMPARE(frames.keptBuffers(), 1);
        QCOMPARE(frames.release(unusedForMs), released);
        QCOMPARE(frames.keptBuffers(), released ? 0 : 1);
    }

    // Whatever a peer sends gives either a logged rejection, or wire fields no longer than what was sent, which
    // encode and decode again unchanged.
    void randomInput()
    {
        QRandomGenerator random(20240611);
        TestSupport::MessageCatcher catcher;
        int rejected = 0;
        for (int round = 0; round < 3000; ++round) {
            QByteArray bytes(1 + int(random.bounded(64)), Qt::Uninitialized);
            for (char& byte : bytes)
                byte = char(random.bounded(256));
            catcher.clear();
            const Parameters decoded = Vesk::byteArrayToParameters(bytes);
            if (!catcher.criticals().isEmpty()) {
                ++rejected;
                QVERIFY(decoded.isEmpty());
                continue;
            }
            for (const QVariant& value : decoded) // a number has at most 20 digits
                QVERIFY(value.toString().size() <= qMax<qsizetype>(bytes.size(), 20));
            QCOMPARE(Vesk::byteArrayToParameters(Vesk::parametersToByteArray(decoded)), decoded);
        }
        QVERIFY(rejected > 0 && rejected < 3000);
    }

    // A message runs the handler of its action whatever the letter case, after refreshing the address of the node
    // it names; any other action runs no handler and the message is logged whole, with where it came from.
    void dispatch_data()
    {
        QTest::addColumn<Parameters>("message");
        QTest::addColumn<QString>("handler"); // empty: none runs
        const auto from = [](const QString& action) {
            return Parameters{{"action", action}, {"nodeFrom", "{a}"}, {"senderIPAddress", "10.0.0.7"}};
        };
        QTest::newRow("exact") << from("newChatMessage") << "newChatMessage";
        QTest::newRow("other case") << from("ADDMEREQUEST") << "addMeRequest";
        QTest::newRow("unknown word") << from("launchMissiles") << "";
        QTest::newRow("prefix of a word") << from("newChat") << "";
        QTest::newRow("word and a space") << from("confirmChat ") << "";
        QTest::newRow("no handler registered") << from("requestMyInfo") << "";
        QTest::newRow("no action") << Parameters{{"nodeFrom", "{a}"}, {"senderIPAddress", "10.0.0.7"}} << "";
        QTest::newRow("no node named") << Parameters{{"action", "confirmChat"}, {"senderIPAddress", "10.0.0.7"}}
                                       << "confirmChat";
    }
    void dispatch()
    {
        QFETCH(Parameters, message);
        QFETCH(QString, handler);
        Vesk::MessageDispatcher dispatcher;
        QStringList ran;
        dispatcher.setAddressRefresh(
            [&ran](const QString& node, const QString& address) { ran.append("refresh " + node + " " + address); });
        for (const QString& action : Vesk::MessageDispatcher::actions())
            if (action != QLatin1String("requestMyInfo"))
                QVERIFY(dispatcher.registerHandler(action, [&ran, action](const Parameters&) { ran.append(action); }));
        QVERIFY(!dispatcher.registerHandler("launchMissiles", [&ran](const Parameters&) { ran.append("missiles"); }));
        TestSupport::MessageCatcher catcher;
        QCOMPARE(dispatcher.dispatch(message), !handler.isEmpty());
        QStringList expected{message.contains("nodeFrom") ? "refresh {a} 10.0.0.7" : "", handler};
        expected.removeAll(QString());
        QCOMPARE(ran, expected);
        const QString logged = catcher.criticals().join('\n');
        QCOMPARE(logged.startsWith("unknown options parameters") && logged.contains("10.0.0.7"), handler.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWire)
#include "tst_wire.moc"
