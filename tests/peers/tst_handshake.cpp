#include "app/globals.h"

#include "app/platform.h"
#include "common/clock.h"
#include "outboxrecorder.h"
#include "peers/avatarstore.h"
#include "store/database.h"
#include "store/vesksqlquerymodel.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using Vesk::Globals;
using Vesk::Parameters;

namespace {

constexpr qint64 kBaseTime = 1700000000000;
const QString kDefaultAvatar = QStringLiteral("qrc:/qml/Vesk/pics/ui/icn-avatar-default-512.png");

qint64 g_now = kBaseTime;

QByteArray pictureBytes(int width, int height, const char* format = "PNG")
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QString peerField(const QString& id, const QString& column)
{
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("select ") + column + QStringLiteral(" from vesk_peers where id = ?"));
    q.bindValue(0, id);
    if (!q.exec() || !q.next())
        return QStringLiteral("<no row>");
    return q.value(0).toString();
}

void setPeerField(const QString& id, const QString& column, const QString& value)
{
    QSqlQuery q(Database::connection());
    q.prepare(QStringLiteral("update vesk_peers set ") + column + QStringLiteral(" = ? where id = ?"));
    q.bindValue(0, value);
    q.bindValue(1, id);
    QVERIFY(q.exec());
}

Parameters fromPeer(const QString& action, const QString& nodeId, const QString& address)
{
    return {{QStringLiteral("action"), action},
            {QStringLiteral("nodeFrom"), nodeId},
            {QStringLiteral("senderIPAddress"), address}};
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class tst_Handshake : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void constructionRecordsTheLocalNode();
    void firstAnnouncementCreatesAnOffRow();
    void laterAnnouncementKeepsStateAndOverwritesIdentity();
    void oversizedIdentityIsBounded_data();
    void oversizedIdentityIsBounded();
    void addMeRequestAnswers_data();
    void addMeRequestAnswers();
    void mutualBlockAnswersAtMostOncePerWindow();
    void unblockedPeerIsAlwaysAnswered();
    void confirmationMarksOnAndRequestsAvatar();
    void requestMyInfoRequestsTheAvatar();
    void avatarRequestWithoutOwnPicture();
    void avatarRequestIsAnsweredWithTheOwnFile();
    void avatarObtainedIsStoredSafely_data();
    void avatarObtainedIsStoredSafely();
    void avatarFromUnknownNodeIsNotStored();
    void changeUserInfoUpdatesOwnRow();
    void unblockUserConfirmsAtOnce();
    void ownAvatarTravelsOverLoopback();

private:
    Globals* g = nullptr;
    OutboxRecorder* outbox = nullptr;
    QTemporaryDir scratch;
};

