#include "app/appicons.h"

#include "app/globals.h"
#include "app/taskbarintegration.h"
#include "app/veskqmlviewer.h"
#include "store/database.h"
#include "testsupport.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QImage>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QSystemTrayIcon>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/types.h>

using Vesk::Globals;

namespace {

constexpr const char* kLauncherInterface = "com.canonical.Unity.LauncherEntry";

// A private session bus for this process, like dbus-run-session gives a command: the launcher signal is
// observed there, and a developer's real desktop never sees the test's badges.
pid_t g_busPid = 0;
QString g_busProblem;

void startPrivateSessionBus()
{
    FILE* out = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>&1", "r");
    if (!out) {
        g_busProblem = QStringLiteral("could not run dbus-daemon");
        return;
    }
    char line[512];
    std::string address;
    std::string pid;
    if (fgets(line, sizeof line, out))
        address = line;
    if (fgets(line, sizeof line, out))
        pid = line;
    pclose(out);
    while (!address.empty() && (address.back() == '\n' || address.back() == '\r'))
        address.pop_back();
    if (address.rfind("unix:", 0) != 0 || pid.empty()) {
        g_busProblem = QStringLiteral("dbus-daemon did not start a session bus (is the dbus package installed?): ") +
                       QString::fromStdString(address);
        return;
    }
    g_busPid = pid_t(std::atol(pid.c_str()));
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}

void stopPrivateSessionBus()
{
    if (g_busPid > 0)
        kill(g_busPid, SIGTERM);
}

// Columns of the image that hold white ink, grouped into runs: one run per digit that was drawn apart.
struct Ink
{
    QRect bounds;
    int runs = 0;
    int pixels = 0;
};

Ink whiteInk(const QImage& image)
{
    Ink ink;
    bool previousColumn = false;
    for (int x = 0; x < image.width(); ++x) {
        bool column = false;
        for (int y = 0; y < image.height(); ++y) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() > 200 && c.red() > 235 && c.green() > 235 && c.blue() > 235) {
                column = true;
                ++ink.pixels;
                ink.bounds |= QRect(x, y, 1, 1);
            }
        }
        if (column && !previousColumn)
            ++ink.runs;
        previousColumn = column;
    }
    return ink;
}

} // namespace

class TestAppIcons : public QObject
{
    Q_OBJECT

public slots:
    void onLauncherUpdate(const QString& app, const QVariantMap& properties);

private slots:
    void initTestCase();
    void init();
    void titleFollowsTheCount_data();
    void titleFollowsTheCount();
    void badgeShowsEveryDigit_data();
    void badgeShowsEveryDigit();
    void trayIconBackToAppIconAtZero();
    void launcherEntryCarriesTheCount();
    void launcherEntryCarriesTheProgress();

private:
    void setCounts(const QList<int>& unread, int pending);
    Globals* g = nullptr;
    VeskQMLViewer* window = nullptr;
    QList<QPair<QString, QVariantMap>> updates;
};

void TestAppIcons::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavimor"));
    QCoreApplication::setApplicationName(QStringLiteral("Vesk"));
    g = Globals::instance();
    window = new VeskQMLViewer();
}

void TestAppIcons::init()
{
    setCounts({}, 0);
    g->updateAppIcons();
    updates.clear();
}

