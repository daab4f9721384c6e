// The tray menu as a desktop's tray host sees it: a fake StatusNotifierWatcher
// (python3-dbusmock) on a private session bus, the client on its own X server
// (Xvfb), and the exported menu read and clicked over D-Bus with gdbus.

#include "DBusMock.h"
#include "FakeVpnBackend.h"
#include "PrivateBus.h"
#include "Xvfb.h"

#include "ui/AppStoryboard.h"
#include "app/AppWiring.h"
#include "app/InfoViewController.h"
#include "app/QuitSequence.h"
#include "app/StatusMenuController.h"
#include "app/StatusMenuHandler.h"
#include "ui/TunnelStatusSource.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "platform/VpnManager.h"
#include "vpn/VPNService.h"

#include "TestSession.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

using namespace Orvex;

namespace {

struct Gdbus
{
    int exitCode = -1;
    QString output;
};

// Runs gdbus while this thread's event loop keeps going, so the client in
// this very process can answer what gdbus asks it.
Gdbus gdbus(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("gdbus"), arguments);
    Gdbus result;
    if (!process.waitForStarted(10000))
        return result;
    if (!QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 30000)) {
        process.kill();
        process.waitForFinished(2000);
        return result;
    }
    result.exitCode = process.exitCode();
    result.output = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    return result;
}

struct MenuEntry
{
    int id = 0;
    QString label;
    QString shortcut;
};

// The top-level entries of a GetLayout answer, in order.
QList<MenuEntry> entriesOf(const QString &layout)
{
    static const QRegularExpression item(QStringLiteral(R"(<\((\d+), \{([^}]*)\}, (?:@av )?\[\]\)>)"));
    static const QRegularExpression label(QStringLiteral(R"('label': <'([^']*)'>)"));
    static const QRegularExpression shortcut(QStringLiteral(R"('shortcut': <\[\[([^\]]*)\]\]>)"));
    QList<MenuEntry> entries;
    for (auto it = item.globalMatch(layout); it.hasNext();) {
        const auto match = it.next();
        MenuEntry entry;
        entry.id = match.captured(1).toInt();
        entry.label = label.match(match.captured(2)).captured(1);
        entry.shortcut = shortcut.match(match.captured(2)).captured(1);
        entries << entry;
    }
    return entries;
}

QStringList labelsOf(const QList<MenuEntry> &entries)
{
    QStringList labels;
    for (const MenuEntry &entry : entries)
        labels << entry.label;
    return labels;
}

} // namespace

class tst_TrayMenu : public QObject
{
    Q_OBJECT

public:
    explicit tst_TrayMenu(PrivateBus *bus) : m_bus(bus) {}

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void theTrayHostGetsTheIconAndItsMenu();
    void theMenuFollowsTheTunnel();
    void clickingTheIconBringsTheWindowBack();
    void choosingQuitInTheTrayHostQuits();

private:
    QList<MenuEntry> layout();

    PrivateBus *m_bus;
    QTemporaryDir m_dir;
    std::unique_ptr<DBusMock> m_watcher;
    FakeVpnBackend *m_backend = nullptr;
    std::unique_ptr<VpnManager> m_manager;
    TestSession m_session;
    std::unique_ptr<VPNService> m_service;
    std::unique_ptr<AppWiring> m_app;
    QString m_itemService;
    int m_exits = 0;
};

void tst_TrayMenu::initTestCase()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs an X server (Xvfb)");
    QVERIFY2(m_bus->isRunning(), qPrintable(m_bus->error()));
    if (QStandardPaths::findExecutable(QStringLiteral("gdbus")).isEmpty()
        || !QFile::exists(QStringLiteral("/usr/bin/python3")))
        QSKIP("needs gdbus and /usr/bin/python3 with python3-dbusmock");

    QVERIFY(m_dir.isValid());
    m_watcher = std::make_unique<DBusMock>(QString(), QByteArray(DBusMockText::trayHost));
    QVERIFY(m_watcher->started());
    // Ready once the watcher owns its name.
    QTRY_VERIFY_WITH_TIMEOUT(gdbus({QStringLiteral("call"), QStringLiteral("--session"),
                                    QStringLiteral("--dest"), QStringLiteral("org.freedesktop.DBus"),
                                    QStringLiteral("--object-path"), QStringLiteral("/org/freedesktop/DBus"),
                                    QStringLiteral("--method"), QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                                    QStringLiteral("org.kde.StatusNotifierWatcher")})
                                 .output.contains(QStringLiteral("true")),
                             30000);

    Config::setCurrent(*Config::parse({}, {}, nullptr));
    auto backend = std::make_unique<FakeVpnBackend>();
    m_backend = backend.get();
    m_manager = std::make_unique<VpnManager>(std::move(backend), m_dir.filePath(QStringLiteral("vpn.json")));
    m_service = std::make_unique<VPNService>(m_manager.get(), m_session.session);
    m_app = std::make_unique<AppWiring>(qApp, &m_session.session,
                                        AppWiring::Tunnel{m_manager.get(), m_service.get()});
    m_app->quit().exitApplication = [this] { ++m_exits; };
    m_app->window().setContentViewController(instantiate<InfoViewController>(AppStoryboard::Settings));
    m_app->window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_app->window()));
}

