#include "net/wire.h"

#include "testsupport.h"

#include <QRandomGenerator>
#include <QTest>

using Vesk::Parameters;

namespace {
const QString kParseError = QStringLiteral("There was an error parsing data to parameters");

const QStringList kWireKeys{
    "action", "nodeFrom", "fileExtension", "binaryData", "message",    "chatId",  "timeSent", "fileSize",
    "fileId", "fileName", "fileSeek",      "packetId",   "bufferSize", "sysinfo", "alias",
};
} // namespace

class TestWire : public QObject
{
    Q_OBJECT

private slots:
    void encode_data();
    void encode();
    void decode_data();
    void decode();
    void decodeKeepsValueTypes();
    void malformedInput_data();
    void malformedInput();
    void emptyInputIsSilent();
    void roundTripOfEveryField();
    void randomInputNeverYieldsForeignKeys();
    void frameIsLengthAndRecord();
};

void TestWire::encode_data()
{
    QTest::addColumn<Parameters>("parameters");
    QTest::addColumn<QByteArray>("expectedHex");

    // Tags are (field number << 3) | wire type: 2 for text and bytes, 0 for integers.
    QTest::newRow("empty hash") << Parameters{} << QByteArray("");
    QTest::newRow("action") << Parameters{{"action", "ab"}} << QByteArray("0a026162");
    QTest::newRow("empty action stays present") << Parameters{{"action", ""}} << QByteArray("0a00");
    QTest::newRow("invalid value still sets a text field") << Parameters{{"chatId", QVariant()}} << QByteArray("3200");
    QTest::newRow("fileName is field 10") << Parameters{{"fileName", "a.txt"}} << QByteArray("5205612e747874");
    QTest::newRow("lower-case filename is not carried") << Parameters{{"filename", "a.txt"}} << QByteArray("");
    QTest::newRow("text cut at NUL") << Parameters{{"message", QString::fromUtf8("hi\0there", 8)}}
                                     << QByteArray("2a026869");
    QTest::newRow("UTF-8 text") << Parameters{{"alias", QString::fromUtf8("\xc3\xa9")}} << QByteArray("7a02c3a9");
    QTest::newRow("bytes keep zeros") << Parameters{{"binaryData", QByteArray("\x00\x01\x00", 3)}}
                                      << QByteArray("2203000100");
    QTest::newRow("fileSize from text") << Parameters{{"fileSize", "1234"}} << QByteArray("40d209");
    QTest::newRow("fileSize from non-number") << Parameters{{"fileSize", "abc"}} << QByteArray("4000");
    QTest::newRow("fileSize from nothing") << Parameters{{"fileSize", QVariant()}} << QByteArray("4000");
    QTest::newRow("fileSeek largest unsigned") << Parameters{{"fileSeek", 4294967295u}} << QByteArray("58ffffffff0f");
    QTest::newRow("bufferSize a packet") << Parameters{{"bufferSize", 1000000}} << QByteArray("68c0843d");
    QTest::newRow("timeSent milliseconds")
        << Parameters{{"timeSent", qint64(1700000000000)}} << QByteArray("3880d095ffbc31");
    QTest::newRow("timeSent negative is ten bytes")
        << Parameters{{"timeSent", qint64(-1)}} << QByteArray("38ffffffffffffffffff01");
    QTest::newRow("every text field in number order")
        << Parameters{{"alias", "o"},  {"sysinfo", "n"}, {"packetId", "l"},      {"fileId", "i"},
                      {"chatId", "f"}, {"message", "e"}, {"fileExtension", "c"}, {"nodeFrom", "b"}}
        << QByteArray("120162"
                      "1a0163"
                      "2a0165"
                      "320166"
                      "4a0169"
                      "62016c"
                      "72016e"
                      "7a016f");
    QTest::newRow("fields sorted by number") << Parameters{{"alias", "z"}, {"fileSize", 1}, {"action", "a"}}
                                             << QByteArray("0a0161"
                                                           "4001"
                                                           "7a017a");
    QTest::newRow("local keys are ignored")
        << Parameters{{"action", "ab"}, {"senderIPAddress", "10.0.0.1"}, {"whatever", 5}} << QByteArray("0a026162");
}

void TestWire::encode()
{
    QFETCH(Parameters, parameters);
    QFETCH(QByteArray, expectedHex);
    QCOMPARE(Vesk::parametersToByteArray(parameters).toHex(), expectedHex);
}

void TestWire::decode_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<Parameters>("expected");

    QTest::newRow("empty action") << QByteArray("0a00") << Parameters{{"action", QString()}};
    QTest::newRow("field 10 gives fileName") << QByteArray("5205612e747874") << Parameters{{"fileName", "a.txt"}};
    QTest::newRow("text cut at NUL") << QByteArray("2a03680069") << Parameters{{"message", "h"}};
    QTest::newRow("invalid UTF-8 becomes replacement character")
        << QByteArray("2a01ff") << Parameters{{"message", QString(QChar(0xfffd))}};
    QTest::newRow("bytes keep zeros") << QByteArray("2203000100")
                                      << Parameters{{"binaryData", QByteArray("\x00\x01\x00", 3)}};
    QTest::newRow("unknown field number is ignored") << QByteArray("800101"
                                                                   "0a0161")
                                                     << Parameters{{"action", "a"}};
    QTest::newRow("wrong wire type is ignored") << QByteArray("420100"
                                                              "0a0161")
                                                << Parameters{{"action", "a"}};
    QTest::newRow("last occurrence wins") << QByteArray("0a0161"
                                                        "0a0162")
                                          << Parameters{{"action", "b"}};
    QTest::newRow("integers") << QByteArray("3880d095ffbc31"
                                            "40d209"
                                            "58ffffffff0f"
                                            "68c0843d")
                              << Parameters{{"timeSent", qint64(1700000000000)},
                                            {"fileSize", quint32(1234)},
                                            {"fileSeek", quint32(4294967295u)},
                                            {"bufferSize", quint32(1000000)}};
}