void tst_Handshake::initTestCase()
{
    // The test's home is its own: start from an empty data folder and no settings, as on a first run.
    QVERIFY(QDir(dataFolderPath()).removeRecursively());
    QSettings(QStringLiteral("Tavimor"), QStringLiteral("Vesk")).clear();
    QVERIFY(QDir().mkpath(dataFolderPath()));
    Vesk::setClockOverride([] { return g_now; });
    outbox = new OutboxRecorder;
    g = Globals::instance();
    QVERIFY(g->nodeData);
    new QAbstractItemModelTester(g->nodeData, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
    new QAbstractItemModelTester(g->nodesProxyData, QAbstractItemModelTester::FailureReportingMode::QtTest, this);
}

void tst_Handshake::init()
{
    g_now += 60 * 60 * 1000; // every test starts in a fresh window of the blocked-answer limit
}

void tst_Handshake::cleanupTestCase()
{
    delete outbox;
    Vesk::setClockOverride({});
}

void tst_Handshake::constructionRecordsTheLocalNode()
{
    QCOMPARE(peerField(g->hostId(), QStringLiteral("ipAddress")), QStringLiteral("127.0.0.1"));
    QCOMPARE(peerField(g->hostId(), QStringLiteral("alias")), g->userAlias());
    QCOMPARE(peerField(g->hostId(), QStringLiteral("sysinfo")), osName());
    const auto requests = outbox->withAction(QStringLiteral("addMeRequest"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().address, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(requests.first().parameters.value(QStringLiteral("nodeFrom")).toString(), g->hostId());
    QCOMPARE(requests.first().parameters.value(QStringLiteral("message")).toString(), QStringLiteral("off"));
}

void tst_Handshake::firstAnnouncementCreatesAnOffRow()
{
    outbox->clear();
    g->addNodeFromUDP(QStringLiteral("first"), QStringLiteral("10.77.0.9"), QStringLiteral("Plan 9"),
                      QStringLiteral("Ann"));

    QCOMPARE(peerField(QStringLiteral("first"), QStringLiteral("status")), QStringLiteral("off"));
    QCOMPARE(peerField(QStringLiteral("first"), QStringLiteral("avatarPath")), kDefaultAvatar);
    QCOMPARE(peerField(QStringLiteral("first"), QStringLiteral("unreadMessagesCount")), QStringLiteral("0"));
    QCOMPARE(peerField(QStringLiteral("first"), QStringLiteral("blocked")), QStringLiteral("no"));
    QCOMPARE(peerField(QStringLiteral("first"), QStringLiteral("timestamp")), QString::number(g_now));
    QCOMPARE(peerField(QStringLiteral("first"), QStringLiteral("alias")), QStringLiteral("Ann"));
    QCOMPARE(peerField(QStringLiteral("first"), QStringLiteral("sysinfo")), QStringLiteral("Plan 9"));

    QCOMPARE(outbox->sent.size(), 1);
    const OutboxRecorder::Sent request = outbox->sent.first();
    QCOMPARE(request.action(), QStringLiteral("addMeRequest"));
    QCOMPARE(request.address, QHostAddress(QStringLiteral("10.77.0.9")));
    QCOMPARE(request.parameters.value(QStringLiteral("nodeFrom")).toString(), g->hostId());
    QCOMPARE(request.parameters.value(QStringLiteral("alias")).toString(), g->userAlias());
    QCOMPARE(request.parameters.value(QStringLiteral("sysinfo")).toString(), osName());
    QCOMPARE(request.parameters.value(QStringLiteral("message")).toString(), QStringLiteral("off"));
}

void tst_Handshake::laterAnnouncementKeepsStateAndOverwritesIdentity()
{
    const QString id = QStringLiteral("keeper");
    const qint64 created = g_now;
    g->addNodeFromUDP(id, QStringLiteral("10.77.0.10"), QStringLiteral("os1"), QStringLiteral("Old"));
    setPeerField(id, QStringLiteral("status"), QStringLiteral("on"));
    setPeerField(id, QStringLiteral("avatarPath"), QStringLiteral("/somewhere/avatar_keeper.png"));
    setPeerField(id, QStringLiteral("unreadMessagesCount"), QStringLiteral("3"));
    setPeerField(id, QStringLiteral("blocked"), QStringLiteral("yes"));

    g_now += 5000;
    outbox->clear();
    g->addNodeFromUDP(id, QStringLiteral("10.77.0.11"), QStringLiteral("os2"), QStringLiteral("New"));

    QCOMPARE(peerField(id, QStringLiteral("alias")), QStringLiteral("New"));
    QCOMPARE(peerField(id, QStringLiteral("ipAddress")), QStringLiteral("10.77.0.11"));
    QCOMPARE(peerField(id, QStringLiteral("sysinfo")), QStringLiteral("os2"));
    QCOMPARE(peerField(id, QStringLiteral("status")), QStringLiteral("on"));
    QCOMPARE(peerField(id, QStringLiteral("avatarPath")), QStringLiteral("/somewhere/avatar_keeper.png"));
    QCOMPARE(peerField(id, QStringLiteral("unreadMessagesCount")), QStringLiteral("3"));
    QCOMPARE(peerField(id, QStringLiteral("blocked")), QStringLiteral("yes"));
    QCOMPARE(peerField(id, QStringLiteral("timestamp")), QString::number(created));
    QCOMPARE(outbox->sent.size(), 1);
    QCOMPARE(outbox->sent.first().parameters.value(QStringLiteral("message")).toString(), QStringLiteral("on"));
}

void tst_Handshake::oversizedIdentityIsBounded_data()
{
    QTest::addColumn<QString>("nodeId");
    QTest::addColumn<bool>("recorded");
    QTest::newRow("empty id") << QString() << false;
    QTest::newRow("longest id") << QString(256, QLatin1Char('i')) << true;
    QTest::newRow("too long id") << QString(257, QLatin1Char('i')) << false;
}

void tst_Handshake::oversizedIdentityIsBounded()
{
    QFETCH(QString, nodeId);
    QFETCH(bool, recorded);
    outbox->clear();
    const QString longAlias = QString(100000, QLatin1Char('a'));
    const QString longOs = QString(3000, QLatin1Char('o'));
    g->addNodeFromUDP(nodeId, QStringLiteral("10.77.0.70"), longOs, longAlias);
    g->handleAddMeRequest({{QStringLiteral("action"), QStringLiteral("addMeRequest")},
                           {QStringLiteral("nodeFrom"), nodeId},
                           {QStringLiteral("senderIPAddress"), QStringLiteral("10.77.0.70")},
                           {QStringLiteral("alias"), longAlias},
                           {QStringLiteral("sysinfo"), longOs}});
    if (!recorded) {
        QCOMPARE(peerField(nodeId, QStringLiteral("id")), QStringLiteral("<no row>"));
        QVERIFY(outbox->sent.isEmpty());
        return;
    }
    QCOMPARE(peerField(nodeId, QStringLiteral("alias")), longAlias.left(256));
    QCOMPARE(peerField(nodeId, QStringLiteral("sysinfo")), longOs.left(256));
    QCOMPARE(outbox->withAction(QStringLiteral("addMeRequest")).size(), 2);
}

void tst_Handshake::addMeRequestAnswers_data()
{
    QTest::addColumn<QString>("blocked");
    QTest::addColumn<QString>("status");
    QTest::addColumn<bool>("confirms");
    QTest::addColumn<bool>("asksBack");

    QTest::newRow("stranger, off") << "no"
                                   << "off" << true << true;
    QTest::newRow("known, on") << "no"
                               << "on" << true << false;
    QTest::newRow("blocked, off") << "yes"
                                  << "off" << false << true;
    QTest::newRow("blocked, on") << "yes"
                                 << "on" << false << false;
}

void tst_Handshake::addMeRequestAnswers()
{
    QFETCH(QString, blocked);
    QFETCH(QString, status);
    QFETCH(bool, confirms);
    QFETCH(bool, asksBack);

    const QString id = QStringLiteral("asker-") + QTest::currentDataTag();
    g->addNodeFromUDP(id, QStringLiteral("10.77.0.20"), QStringLiteral("os"), QStringLiteral("Asker"));
    setPeerField(id, QStringLiteral("blocked"), blocked);
    setPeerField(id, QStringLiteral("status"), status);
    outbox->clear();

    Parameters request = fromPeer(QStringLiteral("addMeRequest"), id, QStringLiteral("10.77.0.21"));
    request.insert(QStringLiteral("alias"), QStringLiteral("Renamed"));
    request.insert(QStringLiteral("sysinfo"), QStringLiteral("os9"));
    request.insert(QStringLiteral("message"), QStringLiteral("whatever"));
    g->handleAddMeRequest(request);

    QCOMPARE(peerField(id, QStringLiteral("alias")), QStringLiteral("Renamed"));
    QCOMPARE(peerField(id, QStringLiteral("ipAddress")), QStringLiteral("10.77.0.21"));
    QCOMPARE(peerField(id, QStringLiteral("sysinfo")), QStringLiteral("os9"));
    QCOMPARE(outbox->withAction(QStringLiteral("addMeRequestConfirmed")).size(), confirms ? 1 : 0);
    QCOMPARE(outbox->withAction(QStringLiteral("addMeRequest")).size(), asksBack ? 1 : 0);
    for (const auto& sent : std::as_const(outbox->sent)) {
        QCOMPARE(sent.address, QHostAddress(QStringLiteral("10.77.0.21")));
        QCOMPARE(sent.parameters.value(QStringLiteral("nodeFrom")).toString(), g->hostId());
    }
    if (asksBack) {
        QCOMPARE(outbox->withAction(QStringLiteral("addMeRequest")).first().parameters.value("message").toString(),
                 status);
    }
}

void tst_Handshake::mutualBlockAnswersAtMostOncePerWindow()
{
    // The other side blocks us too, so it keeps asking and never confirms.
    const QString id = QStringLiteral("mutual");
    g->addNodeFromUDP(id, QStringLiteral("10.77.0.30"), QStringLiteral("os"), QStringLiteral("M"));
    setPeerField(id, QStringLiteral("blocked"), QStringLiteral("yes"));
    outbox->clear();

    const Parameters request = fromPeer(QStringLiteral("addMeRequest"), id, QStringLiteral("10.77.0.30"));
    for (int i = 0; i < 20; ++i) {
        g->handleAddMeRequest(request);
        g_now += 100;
    }
    QCOMPARE(outbox->withAction(QStringLiteral("addMeRequest")).size(), 1);
    QCOMPARE(outbox->withAction(QStringLiteral("addMeRequestConfirmed")).size(), 0);

    // A new announcement cycle later, one more answer goes out.
    g_now += 22000;
    g->handleAddMeRequest(request);
    g->handleAddMeRequest(request);
    QCOMPARE(outbox->withAction(QStringLiteral("addMeRequest")).size(), 2);
}

void tst_Handshake::unblockedPeerIsAlwaysAnswered()
{
    const QString id = QStringLiteral("eager");
    g->addNodeFromUDP(id, QStringLiteral("10.77.0.31"), QStringLiteral("os"), QStringLiteral("E"));
    outbox->clear();
    const Parameters request = fromPeer(QStringLiteral("addMeRequest"), id, QStringLiteral("10.77.0.31"));
    for (int i = 0; i < 5; ++i)
        g->handleAddMeRequest(request);
    QCOMPARE(outbox->withAction(QStringLiteral("addMeRequest")).size(), 5);
    QCOMPARE(outbox->withAction(QStringLiteral("addMeRequestConfirmed")).size(), 5);
}

void tst_Handshake::confirmationMarksOnAndRequestsAvatar()
{
    const QString id = QStringLiteral("confirmer");
    g->addNodeFromUDP(id, QStringLiteral("10.77.0.40"), QStringLiteral("os"), QStringLiteral("C"));
    g->nodesProxyData->refresh();
    const int onlineBefore = g->nodesProxyData->rowCount();
    outbox->clear();

    g->handleAddMeRequestConfirmed(fromPeer(QStringLiteral("addMeRequestConfirmed"), id, QStringLiteral("10.77.0.40")));

    QCOMPARE(peerField(id, QStringLiteral("status")), QStringLiteral("on"));
    QCOMPARE(g->nodesProxyData->rowCount(), onlineBefore + 1);
    QCOMPARE(outbox->sent.size(), 1);
    const OutboxRecorder::Sent request = outbox->sent.first();
    QCOMPARE(request.action(), QStringLiteral("avatarRequested"));
    QCOMPARE(request.address, QHostAddress(QStringLiteral("10.77.0.40")));
    QCOMPARE(request.parameters.value(QStringLiteral("nodeFrom")).toString(), g->hostId());
    // The built-in default cannot be loaded as a file: its key is 0.
    QCOMPARE(request.parameters.value(QStringLiteral("message")).toString(), QStringLiteral("0"));
}

void tst_Handshake::requestMyInfoRequestsTheAvatar()
{
    const QString id = QStringLiteral("curious");
    g->addNodeFromUDP(id, QStringLiteral("10.77.0.41"), QStringLiteral("os"), QStringLiteral("Q"));
    outbox->clear();
    g->processMessage(fromPeer(QStringLiteral("REQUESTMYINFO"), id, QStringLiteral("10.77.0.41")));
    QCOMPARE(outbox->withAction(QStringLiteral("avatarRequested")).size(), 1);
    QCOMPARE(outbox->sent.first().address, QHostAddress(QStringLiteral("10.77.0.41")));
}

void tst_Handshake::avatarRequestWithoutOwnPicture()
{
    // No own picture yet and no account picture in this test's home: the built-in default is all there is.
    QVERIFY(!QFile::exists(dataFolderPath() + QStringLiteral("myavatar.png")));
    TestSupport::MessageCatcher catcher;
    outbox->clear();

    Parameters sameKey = fromPeer(QStringLiteral("avatarRequested"), QStringLiteral("x"), QStringLiteral("10.0.0.1"));
    sameKey.insert(QStringLiteral("message"), QStringLiteral("0"));
    const auto notFound = [&catcher] {
        return catcher.criticals().filter(QRegularExpression(QStringLiteral("^local avatar not found"))).size();
    };
    g->handleAvatarRequested(sameKey);
    QVERIFY(outbox->sent.isEmpty());
    QCOMPARE(notFound(), 0);

    g->handleAvatarRequested(
        fromPeer(QStringLiteral("avatarRequested"), QStringLiteral("x"), QStringLiteral("10.0.0.1")));
    QVERIFY(outbox->sent.isEmpty());
    QCOMPARE(notFound(), 1);
}

void tst_Handshake::avatarRequestIsAnsweredWithTheOwnFile()
{
    const QString source = scratch.filePath(QStringLiteral("me.jpg"));
    QImage(400, 200, QImage::Format_RGB32).save(source, "JPG");
    g->setUserAvatar(source);
    const QString own = g->userAvatar();
    QVERIFY(own.endsWith(QStringLiteral("myavatar.png")));
    QFile file(own);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    outbox->clear();

    // Without a key, and with a key of another loaded image, the request is answered.
    g->handleAvatarRequested(
        fromPeer(QStringLiteral("avatarRequested"), QStringLiteral("x"), QStringLiteral("10.0.0.2")));
    Parameters otherKey = fromPeer(QStringLiteral("avatarRequested"), QStringLiteral("x"), QStringLiteral("10.0.0.2"));
    otherKey.insert(QStringLiteral("message"), QStringLiteral("0"));
    g->handleAvatarRequested(otherKey);

    QCOMPARE(outbox->sent.size(), 2);
    for (const auto& reply : std::as_const(outbox->sent)) {
        QCOMPARE(reply.action(), QStringLiteral("avatarObtained"));
        QCOMPARE(reply.address, QHostAddress(QStringLiteral("10.0.0.2")));
        QCOMPARE(reply.parameters.value(QStringLiteral("binaryData")).toByteArray(), bytes);
        QCOMPARE(reply.parameters.value(QStringLiteral("fileExtension")).toString(), QStringLiteral("png"));
        QCOMPARE(reply.parameters.value(QStringLiteral("nodeFrom")).toString(), g->hostId());
        QCOMPARE(reply.parameters.value(QStringLiteral("message")).toString(), g->userAlias());
    }
}

void tst_Handshake::avatarObtainedIsStoredSafely_data()
{
    QTest::addColumn<QString>("nodeId");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expectedName"); // empty: refused

    const QByteArray png = pictureBytes(32, 32);
    const QByteArray jpeg = pictureBytes(32, 32, "JPG");
    QTest::newRow("plain id") << "abc"
                              << "png" << png << "avatar_abc.png";
    QTest::newRow("braced uuid") << "{0f8fad5b-d9cb-469f-a165-70867728950e}"
                                 << "png" << png << "avatar_{0f8fad5b-d9cb-469f-a165-70867728950e}.png";
    QTest::newRow("upper-case extension") << "upper"
                                          << "PNG" << png << "avatar_upper.png";
    QTest::newRow("jpeg named jpg") << "photo"
                                    << "jpg" << jpeg << "avatar_photo.jpg";
    QTest::newRow("extension not allowed") << "exe"
                                           << "exe" << png << "avatar_exe.png";
    QTest::newRow("extension with a path") << "dots"
                                           << "png/../../x" << jpeg << "avatar_dots.jpeg";
    QTest::newRow("id with a path") << "../../escape"
                                    << "png" << png << Vesk::AvatarStore::fileNameFor("../../escape", "png");
    QTest::newRow("id with a slash") << "a/b"
                                     << "png" << png << Vesk::AvatarStore::fileNameFor("a/b", "png");
    QTest::newRow("not a picture") << "garbage"
                                   << "png" << QByteArray("<html>not an image</html>") << "";
    QTest::newRow("empty") << "empty"
                           << "png" << QByteArray() << "";
    QTest::newRow("too wide") << "wide"
                              << "png" << pictureBytes(Vesk::AvatarStore::kMaxAvatarSide + 1, 1) << "";
}

void tst_Handshake::avatarObtainedIsStoredSafely()
{
    QFETCH(QString, nodeId);
    QFETCH(QString, extension);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expectedName);

    const QString folder = dataFolderPath();
    const QString parent = QDir(folder).absoluteFilePath(QStringLiteral(".."));
    const QStringList parentBefore = filesIn(parent);
    const QStringList before = filesIn(folder);
    g->addNodeFromUDP(nodeId, QStringLiteral("10.77.0.50"), QStringLiteral("os"), QStringLiteral("Pic"));

    TestSupport::MessageCatcher catcher;
    Parameters message = fromPeer(QStringLiteral("avatarObtained"), nodeId, QStringLiteral("10.77.0.50"));
    message.insert(QStringLiteral("binaryData"), bytes);
    message.insert(QStringLiteral("fileExtension"), extension);
    message.insert(QStringLiteral("message"), QStringLiteral("alias, ignored"));
    g->handleAvatarObtained(message);

    QCOMPARE(filesIn(parent), parentBefore);
    if (expectedName.isEmpty()) {
        QCOMPARE(filesIn(folder), before);
        QCOMPARE(peerField(nodeId, QStringLiteral("avatarPath")), kDefaultAvatar);
        QCOMPARE(catcher.criticals().size(), 1);
        return;
    }
    QVERIFY(QRegularExpression(QStringLiteral("^avatar_[A-Za-z0-9{}_-]+\\.[a-z]+$")).match(expectedName).hasMatch());
    const QString path = folder + expectedName;
    QCOMPARE(peerField(nodeId, QStringLiteral("avatarPath")), path);
    QFile stored(path);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), bytes);
    QVERIFY(catcher.criticals().isEmpty());
}

