// The screens as a screen reader meets them: this process shows them on its
// own Wayland compositor with Qt's AT-SPI bridge always on, on a private session bus
// whose accessibility bus at-spi2-core starts; a separate program walks the
// tree from outside with pyatspi (atspi_walk.py), the way Orca does. Every
// control a person can reach has a fitting role and a name, in English and in
// German; the settings' check boxes say whether they are ticked; the main
// button's name says what pressing it does.

#include "FakeVpnBackend.h"
#include "PrivateBus.h"
#include "ScreenHost.h"
#include "Weston.h"

#include "account/DefaultsKeys.h"
#include "platform/UserDefaults.h"
#include "platform/VpnManager.h"
#include "usage/MainViewController.h"
#include "vpn/VPNService.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

#include <algorithm>
#include <csignal>
#include <functional>
#include <cstdio>
#include <optional>

using namespace Qt::StringLiterals;

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

namespace {

struct Node
{
    QString role;
    QString name;
    QStringList states;
    QString describe() const { return u"%1 \"%2\""_s.arg(role, name); }
};

// The roles a reachable control may have; anything else ("panel", "filler",
// "unknown") tells a screen reader nothing about what the control does.
const QStringList controlRoles{
    u"push button"_s, u"check box"_s,     u"radio button"_s,  u"combo box"_s,
    u"text"_s,        u"password text"_s, u"spin button"_s,   u"slider"_s,
    u"link"_s,        u"page tab"_s,      u"toggle button"_s, u"menu item"_s,
};

} // namespace

class tst_AtSpi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void everyReachableControlHasARoleAndAName_data();
    void everyReachableControlHasARoleAndAName();
    void checkBoxesSayWhetherTheyAreTicked_data();
    void checkBoxesSayWhetherTheyAreTicked();
    void mainButtonIsNamedForWhatItDoes_data();
    void mainButtonIsNamedForWhatItDoes();

private:
    QList<Node> walk();
    void speak(const QString &language);

    QTemporaryDir m_dir;
    QTranslator m_german;
};

void tst_AtSpi::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    QVERIFY(m_german.load(QLocale(QLocale::German, QLocale::Germany), u"orvex"_s, u"_"_s, u":/i18n"_s));
    ScreenHost::prepareEnvironment(m_dir.path());
    // The bridge asks the session bus for the accessibility bus, which
    // at-spi2-core's launcher provides (started by the bus on demand).
    QVERIFY2(QDBusConnection::sessionBus().interface()->isServiceRegistered(u"org.a11y.Bus"_s).value()
                 || QDBusConnection::sessionBus().interface()->startService(u"org.a11y.Bus"_s).isValid(),
             "at-spi2-core is needed (scripts/install-deps)");
}

void tst_AtSpi::cleanup()
{
    speak(u"en"_s);
}

void tst_AtSpi::speak(const QString &language)
{
    QCoreApplication::removeTranslator(&m_german);
    if (language == "de"_L1)
        QCoreApplication::installTranslator(&m_german);
}

// The tree of this application as the walker reads it over the bus. The
// walker's calls are answered by this process, so the event loop runs while
// it works.
QList<Node> tst_AtSpi::walk()
{
    QProcess walker;
    walker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    walker.start(u"/usr/bin/python3"_s,
                 {QStringLiteral(ORVEX_ATSPI_WALKER), QCoreApplication::applicationName()});
    if (!QTest::qWaitFor([&walker] { return walker.state() == QProcess::NotRunning; }, 60000)) {
        walker.kill();
        walker.waitForFinished(2000);
        qWarning("the walker did not finish");
        return {};
    }
    const QJsonDocument document = QJsonDocument::fromJson(walker.readAllStandardOutput());
    if (walker.exitCode() != 0 || !document.isArray()) {
        qWarning("walker: exit status %d: %s", walker.exitCode(), document.toJson().constData());
        return {};
    }
    QList<Node> nodes;
    for (const QJsonValue &value : document.array()) {
        const QJsonObject object = value.toObject();
        QStringList states;
        for (const QJsonValue &state : object.value(u"states"_s).toArray())
            states << state.toString();
        nodes << Node{object.value(u"role"_s).toString(), object.value(u"name"_s).toString(), states};
    }
    return nodes;
}