void tst_TrayMenu::cleanupTestCase()
{
    m_app.reset();
    m_watcher.reset();
}

QList<MenuEntry> tst_TrayMenu::layout()
{
    const Gdbus answer = gdbus({QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
                                m_itemService, QStringLiteral("--object-path"), QStringLiteral("/MenuBar"),
                                QStringLiteral("--method"), QStringLiteral("com.canonical.dbusmenu.GetLayout"),
                                // "--": the -1 (every level) is an argument, not an option
                                QStringLiteral("--"), QStringLiteral("0"), QStringLiteral("-1"),
                                QStringLiteral("[]")});
    return answer.exitCode == 0 ? entriesOf(answer.output) : QList<MenuEntry>{};
}

void tst_TrayMenu::theTrayHostGetsTheIconAndItsMenu()
{
    QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    // The client registered its item with the watcher, under its
    // connection's unique name.
    static const QRegularExpression registered(QStringLiteral(R"(\[<'([^']+)'>\])"));
    auto registeredItem = [] {
        return registered
            .match(gdbus({QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
                          QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("--object-path"),
                          QStringLiteral("/StatusNotifierWatcher"), QStringLiteral("--method"),
                          QStringLiteral("org.freedesktop.DBus.Mock.GetMethodCalls"),
                          QStringLiteral("RegisterStatusNotifierItem")})
                       .output)
            .captured(1);
    };
    QTRY_VERIFY_WITH_TIMEOUT(!registeredItem().isEmpty(), 30000);
    m_itemService = registeredItem();

    // After the first reading (the tunnel is not up): Show, Connect, Quit.
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(layout()),
                              (QStringList{QStringLiteral("Show"), QStringLiteral("Connect"), QStringLiteral("Quit")}),
                              30000);
    const QList<MenuEntry> entries = layout();
    QCOMPARE(entries.constLast().shortcut, QStringLiteral("'Control', 'Q'"));
    QVERIFY(entries.constFirst().shortcut.isEmpty());

    const Gdbus title = gdbus({QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
                               m_itemService, QStringLiteral("--object-path"), QStringLiteral("/StatusNotifierItem"),
                               QStringLiteral("--method"), QStringLiteral("org.freedesktop.DBus.Properties.Get"),
                               QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("ToolTip")});
    QVERIFY2(title.output.contains(QStringLiteral("Orvex Cloud")), qPrintable(title.output));
}

void tst_TrayMenu::theMenuFollowsTheTunnel()
{
    m_backend->setLiveStatus(VpnStatus::Connected);
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(layout()).value(1), QStringLiteral("Disconnect"), 30000);
    QCOMPARE(m_app->statusMenu().imageName(), QStringLiteral("app_status_icon"));
    m_backend->setLiveStatus(VpnStatus::Disconnected);
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(layout()).value(1), QStringLiteral("Connect"), 30000);
    QCOMPARE(m_app->statusMenu().imageName(), QStringLiteral("app_status_icon_off"));
}

void tst_TrayMenu::clickingTheIconBringsTheWindowBack()
{
    m_app->window().hide();
    QVERIFY(!m_app->window().isVisible());
    const Gdbus click = gdbus({QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
                               m_itemService, QStringLiteral("--object-path"), QStringLiteral("/StatusNotifierItem"),
                               QStringLiteral("--method"), QStringLiteral("org.kde.StatusNotifierItem.Activate"),
                               QStringLiteral("0"), QStringLiteral("0")});
    QCOMPARE(click.exitCode, 0);
    QTRY_VERIFY(m_app->window().isVisible());
}

void tst_TrayMenu::choosingQuitInTheTrayHostQuits()
{
    m_backend->setLiveStatus(VpnStatus::Disconnected);
    const QList<MenuEntry> entries = layout();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries.constLast().label, QStringLiteral("Quit"));
    const Gdbus chosen = gdbus({QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("--dest"),
                                m_itemService, QStringLiteral("--object-path"), QStringLiteral("/MenuBar"),
                                QStringLiteral("--method"), QStringLiteral("com.canonical.dbusmenu.Event"),
                                QString::number(entries.constLast().id), QStringLiteral("clicked"),
                                QStringLiteral("<0>"), QStringLiteral("0")});
    QCOMPARE(chosen.exitCode, 0);
    // The tunnel state is known (down): the configuration is saved, the stop
    // sent, and the client ends.
    QTRY_COMPARE_WITH_TIMEOUT(m_exits, 1, 30000);
    QVERIFY(m_backend->calls.contains(QStringLiteral("stop")));
}

int main(int argc, char *argv[])
{
    // A tray host needs a real X server and a session bus of our own, both in
    // place before the application connects to them.
    Xvfb display;
    if (display.isRunning())
        display.exportAsDisplay();
    PrivateBus bus;
    if (bus.isRunning())
        bus.exportAsSessionBus();
    QApplication app(argc, argv);
    tst_TrayMenu test(&bus);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_traymenu.moc"
