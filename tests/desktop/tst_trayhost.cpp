// The tray as the desktop offers it, on a real X server (our own Xvfb) or a
// real Wayland compositor (our own headless weston), and a private session
// bus. Built for each: with a tray host (a StatusNotifierWatcher faked with
// python3-dbusmock, as KDE or GNOME's AppIndicator extension provide) and
// without one (stock GNOME). Qt decides once per process whether a tray host
// exists, hence one program for each. On both display servers the tray is a
// StatusNotifierItem on the session bus, and the window behaves the same.
// With a tray host, the exported menu is read and clicked over D-Bus with
// gdbus, as the host would.

#include "DBusMock.h"
#include "FakeVpnBackend.h"
#include "PrivateBus.h"
#include "Weston.h"
#include "TestSession.h"
#include "Xvfb.h"

#include "ui/Images.h"
#include "app/AppWiring.h"
#include "app/StatusMenuController.h"
#include "app/StatusMenuHandler.h"
#include "ui/TunnelStatusSource.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "platform/VpnManager.h"
#include "vpn/VPNService.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <memory>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

const QString watcherService = u"org.kde.StatusNotifierWatcher"_s;

[[maybe_unused]] QVariant busProperty(const QString &service, const QString &path, const QString &interface,
                                      const QString &name)
{
    const QDBusMessage reply = askBus(QDBusConnection::sessionBus(), service, path,
                                      u"org.freedesktop.DBus.Properties"_s, u"Get"_s, {interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

// The StatusNotifierItem IconPixmap, a(iiay): ARGB32 pixels in network byte
// order, one image per size.
[[maybe_unused]] QList<QImage> iconPixmaps(const QVariant &value)
{
    QList<QImage> images;
    if (!value.canConvert<QDBusArgument>())
        return images;
    const auto argument = value.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        int width = 0;
        int height = 0;
        QByteArray data;
        argument.beginStructure();
        argument >> width >> height >> data;
        argument.endStructure();
        if (width <= 0 || height <= 0 || data.size() != qsizetype(width) * height * 4)
            return {};
        QImage image(width, height, QImage::Format_ARGB32);
        for (int y = 0; y < height; ++y) {
            auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
            for (int x = 0; x < width; ++x)
                line[x] = qFromBigEndian<quint32>(data.constData() + (qsizetype(y) * width + x) * 4);
        }
        images << image;
    }
    argument.endArray();
    return images;
}

[[maybe_unused]] QImage rendered(const QString &name, const QSize &size)
{
    return Images::named(name).pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
}

#ifdef ORVEX_WITH_TRAY_HOST
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
#endif

} // namespace

class tst_TrayHost : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
#ifdef ORVEX_WITH_TRAY_HOST
    void trayHostShowsTheTunnelsIcon();
    void trayHostGetsTheMenu();
    void closingTheWindowKeepsTheClientInTheTray();
    void clickingTheIconBringsTheWindowBack();
    void choosingQuitInTheTrayHostQuits();
#else
    void withoutTrayHostClosingTheWindowQuits();
#endif

private:
    TestSession m_session;
    QString registeredItem();

    QTemporaryDir m_dir;
    std::unique_ptr<DBusMock> m_watcher;
    FakeVpnBackend *m_backend = nullptr;
    std::unique_ptr<VpnManager> m_manager;
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
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    QVERIFY(m_dir.isValid());

#ifdef ORVEX_WITH_TRAY_HOST
    m_watcher = std::make_unique<DBusMock>(QString(), DBusMockText::trayHost);
    QVERIFY2(m_watcher->started(), "python3-dbusmock is needed (scripts/install-deps)");
    QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(watcherService),
                             30000);
#endif

    Config::setCurrent(*Config::parse({}, {}, nullptr));
    auto backend = std::make_unique<FakeVpnBackend>();
    m_backend = backend.get();
    m_manager = std::make_unique<VpnManager>(std::move(backend), m_dir.filePath(u"vpn.json"_s));
    m_service = std::make_unique<VPNService>(m_manager.get(), m_session.session);
    // The menu's handler follows this tunnel, as the client's follow its own.
    AppWiring::followTunnel([this]() -> VpnManager & { return *m_manager; });

    m_window = std::make_unique<WindowController>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_tray = std::make_unique<StatusMenuController>(*m_service, NetworkService::shared());
    m_tray->handler()->exitApplication = [this] { ++m_exits; };
}