void tst_AtSpi::everyReachableControlHasARoleAndAName_data()
{
    // The screen, the language, and the controls a person reaches there with
    // the keyboard, in the walker's order, as "role: name".
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("expected");
    const auto row = [](const char *identifier, const char *language, const QStringList &expected) {
        QTest::addRow("%s-%s", identifier, language)
            << ScreenHost::indexOf(identifier) << QString::fromLatin1(language) << expected;
    };
    const auto list = [](const char *joined) { return QString::fromUtf8(joined).split(u" | "_s); };
    row("StartViewController", "en",
        list("push button: About Orvex | push button: Help | push button: Sign In | push button: Sign Up"));
    row("AuthViewController", "en",
        list("push button: ‹ Back | push button: About Orvex | push button: Help | text: E-mail | "
             "password text: Password | push button: Forgot password? | push button: Sign In"));
    row("MobileViewController", "en",
        list("push button: ‹ Back | push button: About Orvex | push button: Help | combo box: Country | "
             "text: Mobile number | push button: Send Code"));
    row("ConfirmationCodeViewController", "en",
        list("push button: ‹ Back | push button: About Orvex | push button: Help | text: Confirmation code | "
             "push button: Confirm"));
    // A modal window over the start screen: both windows are the client's.
    row("SupportViewController", "en",
        list("push button: About Orvex | push button: Help | push button: Sign In | push button: Sign Up | "
             "text: Your request | push button: Send Request"));
    row("StartViewController", "de",
        list("push button: Über Orvex | push button: Hilfe | push button: Anmelden | push button: "
             "Registrieren"));
    row("AuthViewController", "de",
        list("push button: ‹ Zurück | push button: Über Orvex | push button: Hilfe | text: E-Mail | "
             "password text: Passwort | push button: Passwort vergessen? | push button: Anmelden"));
    row("MobileViewController", "de",
        list("push button: ‹ Zurück | push button: Über Orvex | push button: Hilfe | combo box: Land | "
             "text: Mobilnummer | push button: Code senden"));
    row("ConfirmationCodeViewController", "de",
        list(
            "push button: ‹ Zurück | push button: Über Orvex | push button: Hilfe | text: Bestätigungscode | "
            "push button: Bestätigen"));
    row("SupportViewController", "de",
        list("push button: Über Orvex | push button: Hilfe | push button: Anmelden | push button: "
             "Registrieren | "
             "text: Ihre Anfrage | push button: Anfrage senden"));
    // The rest for roles and names alone; in German the two screens with
    // most of their own.
    for (const char *identifier : {"MainViewController", "SettingsViewController", "InfoViewController",
                                   "UpdateViewController", "UpdateMessageViewController", "AlertController"})
        row(identifier, "en", {});
    row("MainViewController", "de", {});
    row("SettingsViewController", "de", {});
}

void tst_AtSpi::everyReachableControlHasARoleAndAName()
{
    QFETCH(int, index);
    QFETCH(QString, language);
    QFETCH(QStringList, expected);
    speak(language);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(index));
    QVERIFY(shown.isReady());

    const QList<Node> nodes = walk();
    QVERIFY(!nodes.isEmpty());
    QStringList faults;
    QStringList reached;
    for (const Node &node : nodes) {
        if (!node.states.contains("focusable"_L1))
            continue;
        // Selectable text is read as what it says.
        if (node.role == "label"_L1)
            continue;
        // A screen, or the overlay over it, that holds the focus says what
        // it is.
        const bool container = node.role == "filler"_L1 || node.role == "panel"_L1;
        if (!container) {
            reached << u"%1: %2"_s.arg(node.role, node.name);
            if (!controlRoles.contains(node.role))
                faults << u"role of %1"_s.arg(node.describe());
        }
        if (node.name.trimmed().isEmpty())
            faults << u"no name: %1"_s.arg(node.describe());
    }
    if (!faults.isEmpty()) {
        // Which widgets they are, from this side of the bridge.
        const std::function<void(QAccessibleInterface *)> name = [&](QAccessibleInterface *node) {
            if (!node || !node->isValid() || node->state().invisible)
                return;
            if (node->state().focusable && node->text(QAccessible::Name).isEmpty() && node->object()) {
                QString path;
                for (QObject *o = node->object(); o; o = o->parent())
                    path += u"/%1#%2"_s.arg(QString::fromLatin1(o->metaObject()->className()),
                                            o->objectName());
                faults << u"unnamed %1"_s.arg(path);
            }
            for (int i = 0; i < node->childCount(); ++i)
                name(node->child(i));
        };
        name(QAccessible::queryAccessibleInterface(shown.window()));
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u"; "_s)));
    QVERIFY(!reached.isEmpty());
    if (!expected.isEmpty())
        QCOMPARE(reached, expected);
}

void tst_AtSpi::checkBoxesSayWhetherTheyAreTicked_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<bool>("autoConnect");
    QTest::addColumn<bool>("autoStart");
    QTest::addColumn<QString>("autoConnectName");
    QTest::addColumn<QString>("autoStartName");
    QTest::newRow("en connect") << "en" << true << false << "Connect automatically"
                                << "Start at login";
    QTest::newRow("en start") << "en" << false << true << "Connect automatically"
                              << "Start at login";
    QTest::newRow("de connect") << "de" << true << false << "Automatisch verbinden"
                                << "Beim Anmelden starten";
}