void tst_Handshake::avatarFromUnknownNodeIsNotStored()
{
    const QStringList before = filesIn(dataFolderPath());
    TestSupport::MessageCatcher catcher;
    Parameters message =
        fromPeer(QStringLiteral("avatarObtained"), QStringLiteral("nobody"), QStringLiteral("10.0.0.3"));
    message.insert(QStringLiteral("binaryData"), pictureBytes(8, 8));
    message.insert(QStringLiteral("fileExtension"), QStringLiteral("png"));
    g->handleAvatarObtained(message);
    QCOMPARE(catcher.criticals(), QStringList{QStringLiteral("could not obtain node corresponding tonobody")});
    QCOMPARE(filesIn(dataFolderPath()), before);
    QCOMPARE(peerField(QStringLiteral("nobody"), QStringLiteral("id")), QStringLiteral("<no row>"));

    // A node id chosen to forge log lines, or to fill the log, is logged harmless and short.
    catcher.clear();
    message.insert(QStringLiteral("nodeFrom"),
                   QString(QStringLiteral("x\n2026.01.01 00:00:00[C] forged") + QString(5000, QLatin1Char('y'))));
    g->handleAvatarObtained(message);
    QCOMPARE(catcher.criticals().size(), 1);
    QVERIFY(!catcher.criticals().first().contains(QLatin1Char('\n')));
    QVERIFY(catcher.criticals().first().startsWith(QStringLiteral("could not obtain node corresponding tox?2026")));
    QVERIFY(catcher.criticals().first().size() < 200);
}