void tst_TrayHost::cleanupTestCase()
{
    m_tray.reset();
    m_window.reset();
    TunnelStatusSource::install({});
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

#ifdef ORVEX_WITH_TRAY_HOST

void tst_TrayHost::trayHostShowsTheTunnelsIcon()
{
    QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    QString item;
    QTRY_VERIFY_WITH_TIMEOUT(!(item = registeredItem()).isEmpty(), 30000);
    const QString path = u"/StatusNotifierItem"_s;
    const QString interface = u"org.kde.StatusNotifierItem"_s;

    // A menu goes with the item.
    const QVariant menu = busProperty(item, path, interface, u"Menu"_s);
    QVERIFY(!menu.value<QDBusObjectPath>().path().isEmpty());
    QCOMPARE(busProperty(item, path, interface, u"Status"_s).toString(), u"Active"_s);

    // The host draws the pixels it is sent: the "off" image while the tunnel
    // is down, the connected image once it is up, and back.
    const auto expectIcon = [&](const QString &shown, const QString &notShown) {
        const QList<QImage> images = iconPixmaps(busProperty(item, path, interface, u"IconPixmap"_s));
        QVERIFY(!images.isEmpty());
        for (const QImage &image : images) {
            QCOMPARE(image, rendered(shown, image.size()));
            QVERIFY(image != rendered(notShown, image.size()));
        }
    };
    expectIcon(u"app_status_icon_off"_s, u"app_status_icon"_s);
    m_backend->setLiveStatus(VpnStatus::Connected);
    QTRY_COMPARE(m_tray->imageName(), u"app_status_icon"_s);
    expectIcon(u"app_status_icon"_s, u"app_status_icon_off"_s);
    m_backend->setLiveStatus(VpnStatus::Disconnected);
    QTRY_COMPARE(m_tray->imageName(), u"app_status_icon_off"_s);
    expectIcon(u"app_status_icon_off"_s, u"app_status_icon"_s);
}

void tst_TrayHost::trayHostGetsTheMenu()
{
    const QString item = registeredItem();
    // After the first reading (the tunnel is not up): Show, Connect, Quit.
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(menuOf(item)), (QStringList{u"Show"_s, u"Connect"_s, u"Quit"_s}),
                              30000);
    const QList<MenuEntry> entries = menuOf(item);
    QCOMPARE(entries.constLast().shortcut, u"'Control', 'Q'"_s);
    QVERIFY(entries.constFirst().shortcut.isEmpty());
    // It follows the tunnel.
    m_backend->setLiveStatus(VpnStatus::Connected);
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(menuOf(item)).value(1), u"Disconnect"_s, 30000);
    m_backend->setLiveStatus(VpnStatus::Disconnected);
    QTRY_COMPARE_WITH_TIMEOUT(labelsOf(menuOf(item)).value(1), u"Connect"_s, 30000);

    const QString toolTip = gdbus({u"call"_s, u"--session"_s, u"--dest"_s, item, u"--object-path"_s,
                                   u"/StatusNotifierItem"_s, u"--method"_s,
                                   u"org.freedesktop.DBus.Properties.Get"_s, u"org.kde.StatusNotifierItem"_s,
                                   u"ToolTip"_s});
    QVERIFY2(toolTip.contains(u"Orvex Cloud"_s), qPrintable(toolTip));
}

void tst_TrayHost::closingTheWindowKeepsTheClientInTheTray()
{
    m_window->show();
    QCOMPARE(closeInEventLoop(m_window.get()), 7);
    QVERIFY(!m_window->isVisible());
    // Still in the tray, where the icon brings the window back.
    QVERIFY(m_tray->statusItem()->isVisible());
}

void tst_TrayHost::clickingTheIconBringsTheWindowBack()
{
    m_window->hide();
    const QDBusMessage click = askBus(QDBusConnection::sessionBus(), registeredItem(),
                                      u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s,
                                      u"Activate"_s, {0, 0});
    QCOMPARE(click.type(), QDBusMessage::ReplyMessage);
    QTRY_VERIFY(m_window->isVisible());
}

void tst_TrayHost::choosingQuitInTheTrayHostQuits()
{
    m_backend->setLiveStatus(VpnStatus::Disconnected);
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

#else

void tst_TrayHost::withoutTrayHostClosingTheWindowQuits()
{
    // The item is "shown", yet nothing on the desktop would show it.
    QVERIFY(m_tray->statusItem()->isVisible());
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(watcherService));

    // So the window is the only way back to the client: closing it quits
    // instead of leaving an unreachable process behind.
    QCOMPARE(closeInEventLoop(m_window.get()), 0);
    QVERIFY(!m_window->isVisible());
}

#endif

int main(int argc, char *argv[])
{
#ifdef ORVEX_ON_WAYLAND
    Weston display;
#else
    Xvfb display;
#endif
    if (!display.isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(display.error()));
        return 1;
    }
    display.exportAsDisplay();
    PrivateBus bus;
    if (!bus.isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(bus.error()));
        return 1;
    }
    bus.exportAsSessionBus();
    int status = 0;
    {
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        tst_TrayHost test;
        status = QTest::qExec(&test, argc, argv);
    }
    return status;
}

#include "tst_trayhost.moc"