void tst_AtSpi::checkBoxesSayWhetherTheyAreTicked()
{
    QFETCH(QString, language);
    QFETCH(bool, autoConnect);
    QFETCH(bool, autoStart);
    QFETCH(QString, autoConnectName);
    QFETCH(QString, autoStartName);
    speak(language);
    UserDefaults::standard().setBoolean(Keys::isAutoConnectEnabled, autoConnect);
    UserDefaults::standard().setBoolean(Keys::isAutoStartEnabled, autoStart);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(ScreenHost::indexOf("SettingsViewController")));
    QVERIFY(shown.isReady());

    const auto ticked = [this](const QString &name) -> std::optional<bool> {
        for (const Node &node : walk()) {
            if (node.name == name) {
                if (node.role != "check box"_L1)
                    qWarning("%s", qPrintable(node.describe()));
                return node.role == "check box"_L1 ? std::optional<bool>(node.states.contains("checked"_L1))
                                                   : std::nullopt;
            }
        }
        return std::nullopt;
    };
    QCOMPARE(ticked(autoConnectName), std::optional<bool>(autoConnect));
    QCOMPARE(ticked(autoStartName), std::optional<bool>(autoStart));

    // Ticking one with the keyboard, and the reader hears the new state.
    auto *row = shown.screen()->findChild<QAbstractButton *>(u"autoConnectButton"_s);
    QVERIFY(row);
    row->setFocus(Qt::TabFocusReason);
    QTest::keyClick(row, Qt::Key_Space);
    QCOMPARE(ticked(autoConnectName), std::optional<bool>(!autoConnect));
    QCOMPARE(ticked(autoStartName), std::optional<bool>(autoStart));
    // Start at login writes the launcher's autostart entry: leave none.
    UserDefaults::standard().setBoolean(Keys::isAutoStartEnabled, false);
}

void tst_AtSpi::mainButtonIsNamedForWhatItDoes_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("whenOff");
    QTest::addColumn<QString>("whenOn");
    QTest::newRow("en") << "en"
                        << "Turn ON"
                        << "Turn OFF";
    QTest::newRow("de") << "de"
                        << "Einschalten"
                        << "Ausschalten";
}

void tst_AtSpi::mainButtonIsNamedForWhatItDoes()
{
    QFETCH(QString, language);
    QFETCH(QString, whenOff);
    QFETCH(QString, whenOn);
    speak(language);
    auto backend = std::make_unique<FakeVpnBackend>();
    FakeVpnBackend *fake = backend.get();
    fake->setLiveStatus(VpnStatus::Disconnected);
    VpnManager manager(std::move(backend), m_dir.filePath(u"vpn.json"_s));
    VPNService service(&manager, ScreenHost::context().session);
    service.setStatus(VpnStatus::Connected); // no connect on first showing
    WindowController window;
    auto *screen = new MainViewController(service, NetworkService::shared());
    screen->loadViewIfNeeded();
    window.setContentViewController(screen);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // The switch, and the label under it that says the same.
    const auto rolesNamed = [this](const QString &name) {
        QStringList found;
        for (const Node &node : walk()) {
            if (node.name == name)
                found << node.role;
        }
        found.sort();
        return found;
    };
    const QStringList switchAndLabel{u"label"_s, u"push button"_s};
    QCOMPARE(rolesNamed(whenOff), switchAndLabel);
    fake->setLiveStatus(VpnStatus::Connected);
    QTRY_COMPARE(screen->statusLabel()->text(), whenOn);
    QCOMPARE(rolesNamed(whenOn), switchAndLabel);
    QCOMPARE(rolesNamed(whenOff), QStringList{});
    fake->setLiveStatus(VpnStatus::Disconnected);
    QTRY_COMPARE(screen->statusLabel()->text(), whenOff);
    QCOMPARE(rolesNamed(whenOff), switchAndLabel);
}

int main(int argc, char *argv[])
{
    Weston display;
    if (!display.isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(display.error()));
        return 1;
    }
    display.exportAsDisplay();
    int status = 0;
    qint64 launcher = 0;
    {
        PrivateBus bus;
        if (!bus.isRunning()) {
            std::fprintf(stderr, "%s\n", qPrintable(bus.error()));
            return 1;
        }
        bus.exportAsSessionBus();
        qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        {
            QApplication app(argc, argv);
            // What the walker looks for on the bus; unique, as other checkouts
            // run this test beside this one.
            QCoreApplication::setApplicationName(u"orvex-atspi-%1"_s.arg(QCoreApplication::applicationPid()));
            tst_AtSpi test;
            status = QTest::qExec(&test, argc, argv);
            // The accessibility bus launcher the session bus started: ended
            // by its process id with the bus.
            const auto pid = QDBusConnection::sessionBus().interface()->servicePid(u"org.a11y.Bus"_s);
            if (pid.isValid())
                launcher = pid.value();
        }
        if (launcher > 0)
            ::kill(pid_t(launcher), SIGTERM);
    }
    return status;
}

#include "tst_atspi.moc"