void tst_Handshake::changeUserInfoUpdatesOwnRow()
{
    const QString source = scratch.filePath(QStringLiteral("new.png"));
    QImage picture(300, 600, QImage::Format_RGB32);
    picture.fill(Qt::red);
    QVERIFY(picture.save(source, "PNG"));
    QSignalSpy aliasSpy(g, &Globals::userAliasChanged);
    QSignalSpy avatarSpy(g, &Globals::userAvatarChanged);
    outbox->clear();

    g->changeUserInfo(QStringLiteral("Renée"), QUrl::fromLocalFile(source).toString());

    QCOMPARE(g->userAlias(), QStringLiteral("Renée"));
    QCOMPARE(aliasSpy.size(), 1);
    QCOMPARE(avatarSpy.size(), 1);
    const QImage stored(dataFolderPath() + QStringLiteral("myavatar.png"));
    QCOMPARE(stored.size(), QSize(128, 256));
    QCOMPARE(peerField(g->hostId(), QStringLiteral("alias")), QStringLiteral("Renée"));
    QCOMPARE(outbox->sent.size(), 1);
    QCOMPARE(outbox->sent.first().action(), QStringLiteral("avatarRequested"));
    QCOMPARE(outbox->sent.first().address, QHostAddress(QHostAddress::LocalHost));
}

