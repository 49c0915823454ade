#include "net/wire.h"

#include "testsupport.h"

#include <QRandomGenerator>
#include <QtEndian>

using Vesk::Parameters;

class TestWire : public QObject
{
    Q_OBJECT

private slots:
    // The bytes a peer reads. Tags are (field number << 3) | wire type: 2 for text and bytes, 0 for integers.
    void encode_data()
    {
        QTest::addColumn<Parameters>("parameters");
        QTest::addColumn<QByteArray>("hex");
        QTest::newRow("empty action stays present") << Parameters{{"action", ""}} << QByteArray("0a00");
        QTest::newRow("fileName is field 10") << Parameters{{"fileName", "a.txt"}} << QByteArray("5205612e747874");
        QTest::newRow("text ends at a NUL")
            << Parameters{{"message", QString::fromUtf8("hi\0there", 8)}} << QByteArray("2a026869");
        QTest::newRow("bytes keep NULs") << Parameters{{"binaryData", QByteArray("\0\1\0", 3)}}
                                         << QByteArray("2203000100");
        QTest::newRow("fileSize from text") << Parameters{{"fileSize", "1234"}} << QByteArray("40d209");
        QTest::newRow("largest fileSeek") << Parameters{{"fileSeek", 4294967295u}} << QByteArray("58ffffffff0f");
        QTest::newRow("timeSent in ms") << Parameters{{"timeSent", qint64(1700000000000)}}
                                        << QByteArray("3880d095ffbc31");
        QTest::newRow("negative timeSent")
            << Parameters{{"timeSent", qint64(-1)}} << QByteArray("38ffffffffffffffffff01");
        QTest::newRow("by field number, local keys left out")
            << Parameters{{"alias", "z"}, {"fileSize", 1}, {"action", "a"}, {"senderIPAddress", "10.0.0.1"}}
            << QByteArray("0a016140017a017a");
    }
    void encode()
    {
        QFETCH(Parameters, parameters);
        QTEST(Vesk::parametersToByteArray(parameters).toHex(), "hex");
        // A frame is the record behind its length, little-endian.
        const QByteArray frame = Vesk::parametersToFrame(parameters);
        QCOMPARE(frame.mid(4), Vesk::parametersToByteArray(parameters));
        QCOMPARE(qFromLittleEndian<quint32>(frame.constData()), quint32(frame.size() - 4));
    }

    void decode_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<Parameters>("expected"); // empty: rejected with one logged line
        QTest::newRow("text ends at a NUL") << QByteArray("2a03680069") << Parameters{{"message", "h"}};
        QTest::newRow("invalid UTF-8") << QByteArray("2a01ff") << Parameters{{"message", QString(QChar(0xfffd))}};
        QTest::newRow("unknown field, wrong wire type")
            << QByteArray("8001014201000a0161") << Parameters{{"action", "a"}};
        QTest::newRow("last one wins") << QByteArray("0a01610a0162") << Parameters{{"action", "b"}};
        QTest::newRow("integers") << QByteArray("3880d095ffbc3140d209")
                                  << Parameters{{"timeSent", qint64(1700000000000)}, {"fileSize", quint32(1234)}};
        QTest::newRow("length beyond the end") << QByteArray("0a0561") << Parameters{};
        QTest::newRow("varint over ten bytes") << QByteArray("38ffffffffffffffffffffff01") << Parameters{};
        QTest::newRow("field number zero") << QByteArray("0001") << Parameters{};
        QTest::newRow("good field, then garbage") << QByteArray("0a0161ffffffff") << Parameters{};
    }
    void decode()
    {
        QFETCH(QByteArray, hex);
        QFETCH(Parameters, expected);
        TestSupport::MessageCatcher catcher;
        QCOMPARE(Vesk::byteArrayToParameters(QByteArray::fromHex(hex)), expected);
        QCOMPARE(catcher.criticals(),
                 expected.isEmpty() ? QStringList{"There was an error parsing data to parameters"} : QStringList{});
    }

    void everyFieldSurvivesARoundTrip()
    {
        Parameters all{{"binaryData", QByteArray("\0\xff", 2)}, {"timeSent", qint64(1) << 41}};
        for (const char* key : {"fileSize", "fileSeek", "bufferSize"})
            all.insert(key, 3000000000u);
        for (const char* key : {"action", "nodeFrom", "fileExtension", "message", "chatId", "fileId", "fileName",
                                "packetId", "sysinfo", "alias"})
            all.insert(key, QString::fromUtf8("\xc3\xa9 ").append(key)); // each text field holds its own name
        QCOMPARE(Vesk::byteArrayToParameters(Vesk::parametersToByteArray(all)), all);
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
};

QTEST_GUILESS_MAIN(TestWire)
#include "tst_wire.moc"