void TestAppIcons::setCounts(const QList<int>& unread, int pending)
{
    QSqlQuery q(Database::connection());
    QVERIFY_SQL(q, exec(QStringLiteral("delete from vesk_peers")));
    QVERIFY_SQL(q, exec(QStringLiteral("delete from vesk_downloads")));
    for (int i = 0; i < unread.size(); ++i) {
        QVERIFY_SQL(q, prepare(QStringLiteral("insert into vesk_peers (id, alias, status, unreadMessagesCount) "
                                              "values (?, 'peer', 'on', ?)")));
        q.addBindValue(QStringLiteral("{peer-%1}").arg(i));
        q.addBindValue(QString::number(unread.at(i)));
        QVERIFY_SQL(q, exec());
    }
    for (int i = 0; i < pending; ++i) {
        QVERIFY_SQL(q, prepare(QStringLiteral("insert into vesk_downloads (id, status, nodefrom, filename, filesize) "
                                              "values (?, 'unknown', '{peer-0}', 'f', 1)")));
        q.addBindValue(QStringLiteral("d%1").arg(i));
        QVERIFY_SQL(q, exec());
    }
    // Downloads in other states are not waiting for the user.
    QVERIFY_SQL(q, exec(QStringLiteral("insert into vesk_downloads (id, status, nodefrom, filename, filesize) "
                                       "values ('q', 'queued', '{peer-0}', 'f', 1), "
                                       "('c', 'downloaded', '{peer-0}', 'f', 1)")));
}

void TestAppIcons::titleFollowsTheCount_data()
{
    QTest::addColumn<QList<int>>("unread");
    QTest::addColumn<int>("pending");
    QTest::addColumn<QString>("title");
    QTest::newRow("nothing") << QList<int>{} << 0 << QStringLiteral("Vesk");
    QTest::newRow("zero unread") << QList<int>{0, 0} << 0 << QStringLiteral("Vesk");
    QTest::newRow("2 unread + 1 pending") << QList<int>{2} << 1 << QStringLiteral("3: Vesk");
    QTest::newRow("over peers") << QList<int>{1, 2, 0} << 0 << QStringLiteral("3: Vesk");
    QTest::newRow("pending only") << QList<int>{} << 2 << QStringLiteral("2: Vesk");
    QTest::newRow("no cap") << QList<int>{1000, 234} << 0 << QStringLiteral("1234: Vesk");
}

void TestAppIcons::titleFollowsTheCount()
{
    QFETCH(QList<int>, unread);
    QFETCH(int, pending);
    QFETCH(QString, title);
    setCounts(unread, pending);
    g->updateAppIcons();
    QCOMPARE(window->windowTitle(), title);

    setCounts({}, 0);
    g->updateAppIcons();
    QCOMPARE(window->windowTitle(), QStringLiteral("Vesk"));
}

void TestAppIcons::badgeShowsEveryDigit_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("1") << 1;
    QTest::newRow("3") << 3;
    QTest::newRow("42") << 42;
    QTest::newRow("123") << 123;
    QTest::newRow("1234") << 1234;
    QTest::newRow("98765") << 98765;
}

void TestAppIcons::badgeShowsEveryDigit()
{
    QFETCH(int, count);
    const QImage disc(QStringLiteral(":/qml/Vesk/pics/redcircle.png"));
    QVERIFY(!disc.isNull());
    QCOMPARE(whiteInk(disc).pixels, 0);

    const QImage badge = Vesk::AppIcons::badgePixmap(count).toImage();
    QCOMPARE(badge.size(), disc.size());
    const Ink ink = whiteInk(badge);
    QCOMPARE(ink.runs, QString::number(count).size());
    // Every white pixel lies on the disc, well inside its rim: nothing is cut off at the edges.
    const QPointF centre = QRectF(badge.rect()).center();
    const qreal radius = badge.width() / 2.0;
    for (const QPoint corner :
         {ink.bounds.topLeft(), ink.bounds.topRight(), ink.bounds.bottomLeft(), ink.bounds.bottomRight()}) {
        const QPointF d = QPointF(corner) - centre;
        QVERIFY2(std::hypot(d.x(), d.y()) < radius * 0.9,
                 qPrintable(QStringLiteral("ink corner %1,%2").arg(corner.x()).arg(corner.y())));
    }
    // Roughly centred.
    QVERIFY(qAbs(ink.bounds.center().x() - centre.x()) < badge.width() / 16.0);
    QVERIFY(qAbs(ink.bounds.center().y() - centre.y()) < badge.height() / 16.0);

    if (count >= 10) {
        const QImage shorter = Vesk::AppIcons::badgePixmap(count / 10).toImage();
        QVERIFY(shorter != badge);
    }
}