void tst_Handshake::unblockUserConfirmsAtOnce()
{
    const QString id = QStringLiteral("forgiven");
    g->addNodeFromUDP(id, QStringLiteral("10.77.0.60"), QStringLiteral("os"), QStringLiteral("F"));
    setPeerField(id, QStringLiteral("blocked"), QStringLiteral("yes"));
    outbox->clear();

    g->unblockUser(id);

    QCOMPARE(peerField(id, QStringLiteral("blocked")), QStringLiteral("no"));
    QCOMPARE(outbox->sent.size(), 1);
    QCOMPARE(outbox->sent.first().action(), QStringLiteral("addMeRequestConfirmed"));
    QCOMPARE(outbox->sent.first().address, QHostAddress(QStringLiteral("10.77.0.60")));
    QCOMPARE(outbox->sent.first().parameters.value(QStringLiteral("nodeFrom")).toString(), g->hostId());
}

void tst_Handshake::ownAvatarTravelsOverLoopback()
{
    // The real path: the request leaves on a TCP connection to the loopback, comes back through the server and
    // dispatch, is answered by this very instance, and the answer links the own row to its stored copy.
    QVERIFY(g->tcpServer.isListening());
    const QString expected = dataFolderPath() + Vesk::AvatarStore::fileNameFor(g->hostId(), QStringLiteral("png"));
    QFile::remove(expected);
    setPeerField(g->hostId(), QStringLiteral("avatarPath"), kDefaultAvatar);
    outbox->deliver = true;
    g->requestAvatar(g->hostId());
    QTRY_COMPARE_WITH_TIMEOUT(peerField(g->hostId(), QStringLiteral("avatarPath")), expected, 10000);
    outbox->deliver = false;
    QCOMPARE(QImage(expected).size(), QImage(g->userAvatar()).size());
}

QTEST_MAIN(tst_Handshake)
#include "tst_handshake.moc"
