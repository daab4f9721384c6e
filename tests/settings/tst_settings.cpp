// The settings window in the client's main window as the client wires it
// (AppWiring), on a tunnel service with a fake backend: the two check boxes, the autostart entry, and signing
// out with the tunnel up, down, or unable to save its configuration.

#include "FakeVpnBackend.h"

#include "ui/AppStoryboard.h"
#include "ui/Images.h"
#include "account/DefaultsKeys.h"
#include "app/AppDelegate.h"
#include "app/AppWiring.h"
#include "app/InfoViewController.h"
#include "ui/Navigator.h"
#include "ui/SegueAnimator.h"
#include "app/SettingsViewController.h"
#include "ui/TunnelStatusSource.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "controls/Button.h"
#include "controls/ImageView.h"
#include "platform/IdentityStore.h"
#include "platform/LoginItem.h"
#include "platform/SessionBus.h"
#include "platform/UserDefaults.h"
#include "platform/VpnManager.h"
#include "vpn/VPNService.h"

#include "TestSession.h"

#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

class tst_Settings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void checkboxesFlipValueAndPictureTogether_data();
    void checkboxesFlipValueAndPictureTogether();
    void accountShownAndSignOutOnlyWhenSignedIn();
    void signOutWithTunnelUpStopsItBeforeTheAccountGoes();
    void signOutWithTunnelDownForgetsTheAccountAtOnce();
    void signOutStopsWhereTheConfigurationCannotBeSaved();

private:
    void signIn();
    SettingsViewController *openSettings();
    bool setLiveStatus(VpnStatus status);

    QTemporaryDir m_dir;
    FakeVpnBackend *m_backend = nullptr;
    std::unique_ptr<VpnManager> m_manager;
    TestSession m_session;
    std::unique_ptr<VPNService> m_service;
    std::unique_ptr<AppWiring> m_app;
};

void tst_Settings::initTestCase()
{
    QVERIFY(m_dir.isValid());
    Config::setCurrent(*Config::parse({}, {}, nullptr));
    // The autostart entry names the launcher, which must exist to be named.
    const QString bin = m_dir.filePath(u"bin"_s);
    QVERIFY(QDir().mkpath(bin));
    QFile launcher(bin + u"/"_s + QLatin1String(LoginItem::launcherExecutableName));
    QVERIFY(launcher.open(QIODevice::WriteOnly));
    launcher.write("#!/bin/sh\nexit 0\n");
    launcher.close();
    QVERIFY(launcher.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("PATH", bin.toLocal8Bit() + ':' + qgetenv("PATH"));
}

void tst_Settings::init()
{
    QFile::remove(UserDefaults::standardFilePath());
    QFile::remove(LoginItem::entryPath(SessionBus::launcherAppId));
    AppDelegate::writeFirstLaunchDefaults(UserDefaults::standard());
    QVERIFY(LoginItem::setEnabled(SessionBus::launcherAppId, true));

    auto backend = std::make_unique<FakeVpnBackend>();
    m_backend = backend.get();
    const QString storage = m_dir.filePath(u"vpn-%1.json"_s.arg(QLatin1String(QTest::currentTestFunction())));
    QFile::remove(storage);
    m_manager = std::make_unique<VpnManager>(std::move(backend), storage);
    m_service = std::make_unique<VPNService>(m_manager.get(), m_session.session);
    m_app = std::make_unique<AppWiring>(qApp, &m_session.session,
                                        AppWiring::Tunnel{m_manager.get(), m_service.get()});
    m_app->window().setContentViewController(instantiate<InfoViewController>(AppStoryboard::Settings));
    m_app->window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_app->window()));
}

void tst_Settings::cleanup()
{
    m_app.reset();
    QTest::qWait(20);
    m_service.reset();
    m_manager.reset();
}

void tst_Settings::signIn()
{
    UserDefaults &defaults = UserDefaults::standard();
    m_session.session.setCredentials(u"ann@example.com"_s, u"secret"_s);
    defaults.setString(Keys::phone, u"+15550100"_s);
    QVERIFY(m_session.keepIdentity("ann"));
}

