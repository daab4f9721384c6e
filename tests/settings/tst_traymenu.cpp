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

using namespace Qt::StringLiterals;

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
    process.start(u"gdbus"_s, arguments);
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
    if (QGuiApplication::platformName() != "xcb"_L1)
        QSKIP("needs an X server (Xvfb)");
    QVERIFY2(m_bus->isRunning(), qPrintable(m_bus->error()));
    if (QStandardPaths::findExecutable(u"gdbus"_s).isEmpty()
        || !QFile::exists(u"/usr/bin/python3"_s))
        QSKIP("needs gdbus and /usr/bin/python3 with python3-dbusmock");

    QVERIFY(m_dir.isValid());
    m_watcher = std::make_unique<DBusMock>(QString(), QByteArray(DBusMockText::trayHost));
    QVERIFY(m_watcher->started());
    // Ready once the watcher owns its name.
    QTRY_VERIFY_WITH_TIMEOUT(gdbus({u"call"_s, u"--session"_s,
                                    u"--dest"_s, u"org.freedesktop.DBus"_s,
                                    u"--object-path"_s, u"/org/freedesktop/DBus"_s,
                                    u"--method"_s, u"org.freedesktop.DBus.NameHasOwner"_s,
                                    u"org.kde.StatusNotifierWatcher"_s})
                                 .output.contains(u"true"_s),
                             30000);

    Config::setCurrent(*Config::parse({}, {}, nullptr));
    auto backend = std::make_unique<FakeVpnBackend>();
    m_backend = backend.get();
    m_manager = std::make_unique<VpnManager>(std::move(backend), m_dir.filePath(u"vpn.json"_s));
    m_service = std::make_unique<VPNService>(m_manager.get());
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
    const Gdbus answer = gdbus({u"call"_s, u"--session"_s, u"--dest"_s,
                                m_itemService, u"--object-path"_s, u"/MenuBar"_s,
                                u"--method"_s, u"com.canonical.dbusmenu.GetLayout"_s,
                                // "--": the -1 (every level) is an argument, not an option
                                u"--"_s, u"0"_s, u"-1"_s,
                                u"[]"_s});
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
            .match(gdbus({u"call"_s, u"--session"_s, u"--dest"_s,
                          u"org.kde.StatusNotifierWatcher"_s, u"--object-path"_s,
                          u"/StatusNotifierWatcher"_s, u"--method"_s,
                          u"org.freedesktop.DBus.Mock.GetMethodCalls"_s,
                          u"RegisterStatusNotifierItem"_s})
                       .output)
            .captured(1);
    };
    QTRY_VERIFY_WITH_TIMEOUT(!registeredItem().isEmpty(), 30000);
    m_itemService = registeredItem();

    // After the first reading (the tunnel is not up): Show, Connect, Quit.
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(layout()),
                              (QStringList{u"Show"_s, u"Connect"_s, u"Quit"_s}),
                              30000);
    const QList<MenuEntry> entries = layout();
    QCOMPARE(entries.constLast().shortcut, u"'Control', 'Q'"_s);
    QVERIFY(entries.constFirst().shortcut.isEmpty());

    const Gdbus title = gdbus({u"call"_s, u"--session"_s, u"--dest"_s,
                               m_itemService, u"--object-path"_s, u"/StatusNotifierItem"_s,
                               u"--method"_s, u"org.freedesktop.DBus.Properties.Get"_s,
                               u"org.kde.StatusNotifierItem"_s, u"ToolTip"_s});
    QVERIFY2(title.output.contains(u"Orvex Cloud"_s), qPrintable(title.output));
}

void tst_TrayMenu::theMenuFollowsTheTunnel()
{
    m_backend->setLiveStatus(VpnStatus::Connected);
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(layout()).value(1), u"Disconnect"_s, 30000);
    QCOMPARE(m_app->statusMenu().imageName(), u"app_status_icon"_s);
    m_backend->setLiveStatus(VpnStatus::Disconnected);
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(layout()).value(1), u"Connect"_s, 30000);
    QCOMPARE(m_app->statusMenu().imageName(), u"app_status_icon_off"_s);
}

void tst_TrayMenu::clickingTheIconBringsTheWindowBack()
{
    m_app->window().hide();
    QVERIFY(!m_app->window().isVisible());
    const Gdbus click = gdbus({u"call"_s, u"--session"_s, u"--dest"_s,
                               m_itemService, u"--object-path"_s, u"/StatusNotifierItem"_s,
                               u"--method"_s, u"org.kde.StatusNotifierItem.Activate"_s,
                               u"0"_s, u"0"_s});
    QCOMPARE(click.exitCode, 0);
    QTRY_VERIFY(m_app->window().isVisible());
}

void tst_TrayMenu::choosingQuitInTheTrayHostQuits()
{
    m_backend->setLiveStatus(VpnStatus::Disconnected);
    const QList<MenuEntry> entries = layout();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries.constLast().label, u"Quit"_s);
    const Gdbus chosen = gdbus({u"call"_s, u"--session"_s, u"--dest"_s,
                                m_itemService, u"--object-path"_s, u"/MenuBar"_s,
                                u"--method"_s, u"com.canonical.dbusmenu.Event"_s,
                                QString::number(entries.constLast().id), u"clicked"_s,
                                u"<0>"_s, u"0"_s});
    QCOMPARE(chosen.exitCode, 0);
    // The tunnel state is known (down): the configuration is saved, the stop
    // sent, and the client ends.
    QTRY_COMPARE_WITH_TIMEOUT(m_exits, 1, 30000);
    QVERIFY(m_backend->calls.contains(u"stop"_s));
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