void TestWire::decode()
{
    QFETCH(QByteArray, hex);
    QFETCH(Parameters, expected);
    TestSupport::MessageCatcher catcher;
    QCOMPARE(Vesk::byteArrayToParameters(QByteArray::fromHex(hex)), expected);
    QVERIFY(catcher.criticals().isEmpty());
}

void TestWire::decodeKeepsValueTypes()
{
    const Parameters decoded = Vesk::byteArrayToParameters(QByteArray::fromHex("0a0161"
                                                                               "2201ff"
                                                                               "38ffffffffffffffffff01"
                                                                               "40d209"));
    QCOMPARE(decoded.value("action").typeId(), QMetaType::QString);
    QCOMPARE(decoded.value("binaryData").typeId(), QMetaType::QByteArray);
    QCOMPARE(decoded.value("timeSent").typeId(), QMetaType::LongLong);
    QCOMPARE(decoded.value("timeSent").toLongLong(), qint64(-1));
    QCOMPARE(decoded.value("fileSize").typeId(), QMetaType::UInt);
}

void TestWire::malformedInput_data()
{
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("length beyond the end") << QByteArray("0a0561");
    QTest::newRow("varint cut short") << QByteArray("38ff");
    QTest::newRow("varint longer than ten bytes") << QByteArray("38ffffffffffffffffffffff01");
    QTest::newRow("wire type 7") << QByteArray("0f00");
    QTest::newRow("field number zero") << QByteArray("0001");
    QTest::newRow("end group without start") << QByteArray("0c");
    QTest::newRow("valid field then garbage") << QByteArray("0a0161"
                                                            "ffffffff");
}

void TestWire::malformedInput()
{
    QFETCH(QByteArray, hex);
    TestSupport::MessageCatcher catcher;
    QVERIFY(Vesk::byteArrayToParameters(QByteArray::fromHex(hex)).isEmpty());
    QCOMPARE(catcher.criticals(), QStringList{kParseError});
}

void TestWire::emptyInputIsSilent()
{
    TestSupport::MessageCatcher catcher;
    QVERIFY(Vesk::byteArrayToParameters(QByteArray()).isEmpty());
    QVERIFY(catcher.all().isEmpty());
}

void TestWire::roundTripOfEveryField()
{
    const Parameters parameters{
        {"action", "newChatMessage"},
        {"nodeFrom", "{1b4e28ba-2fa1-11d2-883f-0016d3cca427}"},
        {"fileExtension", "png"},
        {"binaryData", QByteArray("\x00\xff\x00\x7f", 4)},
        {"message", QString::fromUtf8("h\xc3\xa9llo \xe6\x97\xa5\xe6\x9c\xac")},
        {"chatId", "{c}"},
        {"timeSent", qint64(1700000000123)},
        {"fileSize", quint32(3000000000u)},
        {"fileId", "0123456789abcdef0123456789abcdef"},
        {"fileName", "report final.pdf"},
        {"fileSeek", quint32(1000000)},
        {"packetId", "p"},
        {"bufferSize", quint32(1000000)},
        {"sysinfo", "Linux"},
        {"alias", "Ann"},
    };
    QCOMPARE(Vesk::byteArrayToParameters(Vesk::parametersToByteArray(parameters)), parameters);
}

void TestWire::randomInputNeverYieldsForeignKeys()
{
    // Whatever a peer sends, decoding gives either nothing or wire keys only, and what it gives survives another
    // trip through the encoder unchanged.
    QRandomGenerator random(20240611);
    TestSupport::MessageCatcher catcher;
    int failures = 0;
    for (int round = 0; round < 3000; ++round) {
        QByteArray bytes(1 + int(random.bounded(64)), Qt::Uninitialized);
        for (char& byte : bytes)
            byte = char(random.bounded(256));
        catcher.clear();
        const Parameters decoded = Vesk::byteArrayToParameters(bytes);
        if (decoded.isEmpty() && !catcher.criticals().isEmpty()) {
            ++failures;
            QCOMPARE(catcher.criticals(), QStringList{kParseError});
            continue;
        }
        for (auto it = decoded.cbegin(); it != decoded.cend(); ++it)
            QVERIFY2(kWireKeys.contains(it.key()), qPrintable(it.key()));
        QCOMPARE(Vesk::byteArrayToParameters(Vesk::parametersToByteArray(decoded)), decoded);
    }
    QVERIFY(failures > 0);
}

void TestWire::frameIsLengthAndRecord()
{
    const Parameters parameters{{"action", "confirmChat"}, {"chatId", "{x}"}};
    const QByteArray record = Vesk::parametersToByteArray(parameters);
    const QByteArray frame = Vesk::parametersToFrame(parameters);
    QCOMPARE(frame.size(), record.size() + 4);
    QCOMPARE(frame.left(4).toHex(), QByteArray::number(record.size(), 16).rightJustified(2, '0') + "000000");
    QCOMPARE(frame.mid(4), record);
    QCOMPARE(Vesk::parametersToFrame({}).toHex(), QByteArray("00000000"));
}

QTEST_GUILESS_MAIN(TestWire)
#include "tst_wire.moc"