void TestAppIcons::trayIconBackToAppIconAtZero()
{
    const QImage appIcon = QIcon(QStringLiteral(":/qml/Vesk/pics/Vesk.png")).pixmap(64).toImage();
    setCounts({5}, 0);
    g->updateAppIcons();
    g->trayIcon->setIcon(QIcon(Vesk::AppIcons::badgePixmap(5)));
    g->updateAppIcons();
    QVERIFY(g->trayIcon->icon().pixmap(64).toImage() != appIcon); // a count leaves the tray icon alone

    setCounts({}, 0);
    g->updateAppIcons();
    QCOMPARE(g->trayIcon->icon().pixmap(64).toImage(), appIcon);
}

void TestAppIcons::onLauncherUpdate(const QString& app, const QVariantMap& properties)
{
    updates.append({app, properties});
}

void TestAppIcons::launcherEntryCarriesTheCount()
{
    if (!g_busProblem.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no private session bus: ") + g_busProblem));
    QDBusConnection listener = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("listener"));
    QVERIFY2(listener.isConnected(), qPrintable(listener.lastError().message()));
    QVERIFY(listener.connect(QString(), QStringLiteral("/"), QLatin1String(kLauncherInterface),
                             QStringLiteral("Update"), this, SLOT(onLauncherUpdate(QString, QVariantMap))));

    setCounts({2}, 1);
    g->updateAppIcons();
    QTRY_VERIFY(!updates.isEmpty());
    QCOMPARE(updates.last().first, QStringLiteral("application://vesk.desktop"));
    QCOMPARE(updates.last().second.value(QStringLiteral("count")).toLongLong(), 3);
    QCOMPARE(updates.last().second.value(QStringLiteral("count-visible")).toBool(), true);

    updates.clear();
    setCounts({1234}, 0);
    g->updateAppIcons();
    QTRY_VERIFY(!updates.isEmpty());
    QCOMPARE(updates.last().second.value(QStringLiteral("count")).toLongLong(), 1234);

    updates.clear();
    setCounts({}, 0);
    g->updateAppIcons();
    QTRY_VERIFY(!updates.isEmpty());
    QCOMPARE(updates.last().second.value(QStringLiteral("count")).toLongLong(), 0);
    QCOMPARE(updates.last().second.value(QStringLiteral("count-visible")).toBool(), false);
    QDBusConnection::disconnectFromBus(QStringLiteral("listener"));
}

void TestAppIcons::launcherEntryCarriesTheProgress()
{
    if (!g_busProblem.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no private session bus: ") + g_busProblem));
    QDBusConnection listener = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("listener2"));
    QVERIFY(listener.connect(QString(), QStringLiteral("/"), QLatin1String(kLauncherInterface),
                             QStringLiteral("Update"), this, SLOT(onLauncherUpdate(QString, QVariantMap))));
    QVERIFY(g->taskbar);
    g->taskbar->setProgressState(TaskbarIntegration::Normal);
    g->taskbar->setProgressValue(50, 200);
    QTRY_COMPARE(updates.size(), 2);
    QCOMPARE(updates.last().second.value(QStringLiteral("progress")).toDouble(), 0.25);
    QCOMPARE(updates.last().second.value(QStringLiteral("progress-visible")).toBool(), true);

    g->taskbar->setProgressState(TaskbarIntegration::NoProgress);
    QTRY_COMPARE(updates.size(), 3);
    QCOMPARE(updates.last().second.value(QStringLiteral("progress-visible")).toBool(), false);
    QDBusConnection::disconnectFromBus(QStringLiteral("listener2"));
}

int main(int argc, char** argv)
{
    startPrivateSessionBus();
    int result = 0;
    {
        QApplication app(argc, argv);
        TestAppIcons test;
        QTEST_SET_MAIN_SOURCE_PATH
        result = QTest::qExec(&test, argc, argv);
    }
    stopPrivateSessionBus();
    return result;
}

#include "tst_appicons.moc"
