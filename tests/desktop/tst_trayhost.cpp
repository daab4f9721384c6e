// The tray on a real X server or Wayland compositor of the test's own, with a
// tray host faked by python3-dbusmock on a private session bus: the exported
// item and menu read and clicked over D-Bus with gdbus, as a host would.
// Without a tray host closing the window quits: see tst_statusmenu.

#include "DBusMock.h"
#include "FakeVPNBackend.h"
#include "ScreenHost.h"
#include "Weston.h"
#include "Xvfb.h"

#include "app/AppWiring.h"
#include "tray/StatusMenuController.h"
#include "tray/StatusMenuHandler.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "platform/VPNManager.h"
#include "vpn/VPNService.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

const QString watcherService = u"org.kde.StatusNotifierWatcher"_s;

// Runs gdbus while this thread's event loop keeps going, so the client in
// this very process can answer what gdbus asks it; its output, or nothing.
QString gdbus(const QStringList &arguments)
{
    QProcess process;
    process.start(u"gdbus"_s, arguments);
    if (!process.waitForStarted(10000))
        return {};
    if (!QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 30000)) {
        process.kill();
        process.waitForFinished(2000);
        return {};
    }
    return process.exitCode() == 0 ? QString::fromUtf8(process.readAllStandardOutput()) : QString();
}

struct MenuEntry
{
    int id = 0;
    QString label;
    QString shortcut;
};

// The top-level entries of the menu exported by `item`, in order.
QList<MenuEntry> menuOf(const QString &item)
{
    const QString layout = gdbus({u"call"_s, u"--session"_s, u"--dest"_s, item, u"--object-path"_s,
                                  u"/MenuBar"_s, u"--method"_s, u"com.canonical.dbusmenu.GetLayout"_s,
                                  // "--": the -1 (every level) is an argument, not an option
                                  u"--"_s, u"0"_s, u"-1"_s, u"[]"_s});
    static const QRegularExpression entry(uR"(<\((\d+), \{([^}]*)\}, (?:@av )?\[\]\)>)"_s);
    static const QRegularExpression label(uR"('label': <'([^']*)'>)"_s);
    static const QRegularExpression shortcut(uR"('shortcut': <\[\[([^\]]*)\]\]>)"_s);
    QList<MenuEntry> entries;
    for (auto it = entry.globalMatch(layout); it.hasNext();) {
        const auto match = it.next();
        entries << MenuEntry{match.captured(1).toInt(), label.match(match.captured(2)).captured(1),
                             shortcut.match(match.captured(2)).captured(1)};
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

class tst_TrayHost : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void trayHostFollowsTheTunnel();
    void closingTheWindowKeepsTheClientInTheTray();
    void choosingQuitInTheTrayHostQuits();

private:
    TestSession m_session;
    QString registeredItem();

    QTemporaryDir m_dir;
    std::unique_ptr<DBusMock> m_watcher;
    FakeVPNBackend *m_backend = nullptr;
    std::unique_ptr<VPNManager> m_manager;
    std::unique_ptr<VPNService> m_service;
    std::unique_ptr<StatusMenuController> m_tray;
    std::unique_ptr<WindowController> m_window;
    int m_exits = 0;
};

void tst_TrayHost::initTestCase()
{
#ifdef ORVEX_ON_WAYLAND
    QCOMPARE(QGuiApplication::platformName(), u"wayland"_s);
#else
    QCOMPARE(QGuiApplication::platformName(), u"xcb"_s);
#endif
    QVERIFY(m_dir.isValid());

    m_watcher = std::make_unique<DBusMock>(QString(), DBusMockText::trayHost);
    QVERIFY2(m_watcher->started(), "python3-dbusmock is needed (scripts/install-deps)");
    QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(watcherService),
                             30000);

    auto backend = std::make_unique<FakeVPNBackend>();
    m_backend = backend.get();
    m_manager = std::make_unique<VPNManager>(std::move(backend), m_dir.filePath(u"vpn.json"_s));
    m_service = std::make_unique<VPNService>(m_manager.get(), m_session.session, m_session.config);

    m_window = std::make_unique<WindowController>(m_session.context);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_tray = std::make_unique<StatusMenuController>(*m_service, m_session.network,
                                                    [this] { m_window->bringForward(); });
    m_tray->handler()->exitApplication = [this] { ++m_exits; };
}

