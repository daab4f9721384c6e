// The launch sequence on a private session bus: first-launch defaults, the
// hand-off from a running launcher, and the order of the launch hooks.

#include "PrivateBus.h"

#include "account/DefaultsKeys.h"
#include "app/AppDelegate.h"
#include "platform/LoginItem.h"
#include "platform/SessionBus.h"
#include "platform/UserDefaults.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace Orvex;

// Stands in for orvex-launcher: owns its name on its own connection and
// records the broadcasts it hears.
class FakeLauncher : public QObject
{
    Q_OBJECT

public:
    explicit FakeLauncher(const QString &address)
        : m_bus(QDBusConnection::connectToBus(address, u"fake-launcher"_s))
    {
        m_bus.connect(QString(), SessionBus::notificationsPath, SessionBus::notificationsInterface,
                      SessionBus::killLauncherName, this, SLOT(killLauncher(QString)));
    }
    ~FakeLauncher() override
    {
        m_bus.unregisterService(SessionBus::launcherAppId);
        QDBusConnection::disconnectFromBus(u"fake-launcher"_s);
    }
    bool run() { return m_bus.registerService(SessionBus::launcherAppId); }

    QStringList received;

public Q_SLOTS:
    void killLauncher(const QString &sender) { received << sender; }

private:
    QDBusConnection m_bus;
};

class tst_AppDelegate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void firstLaunchRegistersAndTellsARunningLauncherToQuit();
    void firstLaunchWithoutLauncherOnlyRegisters();
    void autoStartOffLeavesEverythingAlone();

private:
    std::unique_ptr<PrivateBus> m_bus;
};

void tst_AppDelegate::initTestCase()
{
    m_bus = std::make_unique<PrivateBus>();
    if (m_bus->address().isEmpty())
        QSKIP(qPrintable(u"no private session bus: "_s + m_bus->error()));
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toLocal8Bit());
    QVERIFY(QDBusConnection::sessionBus().isConnected());
}

void tst_AppDelegate::init()
{
    UserDefaults &defaults = UserDefaults::standard();
    for (QLatin1String key : {DefaultsKeys::isLaunchedBefore, DefaultsKeys::isAutoConnectEnabled,
                              DefaultsKeys::isAutoStartEnabled})
        defaults.remove(key);
    LoginItem::setEnabled(SessionBus::launcherAppId, false);
}

void tst_AppDelegate::firstLaunchRegistersAndTellsARunningLauncherToQuit()
{
    FakeLauncher launcher(m_bus->address());
    QVERIFY(launcher.run());

    QStringList order;
    AppDelegate delegate(UserDefaults::standard(), {[&order](bool isLaunch) {
                             order << (isLaunch ? u"update at launch"_s : u"update from menu"_s);
                         }});
    QSignalSpy handedOff(&delegate, &AppDelegate::launcherHandOffFinished);
    delegate.applicationDidFinishLaunching();
    QCOMPARE(order, QStringList{u"update at launch"_s});

    QVERIFY(handedOff.wait());
    QCOMPARE(handedOff.first().first().toBool(), true);
    QVERIFY(LoginItem::isEnabled(SessionBus::launcherAppId));
    QTRY_COMPARE(launcher.received, QStringList{SessionBus::clientAppId});
    UserDefaults &defaults = UserDefaults::standard();
    QVERIFY(defaults.boolean(DefaultsKeys::isLaunchedBefore));
    QVERIFY(defaults.boolean(DefaultsKeys::isAutoConnectEnabled));
    QVERIFY(defaults.boolean(DefaultsKeys::isAutoStartEnabled));
}

void tst_AppDelegate::firstLaunchWithoutLauncherOnlyRegisters()
{
    FakeLauncher listener(m_bus->address()); // hears broadcasts, owns nothing
    AppDelegate delegate(UserDefaults::standard(), {});
    QSignalSpy handedOff(&delegate, &AppDelegate::launcherHandOffFinished);
    delegate.applicationDidFinishLaunching();
    QVERIFY(handedOff.wait());
    QCOMPARE(handedOff.first().first().toBool(), false);
    QVERIFY(LoginItem::isEnabled(SessionBus::launcherAppId));
    // A broadcast would have arrived before a round trip on the same bus.
    QDBusConnection::sessionBus().interface()->isServiceRegistered(SessionBus::launcherAppId);
    QCoreApplication::processEvents();
    QVERIFY(listener.received.isEmpty());
}

void tst_AppDelegate::autoStartOffLeavesEverythingAlone()
{
    UserDefaults &defaults = UserDefaults::standard();
    defaults.setBoolean(DefaultsKeys::isLaunchedBefore, true);
    defaults.setBoolean(DefaultsKeys::isAutoStartEnabled, false);
    defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled, false);
    FakeLauncher launcher(m_bus->address());
    QVERIFY(launcher.run());

    AppDelegate delegate(UserDefaults::standard(), {});
    QSignalSpy handedOff(&delegate, &AppDelegate::launcherHandOffFinished);
    delegate.applicationDidFinishLaunching();
    QVERIFY(!handedOff.wait(500));
    QVERIFY(!LoginItem::isEnabled(SessionBus::launcherAppId));
    QVERIFY(!QFile::exists(LoginItem::entryPath(SessionBus::launcherAppId)));
    QVERIFY(launcher.received.isEmpty());
    QVERIFY(!defaults.boolean(DefaultsKeys::isAutoConnectEnabled));
    QVERIFY(!defaults.boolean(DefaultsKeys::isAutoStartEnabled));
}

QTEST_GUILESS_MAIN(tst_AppDelegate)
#include "tst_appdelegate.moc"