SettingsViewController *tst_Settings::openSettings()
{
    auto *settings = new SettingsViewController(*m_service);
    settings->setTitle(u"Settings"_s);
    Navigator::presentModal(settings);
    if (!settings->isPresentedAsModalWindow() || !QTest::qWaitForWindowExposed(settings->modalWindow()))
        return nullptr;
    return settings;
}

bool tst_Settings::setLiveStatus(VpnStatus status)
{
    m_backend->setLiveStatus(status);
    return m_service->status() == status;
}

void tst_Settings::checkboxesFlipValueAndPictureTogether_data()
{
    QTest::addColumn<bool>("autoStart");
    QTest::newRow("connect automatically") << false;
    QTest::newRow("start at login") << true;
}

void tst_Settings::checkboxesFlipValueAndPictureTogether()
{
    QFETCH(bool, autoStart);
    SettingsViewController *settings = openSettings();
    QVERIFY(settings);
    const QStringList tunnelCalls = m_backend->calls; // the screens' reading of the tunnel
    UserDefaults &defaults = UserDefaults::standard();
    const QString key = autoStart ? Keys::isAutoStartEnabled : Keys::isAutoConnectEnabled;
    const QString otherKey = autoStart ? Keys::isAutoConnectEnabled : Keys::isAutoStartEnabled;
    QPushButton *button = autoStart ? settings->autoStartButton() : settings->autoConnectButton();
    ImageView *image = autoStart ? settings->autoStartImageView() : settings->autoConnectImageView();
    auto imageName = [&] {
        return autoStart ? settings->autoStartImageName() : settings->autoConnectImageName();
    };
    auto entryExists = [] { return QFile::exists(LoginItem::entryPath(SessionBus::launcherAppId)); };

    // Both start on (first launch), pictures included.
    QVERIFY(defaults.boolean(key));
    QCOMPARE(imageName(), u"ic_checkbox_on"_s);
    QCOMPARE(image->image().cacheKey(), Images::named(u"ic_checkbox_on"_s).cacheKey());
    QVERIFY(button->isChecked());

    // A click anywhere on the row counts, the picture included (sent to the
    // window, so it lands on whatever is under that point).
    QWidget *window = settings->window();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                      image->mapTo(window, image->rect().center()));
    QVERIFY(!defaults.boolean(key));
    QCOMPARE(imageName(), u"ic_checkbox_off"_s);
    QCOMPARE(image->image().cacheKey(), Images::named(u"ic_checkbox_off"_s).cacheKey());
    QVERIFY(!button->isChecked());
    QCOMPARE(entryExists(), !autoStart);

    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                      button->mapTo(window, QPoint(button->width() - 20, button->height() / 2)));
    QVERIFY(defaults.boolean(key));
    QCOMPARE(imageName(), u"ic_checkbox_on"_s);
    QCOMPARE(image->image().cacheKey(), Images::named(u"ic_checkbox_on"_s).cacheKey());
    QVERIFY(entryExists());
    QVERIFY(LoginItem::isEnabled(SessionBus::launcherAppId));

    // The other setting never moved, and auto-connect changes nothing in the
    // tunnel at once.
    QVERIFY(defaults.boolean(otherKey));
    QCOMPARE(m_backend->calls, tunnelCalls);

    // Reopened, the window shows what is stored.
    defaults.setBoolean(key, false);
    settings->dismiss();
    settings = openSettings();
    QVERIFY(settings);
    QCOMPARE(imageName(), u"ic_checkbox_off"_s);
}

void tst_Settings::accountShownAndSignOutOnlyWhenSignedIn()
{
    SettingsViewController *settings = openSettings();
    QVERIFY(settings);
    QCOMPARE(settings->emailLabel()->text(), QString());
    QVERIFY(!settings->logoutButton()->isEnabled());
    settings->dismiss();

    signIn();
    settings = openSettings();
    QVERIFY(settings);
    QCOMPARE(settings->emailLabel()->text(), u"ann@example.com"_s);
    QVERIFY(settings->logoutButton()->isEnabled());
}