void tst_TrayHost::cleanupTestCase()
{
    m_tray.reset();
    m_window.reset();
    m_watcher.reset();
}

// The bus name the client registered its item under, from the watcher's
// record of calls.
QString tst_TrayHost::registeredItem()
{
    const QList<QVariantList> calls = DBusMock::calls(watcherService, u"/StatusNotifierWatcher"_s,
                                                      u"RegisterStatusNotifierItem"_s);
    return calls.isEmpty() || calls.constLast().isEmpty() ? QString()
                                                          : calls.constLast().constFirst().toString();
}

// Closes the window from inside a running event loop, as the window manager
// would, and answers the exit status of that loop: 0 when closing quit the
// client, 7 when it kept running.
static int closeInEventLoop(QWidget *window)
{
    QTimer::singleShot(0, window, [window] {
        window->close();
        // Behind anything the close posted, the quit included.
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(7); });
    });
    return QCoreApplication::exec();
}

// The item the host shows, and its menu following the tunnel. The icon's
// pixels the host is sent are Qt's encoding of the item's icon, which
// tst_statusmenu checks in every state.
void tst_TrayHost::trayHostFollowsTheTunnel()
{
    QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    QString item;
    QTRY_VERIFY_WITH_TIMEOUT(!(item = registeredItem()).isEmpty(), 30000);
    const auto property = [&item](const QString &name) {
        return gdbus({u"call"_s, u"--session"_s, u"--dest"_s, item, u"--object-path"_s,
                      u"/StatusNotifierItem"_s, u"--method"_s, u"org.freedesktop.DBus.Properties.Get"_s,
                      u"org.kde.StatusNotifierItem"_s, name});
    };
    QVERIFY2(property(u"Status"_s).contains(u"<'Active'>"_s), qPrintable(property(u"Status"_s)));
    QVERIFY2(property(u"ToolTip"_s).contains(u"Orvex Cloud"_s), "the tool tip names the product");

    // After the first reading (the tunnel is not up): Show, Connect, Quit.
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(menuOf(item)), (QStringList{u"Show"_s, u"Connect"_s, u"Quit"_s}),
                              30000);
    const QList<MenuEntry> entries = menuOf(item);
    QCOMPARE(entries.constLast().shortcut, u"'Control', 'Q'"_s);
    m_backend->setLiveStatus(VPNStatus::Connected);
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(menuOf(item)).value(1), u"Disconnect"_s, 30000);
    QCOMPARE(m_tray->imageName(), u"app_status_icon"_s);
}

void tst_TrayHost::closingTheWindowKeepsTheClientInTheTray()
{
    m_window->show();
    QCOMPARE(closeInEventLoop(m_window.get()), 7);
    QVERIFY(!m_window->isVisible());
    // Still in the tray, where clicking the icon brings the window back.
    QVERIFY(m_tray->statusItem()->isVisible());
    const QDBusMessage click = askBus(QDBusConnection::sessionBus(), registeredItem(),
                                      u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s,
                                      u"Activate"_s, {0, 0});
    QCOMPARE(click.type(), QDBusMessage::ReplyMessage);
    QTRY_VERIFY(m_window->isVisible());
}

void tst_TrayHost::choosingQuitInTheTrayHostQuits()
{
    m_backend->setLiveStatus(VPNStatus::Disconnected);
    const QList<MenuEntry> entries = menuOf(registeredItem());
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries.constLast().label, u"Quit"_s);
    const QString chosen = gdbus({u"call"_s, u"--session"_s, u"--dest"_s, registeredItem(), u"--object-path"_s,
                                  u"/MenuBar"_s, u"--method"_s, u"com.canonical.dbusmenu.Event"_s,
                                  QString::number(entries.constLast().id), u"clicked"_s, u"<0>"_s, u"0"_s});
    QVERIFY(!chosen.isEmpty());
    // The tunnel state is known (down): the configuration is saved, the stop
    // sent, and the client ends.
    QTRY_COMPARE_WITH_TIMEOUT(m_exits, 1, 30000);
    QVERIFY(m_backend->calls.contains(u"stop"_s));
}

int main(int argc, char *argv[])
{
#ifdef ORVEX_ON_WAYLAND
    return ScreenHost::runOnOwnDisplay<Weston, tst_TrayHost>(argc, argv, false);
#else
    return ScreenHost::runOnOwnDisplay<Xvfb, tst_TrayHost>(argc, argv, false);
#endif
}

#include "tst_trayhost.moc"