void tst_Settings::signOutWithTunnelUpStopsItBeforeTheAccountGoes()
{
    signIn();
    QVERIFY(setLiveStatus(VpnStatus::Connected));
    SettingsViewController *settings = openSettings();
    QVERIFY(settings);
    QPointer<QDialog> dialog = settings->modalWindow();
    QPointer<ViewController> oldRoot = m_app->window().contentViewController();

    QTest::mouseClick(settings->logoutButton(), Qt::LeftButton);
    // The tunnel is being taken down; the account is still there.
    QVERIFY(UserDefaults::standard().string(Keys::tempEmail).has_value());
    QVERIFY(!m_backend->calls.contains(u"stop"_s));

    QTRY_VERIFY(!UserDefaults::standard().string(Keys::tempEmail).has_value());
    // By then the configuration was saved with on-demand off and the stop sent.
    QCOMPARE(m_backend->calls.count(u"stop"_s), 1);
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled);
    QVERIFY(!m_session.session.password().has_value());
    QVERIFY(IdentityStore::standard().references().isEmpty());
    QTRY_VERIFY(m_session.secrets.secrets.isEmpty());
    // The settings stay.
    QVERIFY(UserDefaults::standard().boolean(Keys::isAutoConnectEnabled));

    // The start screen slides in and becomes the root; the window closes.
    QTRY_COMPARE_WITH_TIMEOUT(m_app->window().contentViewController()->identifier(), u"StartViewController"_s,
                              5000);
    QTRY_VERIFY(oldRoot.isNull());
    QTRY_VERIFY(dialog.isNull() || !dialog->isVisible());
}

void tst_Settings::signOutWithTunnelDownForgetsTheAccountAtOnce()
{
    signIn();
    QVERIFY(setLiveStatus(VpnStatus::Disconnected));
    SettingsViewController *settings = openSettings();
    QVERIFY(settings);
    settings->logoutButtonAction();
    QVERIFY(!UserDefaults::standard().string(Keys::tempEmail).has_value());
    QVERIFY(!m_session.session.identityReference().has_value());
    QVERIFY(!m_backend->calls.contains(u"stop"_s));
    QVERIFY(!m_backend->calls.contains(u"apply"_s));
    QTRY_COMPARE_WITH_TIMEOUT(m_app->window().contentViewController()->identifier(), u"StartViewController"_s,
                              5000);
}

void tst_Settings::signOutStopsWhereTheConfigurationCannotBeSaved()
{
    signIn();
    QVERIFY(setLiveStatus(VpnStatus::Connected));
    m_backend->applyError = u"the VPN daemon refused the configuration"_s;
    SettingsViewController *settings = openSettings();
    QVERIFY(settings);
    ViewController *root = m_app->window().contentViewController();

    settings->logoutButtonAction();
    QTRY_VERIFY(m_backend->calls.contains(u"apply"_s));
    QTest::qWait(Navigator::setRootDelayMs + SegueAnimator::durationMs);
    // Nothing was stopped, the account stays, the screen did not change.
    QVERIFY(!m_backend->calls.contains(u"stop"_s));
    QVERIFY(UserDefaults::standard().string(Keys::tempEmail).has_value());
    QCOMPARE(m_app->window().contentViewController(), root);
    QVERIFY(settings->modalWindow()->isVisible());

    // Once the configuration can be saved, pressing again completes it.
    m_backend->applyError.clear();
    settings->logoutButtonAction();
    QTRY_VERIFY(!UserDefaults::standard().string(Keys::tempEmail).has_value());
    QCOMPARE(m_backend->calls.count(u"stop"_s), 1);
}

QTEST_MAIN(tst_Settings)
#include "tst_settings.moc"
