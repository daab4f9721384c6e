// Sign-in, sign-up, phone verification and account creation in a real
// (offscreen) main window against the real orvex-devservice over loopback
// HTTPS: what is sent, what is stored, which screen follows and what the user
// is shown. The SMS code is read back from the service's outbox.

#include "DevServiceProcess.h"

#include "ui/AppStoryboard.h"
#include "account/AuthHandler.h"
#include "account/AuthViewController.h"
#include "account/ConfirmationCodeViewController.h"
#include "account/DefaultsKeys.h"
#include "account/DeviceRegistration.h"
#include "account/MobileTextField.h"
#include "account/MobileViewController.h"
#include "account/Session.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "ui/AlertController.h"
#include "ui/BaseViewController.h"
#include "ui/Navigator.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "controls/Button.h"
#include "platform/SecureRandom.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "usage/MainViewController.h"

#include <QDesktopServices>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "TestSession.h"
#include <QUrlQuery>

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

namespace {

// A safety net so a broken service fails a test instead of hanging it; no
// test asserts on how long anything takes.
constexpr int patience = 30000;

const QString machineId = QStringLiteral("5f0c6a55d6a84e6f9a6a1f1d3c2b7e90");

QString parameter(const QUrl &url, const char *name)
{
    return QUrlQuery(url).queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
}

std::optional<QString> stored(QLatin1String key)
{
    return UserDefaults::standard().string(key);
}

// Opens web pages instead of the browser.
class PageCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public Q_SLOTS:
    void open(const QUrl &url) { opened.append(url); }
};

} // namespace

class tst_AuthFlows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void formShowsWhatTheModeNeeds();
    void invalidInputIsRefusedLocally();
    void forgotPasswordOpensTheResetPageOverHttps();
    void signInWithThisMachineRegisteredSendsNoAddDevice();
    void signInWithoutDevicesRegistersThisMachine();
    void autoSignInWithOnlyAnEmailSendsNothing();
    void rejectedStoredPasswordShowsTheServiceErrorOverTheForm();
    void signInWhoseScreenIsGoneStoresAndStops();
    void signUpWithATakenEmailIsRefused();
    void wholeSignUpReachesTheMainScreen();
    void codesAreComparedExactly();
    void phoneNumberIsCheckedBeforeAnyCode();
    void confirmingAKnownAccountSkipsAccountCreation();
    void accountWithoutAStoredNameIsCalledUnknown();
    void leavingTheCodeScreenForgetsTheCode();
    void serviceDownDuringSignInThenBackAgain();
    void keyboardAloneSignsIn();

private:
    TestSession m_session;
    void openWindow();
    ViewController *root() const { return m_window->contentViewController(); }
    template<typename T>
    T *presented() const;
    AlertController *alert() const { return presented<AlertController>(); }
    bool dismissAlert();
    AuthViewController *openAuth(bool signUp);
    void submit(AuthViewController *auth, const QString &name, const QString &email, const QString &password);
    template<typename Screen>
    Screen *showOverStart();
    void enterNumber(MobileViewController *mobile, const QString &digits);
    void enterCode(ConfirmationCodeViewController *screen, const QString &code);
    QList<QUrl> sent(const QString &path) const;
    bool nothingInFlight() const;
    bool waitIdle() const;
    QString newEmail();
    bool createAccount(const QString &email, const QString &password, const QString &phone,
                       const QString &name = QStringLiteral("Ann Example"));
    bool registerDevice(const QString &udid, const QString &email);
    std::optional<UserModel> fetchUser(const QString &email, const std::optional<QString> &password);
    QStringList outbox(const QString &number);
    void storeSignUpStep(const QString &email, const QString &password);

    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_https;
    std::unique_ptr<WindowController> m_window;
    QList<QUrl> m_sent;
    int m_accounts = 0;
};

void tst_AuthFlows::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The main screen that a successful flow ends on may start the tunnel:
    // give it no bus and no charon to reach.
    const QByteArray nowhere = "unix:path=" + m_dir.filePath(QStringLiteral("no-bus")).toLocal8Bit();
    qputenv("DBUS_SESSION_BUS_ADDRESS", nowhere);
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", nowhere);

    m_service = std::make_unique<DevServiceProcess>(m_dir.filePath(QStringLiteral("service")));
    QVERIFY2(m_service->start({QStringLiteral("--dev-routes")}), qPrintable(m_service->errors()));

    QString error;
    std::optional<Config> config = Config::parse({}, {}, &error);
    QVERIFY2(config, qPrintable(error));
    config->apiBaseURL = m_service->origin();
    config->caCertificates = {m_service->caCertificate()};
    config->passwordResetURL = QStringLiteral("http://reset.orvex.example:8443/somewhere");
    config->vpnBackend = QStringLiteral("vici");
    config->viciSocket = m_dir.filePath(QStringLiteral("no-charon.vici"));
    Config::setCurrent(*config);
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(machineId); });
    // The phone screen preselects the country of the user's locale.
    QLocale::setDefault(QLocale(QStringLiteral("fr_FR")));

    m_https = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
    auto *manager = NetworkService::shared().findChild<QNetworkAccessManager *>();
    QVERIFY(manager);
    // The flows' requests: once the main screen is there, what is sent is its
    // own business (it looks the account up again, fetches usage, ...).
    connect(manager, &QNetworkAccessManager::finished, this, [this](QNetworkReply *reply) {
        if (!presented<MainViewController>())
            m_sent.append(reply->url());
    });
}

void tst_AuthFlows::init()
{
    m_session.session.logout();
    QFile::remove(UserDefaults::standardFilePath());
    SecureRandom::setSourceForTesting({});
    m_sent.clear();
}

void tst_AuthFlows::cleanup()
{
    QVERIFY(waitIdle());
    m_window.reset();
    // Let posted alerts and deferred deletions of this test run out.
    QTest::qWait(50);
}

void tst_AuthFlows::openWindow()
{
    m_window = std::make_unique<WindowController>();
    m_window->windowDidLoad();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

template<typename T>
T *tst_AuthFlows::presented() const
{
    if (!m_window || !root())
        return nullptr;
    if (auto *screen = qobject_cast<T *>(root()))
        return screen;
    for (ViewController *screen : root()->presentedViewControllers()) {
        if (auto *found = qobject_cast<T *>(screen))
            return found;
    }
    return nullptr;
}

bool tst_AuthFlows::dismissAlert()
{
    AlertController *shown = alert();
    if (!shown)
        return false;
    shown->buttonAction();
    return alert() == nullptr;
}

AuthViewController *tst_AuthFlows::openAuth(bool signUp)
{
    auto *button = root()->findChild<QPushButton *>(signUp ? QStringLiteral("signUpButton")
                                                           : QStringLiteral("signInButton"));
    if (!button)
        return nullptr;
    QTest::mouseClick(button, Qt::LeftButton);
    return presented<AuthViewController>();
}

void tst_AuthFlows::submit(AuthViewController *auth, const QString &name, const QString &email,
                           const QString &password)
{
    auth->findChild<QLineEdit *>(QStringLiteral("nameTextField"))->setText(name);
    auth->findChild<QLineEdit *>(QStringLiteral("emailTextField"))->setText(email);
    auth->findChild<QLineEdit *>(QStringLiteral("passwordTextField"))->setText(password);
    QTest::mouseClick(auth->findChild<QPushButton *>(QStringLiteral("actionButton")), Qt::LeftButton);
}

template<typename Screen>
Screen *tst_AuthFlows::showOverStart()
{
    Navigator::show(instantiate<Screen>(AppStoryboard::Auth), NavigationDirection::toLeft);
    return presented<Screen>();
}

void tst_AuthFlows::enterNumber(MobileViewController *mobile, const QString &digits)
{
    auto *field = mobile->findChild<MobileTextField *>(QStringLiteral("mobileTextField"));
    field->clear();
    QTest::keyClicks(field, digits);
    QTest::mouseClick(mobile->findChild<QPushButton *>(QStringLiteral("sendButton")), Qt::LeftButton);
}

void tst_AuthFlows::enterCode(ConfirmationCodeViewController *screen, const QString &code)
{
    auto *field = screen->findChild<QLineEdit *>(QStringLiteral("codeTextField"));
    field->clear();
    QTest::keyClicks(field, code);
    QTest::mouseClick(screen->findChild<QPushButton *>(QStringLiteral("confirmButton")), Qt::LeftButton);
}

QList<QUrl> tst_AuthFlows::sent(const QString &path) const
{
    QList<QUrl> found;
    for (const QUrl &url : m_sent) {
        if (url.path() == path)
            found.append(url);
    }
    return found;
}

bool tst_AuthFlows::nothingInFlight() const
{
    return NetworkService::shared().findChildren<QNetworkReply *>().isEmpty();
}

bool tst_AuthFlows::waitIdle() const
{
    return QTest::qWaitFor([this] { return nothingInFlight(); }, patience);
}

QString tst_AuthFlows::newEmail()
{
    return QStringLiteral("member%1.%2@example.com").arg(++m_accounts).arg(QCoreApplication::applicationPid());
}

bool tst_AuthFlows::createAccount(const QString &email, const QString &password, const QString &phone,
                                  const QString &name)
{
    std::optional<bool> done;
    NetworkService::shared().addUser(name, email, password, phone,
                                     [&done](const Result<UserResponse> &result) { done = result.isSuccess(); });
    return QTest::qWaitFor([&done] { return done.has_value(); }, patience) && *done;
}

bool tst_AuthFlows::registerDevice(const QString &udid, const QString &email)
{
    std::optional<bool> done;
    NetworkService::shared().addDevice(udid, email, [&done](const Result<Empty> &result) { done = result.isSuccess(); });
    return QTest::qWaitFor([&done] { return done.has_value(); }, patience) && *done;
}

std::optional<UserModel> tst_AuthFlows::fetchUser(const QString &email, const std::optional<QString> &password)
{
    std::optional<Result<UserResponse>> answer;
    NetworkService::shared().getUser(email, password,
                                     [&answer](const Result<UserResponse> &result) { answer = result; });
    if (!QTest::qWaitFor([&answer] { return answer.has_value(); }, patience) || !answer->isSuccess())
        return std::nullopt;
    return answer->value().user;
}

QStringList tst_AuthFlows::outbox(const QString &number)
{
    const HttpAnswer answer = m_https->get(QStringLiteral("/dev/sms"), {{QStringLiteral("to"), number}});
    QStringList messages;
    for (const QJsonValue &sms : QJsonDocument::fromJson(answer.body).array())
        messages.append(sms.toObject().value(QLatin1String("message")).toString());
    return messages;
}

// What the sign-up form leaves behind before the phone screen.
void tst_AuthFlows::storeSignUpStep(const QString &email, const QString &password)
{
    UserDefaults::standard().setString(Keys::name, QStringLiteral("Zoë Martin"));
    m_session.session.setCredentials(email, password);
}

void tst_AuthFlows::formShowsWhatTheModeNeeds()
{
    openWindow();
    AuthViewController *signIn = openAuth(false);
    QVERIFY(signIn);
    QVERIFY(signIn->findChild<QWidget *>(QStringLiteral("nameStackView"))->isHidden());
    QVERIFY(!signIn->findChild<QWidget *>(QStringLiteral("forgotPasswordButton"))->isHidden());
    QCOMPARE(signIn->findChild<Button *>(QStringLiteral("actionButton"))->title(), QStringLiteral("Sign In"));

    // Back to the start screen, then the sign-up form.
    QTest::mouseClick(signIn->findChild<QAbstractButton *>(QStringLiteral("backButton")), Qt::LeftButton);
    QVERIFY(!presented<AuthViewController>());
    AuthViewController *signUp = openAuth(true);
    QVERIFY(signUp);
    QVERIFY(signUp != signIn);
    QVERIFY(!signUp->findChild<QWidget *>(QStringLiteral("nameStackView"))->isHidden());
    QVERIFY(signUp->findChild<QWidget *>(QStringLiteral("forgotPasswordButton"))->isHidden());
    QCOMPARE(signUp->findChild<Button *>(QStringLiteral("actionButton"))->title(), QStringLiteral("Sign Up"));
    QVERIFY(m_sent.isEmpty());
}

void tst_AuthFlows::invalidInputIsRefusedLocally()
{
    openWindow();
    AuthViewController *auth = openAuth(false);
    QVERIFY(auth);

    const QList<std::pair<QString, QString>> refused = {
        {QStringLiteral("ann@example.com"), QStringLiteral("abcd")},     // four characters
        {QStringLiteral("ann@example.c"), QStringLiteral("abcde")},      // one-letter top-level part
        {QStringLiteral("ann @example.com"), QStringLiteral("abcde")},   // a space
        {QStringLiteral("ann@example.com"), QStringLiteral("e\u0301e\u0301e\u0301e\u0301")}, // 4 with accents
    };
    for (const auto &[email, password] : refused) {
        submit(auth, {}, email, password);
        // Shown on the next turn of the event loop, never at once.
        QVERIFY(!alert());
        QTRY_VERIFY(alert());
        QCOMPARE(alert()->message(), QStringLiteral("Please, enter valid data"));
        QVERIFY(auth->progressContainer()->isHidden());
        QVERIFY(nothingInFlight());
        QVERIFY(dismissAlert());
    }
    QVERIFY(m_sent.isEmpty());
    QVERIFY(!m_session.session.isSignedIn());
}

void tst_AuthFlows::forgotPasswordOpensTheResetPageOverHttps()
{
    PageCatcher pages;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &pages, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &pages, "open");
    openWindow();
    AuthViewController *auth = openAuth(false);
    QVERIFY(auth);
    QTest::mouseClick(auth->findChild<QPushButton *>(QStringLiteral("forgotPasswordButton")), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QCOMPARE(pages.opened, QList<QUrl>{QUrl(QStringLiteral("https://reset.orvex.example:8443/forgotpassword"))});
}

void tst_AuthFlows::signInWithThisMachineRegisteredSendsNoAddDevice()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, QStringLiteral("secret-1"), QStringLiteral("+33612340001")));
    QVERIFY(registerDevice(Utility::udid(email), email));
    UserDefaults::standard().setString(Keys::phone, QStringLiteral("+1 old number"));

    openWindow();
    m_sent.clear();
    AuthViewController *auth = openAuth(false);
    QVERIFY(auth);
    submit(auth, {}, email, QStringLiteral("secret-1"));
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);

    const QList<QUrl> lookups = sent(QStringLiteral("/getuser.json"));
    QCOMPARE(lookups.size(), 1);
    QCOMPARE(parameter(lookups.first(), "check"), QStringLiteral("secret-1"));
    QVERIFY(sent(QStringLiteral("/adddevice.json")).isEmpty());
    QCOMPARE(stored(Keys::tempEmail), email);
    QCOMPARE(m_session.session.password(), QStringLiteral("secret-1"));
    QCOMPARE(stored(Keys::phone), QStringLiteral("+33612340001"));
    // The password went to the secret store, never into the settings.
    QTRY_COMPARE(m_session.secrets.secrets.value(QStringLiteral("password")), QStringLiteral("secret-1"));
    QVERIFY(!UserDefaults(UserDefaults::standardFilePath()).contains(QStringLiteral("password")));
}

void tst_AuthFlows::signInWithoutDevicesRegistersThisMachine()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, QStringLiteral("secret-2"), QStringLiteral("+33612340002")));
    // The service finds the account whatever the case; the udid is made from
    // the e-mail of its record, the request names the e-mail as typed.
    const QString typed = email.toUpper();
    openWindow();
    AuthViewController *auth = openAuth(false);
    QVERIFY(auth);
    submit(auth, {}, typed, QStringLiteral("secret-2"));
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);

    const QList<QUrl> registrations = sent(QStringLiteral("/adddevice.json"));
    QCOMPARE(registrations.size(), 1);
    QCOMPARE(parameter(registrations.first(), "udid"), Utility::udid(email));
    QVERIFY(Utility::udid(email) != Utility::udid(typed));
    QCOMPARE(parameter(registrations.first(), "user"), typed);
    QCOMPARE(stored(Keys::tempEmail), typed);

    const std::optional<UserModel> account = fetchUser(email, QStringLiteral("secret-2"));
    QVERIFY(account);
    QVERIFY(DeviceRegistration::holdsDevice(*account, Utility::udid(email)));
}

void tst_AuthFlows::autoSignInWithOnlyAnEmailSendsNothing()
{
    UserDefaults::standard().setString(Keys::tempEmail, QStringLiteral("ann@example.com"));
    openWindow();
    auto *auth = instantiate<AuthViewController>(AppStoryboard::Auth);
    auth->currentAuth = AuthType::autoSignIn;
    m_window->setContentViewController(auth);
    QCOMPARE(root(), auth);
    QTest::qWait(300); // room for a request that should not come

    QVERIFY(m_sent.isEmpty());
    QVERIFY(nothingInFlight());
    QVERIFY(auth->progressContainer()->isHidden());
    QCOMPARE(auth->findChild<QLineEdit *>(QStringLiteral("emailTextField"))->text(), QString());
    QCOMPARE(auth->findChild<QLineEdit *>(QStringLiteral("passwordTextField"))->text(), QString());
    QVERIFY(!alert());
}

void tst_AuthFlows::rejectedStoredPasswordShowsTheServiceErrorOverTheForm()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, QStringLiteral("right-pass"), QStringLiteral("+33612340003")));
    m_session.session.setCredentials(email, QStringLiteral("wrong-pass"));

    openWindow(); // signed in: the first screen signs in by itself
    auto *auth = qobject_cast<AuthViewController *>(root());
    QVERIFY(auth);
    QCOMPARE(auth->currentAuth, AuthType::autoSignIn);
    QTRY_VERIFY_WITH_TIMEOUT(alert(), patience);
    QCOMPARE(alert()->message(), QStringLiteral("Wrong email or password"));
    QVERIFY(auth->progressContainer()->isHidden());
    QCOMPARE(auth->findChild<QLineEdit *>(QStringLiteral("emailTextField"))->text(), email);
    QCOMPARE(auth->findChild<QLineEdit *>(QStringLiteral("passwordTextField"))->text(), QStringLiteral("wrong-pass"));
    QCOMPARE(m_session.session.password(), QStringLiteral("wrong-pass"));
    QCOMPARE(stored(Keys::phone), std::nullopt);
    QVERIFY(sent(QStringLiteral("/adddevice.json")).isEmpty());

    // Pressing the button again tries the same values once more.
    QVERIFY(dismissAlert());
    m_sent.clear();
    QTest::mouseClick(auth->findChild<QPushButton *>(QStringLiteral("actionButton")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(alert(), patience);
    QCOMPARE(alert()->message(), QStringLiteral("Wrong email or password"));
    QCOMPARE(sent(QStringLiteral("/getuser.json")).size(), 1);
    QCOMPARE(parameter(sent(QStringLiteral("/getuser.json")).first(), "check"), QStringLiteral("wrong-pass"));

    // The form is the window's first screen: back leads to the start screen.
    QVERIFY(dismissAlert());
    QTest::mouseClick(auth->findChild<QAbstractButton *>(QStringLiteral("backButton")), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(root()->identifier(), QStringLiteral("StartViewController"), patience);
}

void tst_AuthFlows::signInWhoseScreenIsGoneStoresAndStops()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, QStringLiteral("secret-4"), QStringLiteral("+33612340004")));
    openWindow();
    m_sent.clear();

    bool reported = false;
    auto *handler = new AuthHandler;
    handler->resultHandler = [&reported](const std::optional<Error> &) { reported = true; };
    handler->authenticate(AuthData{AuthType::signIn, {}, email, QStringLiteral("secret-4")});
    delete handler; // the screen went away while the request was out
    QVERIFY(waitIdle());

    QCOMPARE(sent(QStringLiteral("/getuser.json")).size(), 1);
    QCOMPARE(stored(Keys::tempEmail), email);
    QCOMPARE(m_session.session.password(), QStringLiteral("secret-4"));
    QCOMPARE(stored(Keys::phone), QStringLiteral("+33612340004"));
    QVERIFY(sent(QStringLiteral("/adddevice.json")).isEmpty());
    QVERIFY(!reported);
    QVERIFY(!qobject_cast<MainViewController *>(root()));
}

void tst_AuthFlows::signUpWithATakenEmailIsRefused()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, QStringLiteral("secret-5"), QStringLiteral("+33612340005")));
    openWindow();
    m_sent.clear();
    AuthViewController *auth = openAuth(true);
    QVERIFY(auth);
    submit(auth, QString(), email, QStringLiteral("another-1")); // an empty name passes
    QTRY_VERIFY_WITH_TIMEOUT(alert(), patience);
    QCOMPARE(alert()->message(), QStringLiteral("User with given email already exists"));
    QCOMPARE(sent(QStringLiteral("/checkUserAccount.json")).size(), 1);
    QVERIFY(auth->progressContainer()->isHidden());
    QCOMPARE(stored(Keys::tempEmail), std::nullopt);
    QCOMPARE(m_session.session.password(), std::nullopt);
    QCOMPARE(stored(Keys::name), std::nullopt);
    QVERIFY(!presented<MobileViewController>());
}

void tst_AuthFlows::wholeSignUpReachesTheMainScreen()
{
    const QString email = newEmail();
    const QString password = QStringLiteral("pass word+1&2");
    openWindow();
    AuthViewController *auth = openAuth(true);
    QVERIFY(auth);
    submit(auth, QStringLiteral("Zoë Martin"), email, password);

    QTRY_VERIFY_WITH_TIMEOUT(presented<MobileViewController>(), patience);
    MobileViewController *mobile = presented<MobileViewController>();
    QVERIFY(auth->progressContainer()->isHidden());
    QCOMPARE(stored(Keys::name), QStringLiteral("Zoë Martin"));
    QCOMPARE(stored(Keys::tempEmail), email);
    QCOMPARE(m_session.session.password(), password);
    QCOMPARE(mobile->findChild<QLabel *>(QStringLiteral("countryCodeLabel"))->text(), QStringLiteral("+33"));

    enterNumber(mobile, QStringLiteral("612345678"));
    QTRY_VERIFY_WITH_TIMEOUT(presented<ConfirmationCodeViewController>(), patience);
    auto *confirmation = presented<ConfirmationCodeViewController>();
    const QString number = QStringLiteral("+33612345678");
    QCOMPARE(parameter(sent(QStringLiteral("/iOS/lookup.php")).constFirst(), "Number"), number);
    QCOMPARE(stored(Keys::phone), number);
    const QStringList sms = outbox(number);
    QCOMPARE(sms.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9]{4}$")).match(sms.first()).hasMatch(), qPrintable(sms.first()));
    QCOMPARE(stored(Keys::smsCode), sms.first());
    QVERIFY(mobile->progressContainer()->isHidden());

    enterCode(confirmation, sms.first());
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);
    QCOMPARE(sent(QStringLiteral("/adduser.json")).size(), 1);
    QCOMPARE(sent(QStringLiteral("/adddevice.json")).size(), 1);
    QCOMPARE(parameter(sent(QStringLiteral("/adddevice.json")).first(), "udid"), Utility::udid(email));

    const std::optional<UserModel> account = fetchUser(email, password);
    QVERIFY(account);
    QCOMPARE(account->name, QStringLiteral("Zoë Martin"));
    QCOMPARE(account->phoneNumber, number);
    QVERIFY(DeviceRegistration::holdsDevice(*account, Utility::udid(email)));
}

void tst_AuthFlows::codesAreComparedExactly()
{
    SecureRandom::setSourceForTesting([](quint32 bound) { return bound > 42 ? 42u : 0u; });
    const QString email = newEmail();
    openWindow();
    storeSignUpStep(email, QStringLiteral("secret-7"));
    MobileViewController *mobile = showOverStart<MobileViewController>();
    QVERIFY(mobile);
    enterNumber(mobile, QStringLiteral("612345679"));
    QTRY_VERIFY_WITH_TIMEOUT(presented<ConfirmationCodeViewController>(), patience);
    QCOMPARE(outbox(QStringLiteral("+33612345679")), QStringList{QStringLiteral("0042")});
    QCOMPARE(stored(Keys::smsCode), QStringLiteral("0042"));

    auto *confirmation = presented<ConfirmationCodeViewController>();
    m_sent.clear();
    for (const QString &wrong : {QStringLiteral("42"), QStringLiteral("0042 "), QStringLiteral("0043")}) {
        enterCode(confirmation, wrong);
        QTRY_VERIFY(alert());
        QCOMPARE(alert()->message(), QStringLiteral("Wrong confirmation code"));
        QVERIFY(confirmation->progressContainer()->isHidden());
        QVERIFY(dismissAlert());
    }
    QVERIFY(m_sent.isEmpty());
    QCOMPARE(stored(Keys::smsCode), QStringLiteral("0042"));

    // An empty code is refused before anything else.
    enterCode(confirmation, QString());
    QTRY_VERIFY(alert());
    QCOMPARE(alert()->message(), QStringLiteral("Please, fill in all fields"));
    QVERIFY(dismissAlert());

    enterCode(confirmation, QStringLiteral("0042"));
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);
    // A confirmed code is not kept.
    QCOMPARE(stored(Keys::smsCode), std::nullopt);
    const std::optional<UserModel> account = fetchUser(email, QStringLiteral("secret-7"));
    QVERIFY(account);
    QCOMPARE(account->name, QStringLiteral("Zoë Martin"));
}

void tst_AuthFlows::phoneNumberIsCheckedBeforeAnyCode()
{
    openWindow();
    storeSignUpStep(newEmail(), QStringLiteral("secret-8"));
    MobileViewController *mobile = showOverStart<MobileViewController>();
    QVERIFY(mobile);

    // Eight digits with a country code: refused here, nothing sent.
    enterNumber(mobile, QStringLiteral("61234567"));
    QVERIFY(!alert());
    QTRY_VERIFY(alert());
    QCOMPARE(alert()->message(), QStringLiteral("Invalid mobile number"));
    QVERIFY(nothingInFlight());
    QVERIFY(m_sent.isEmpty());
    QVERIFY(dismissAlert());

    // A fixed line is a number, but no mobile one: the service's status is not 200.
    enterNumber(mobile, QStringLiteral("123456789"));
    QTRY_VERIFY_WITH_TIMEOUT(alert(), patience);
    QCOMPARE(alert()->message(), QStringLiteral("Invalid mobile number"));
    QCOMPARE(sent(QStringLiteral("/iOS/lookup.php")).size(), 1);
    QVERIFY(sent(QStringLiteral("/iOS/getverification.php")).isEmpty());
    QVERIFY(mobile->progressContainer()->isHidden());
    QCOMPARE(stored(Keys::smsCode), std::nullopt);
    QVERIFY(outbox(QStringLiteral("+33123456789")).isEmpty());
    QVERIFY(dismissAlert());

    // Back returns to what was under the phone screen.
    QTest::mouseClick(mobile->findChild<QAbstractButton *>(QStringLiteral("backButton")), Qt::LeftButton);
    QVERIFY(!presented<MobileViewController>());
}

void tst_AuthFlows::confirmingAKnownAccountSkipsAccountCreation()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, QStringLiteral("secret-9"), QStringLiteral("+33612340009")));
    openWindow();
    storeSignUpStep(email, QStringLiteral("secret-9"));
    UserDefaults::standard().setString(Keys::phone, QStringLiteral("+33612340009"));
    UserDefaults::standard().setString(Keys::smsCode, QStringLiteral("1234"));
    m_sent.clear();

    auto *confirmation = showOverStart<ConfirmationCodeViewController>();
    QVERIFY(confirmation);
    enterCode(confirmation, QStringLiteral("1234"));
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);
    QVERIFY(sent(QStringLiteral("/adduser.json")).isEmpty());
    const QList<QUrl> lookups = sent(QStringLiteral("/getuser.json"));
    QCOMPARE(lookups.size(), 1);
    // Looked up without the password: the service's fixed check value.
    QCOMPARE(parameter(lookups.first(), "check"), Config::current().serviceCheckValue);
    QCOMPARE(sent(QStringLiteral("/adddevice.json")).size(), 1);
}

void tst_AuthFlows::accountWithoutAStoredNameIsCalledUnknown()
{
    const QString email = newEmail();
    openWindow();
    m_session.session.setCredentials(email, QStringLiteral("secret-10"));
    UserDefaults::standard().setString(Keys::phone, QStringLiteral("+33612340010"));
    UserDefaults::standard().setString(Keys::smsCode, QStringLiteral("0000"));

    auto *confirmation = showOverStart<ConfirmationCodeViewController>();
    QVERIFY(confirmation);
    enterCode(confirmation, QStringLiteral("0000"));
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);
    QCOMPARE(parameter(sent(QStringLiteral("/adduser.json")).constFirst(), "name"), QStringLiteral("Unknown"));
    const std::optional<UserModel> account = fetchUser(email, QStringLiteral("secret-10"));
    QVERIFY(account);
    QCOMPARE(account->name, QStringLiteral("Unknown"));
    QCOMPARE(account->phoneNumber, QStringLiteral("+33612340010"));
}

void tst_AuthFlows::leavingTheCodeScreenForgetsTheCode()
{
    openWindow();
    storeSignUpStep(newEmail(), QStringLiteral("secret-11"));
    UserDefaults::standard().setString(Keys::smsCode, QStringLiteral("5678"));
    QPointer<ConfirmationCodeViewController> confirmation = showOverStart<ConfirmationCodeViewController>();
    QVERIFY(confirmation);
    QTest::mouseClick(confirmation->findChild<QAbstractButton *>(QStringLiteral("backButton")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!confirmation, patience);
    QCOMPARE(stored(Keys::smsCode), std::nullopt);
    QVERIFY(m_sent.isEmpty());
}

void tst_AuthFlows::serviceDownDuringSignInThenBackAgain()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, QStringLiteral("secret-9"), QStringLiteral("+33612340009")));
    // The service hangs up on every sign-in without answering.
    const QByteArray down = R"({"path": "/getuser.json", "fault": "close"})";
    QCOMPARE(m_https->post(QStringLiteral("/dev/faults"), down, {{"Content-Type", "application/json"}}).status, 200);

    openWindow();
    AuthViewController *auth = openAuth(false);
    QVERIFY(auth);
    submit(auth, {}, email, QStringLiteral("secret-9"));
    QTRY_VERIFY_WITH_TIMEOUT(alert(), patience);
    QVERIFY(!alert()->message().isEmpty()); // the transport's own description
    QVERIFY(auth->progressContainer()->isHidden());
    QVERIFY(!qobject_cast<MainViewController *>(root()));
    QCOMPARE(stored(Keys::tempEmail), std::nullopt);

    // Once the service is back the same button works.
    const QByteArray up = R"({"path": "/getuser.json", "fault": "none"})";
    QCOMPARE(m_https->post(QStringLiteral("/dev/faults"), up, {{"Content-Type", "application/json"}}).status, 200);
    QVERIFY(dismissAlert());
    QTest::mouseClick(auth->findChild<QPushButton *>(QStringLiteral("actionButton")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);
    QCOMPARE(stored(Keys::tempEmail), email);
}

// From the start screen to the signed-in main screen with the keyboard alone:
// Tab and Shift+Tab to move, Space and Return to press, and the letters of the
// e-mail and password, all delivered to the window as the platform delivers
// keys. The focus is always on something visible and never left behind the
// overlay while the sign-in runs.
void tst_AuthFlows::keyboardAloneSignsIn()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, QStringLiteral("secret-k1"), QStringLiteral("+33612340011")));
    QVERIFY(registerDevice(Utility::udid(email), email));
    openWindow();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QWindow *window = m_window->windowHandle();

    const auto focusSeen = [] {
        QWidget *focus = QApplication::focusWidget();
        if (!focus || !focus->isVisible())
            return false;
        // Nothing of an overlay shown over it.
        for (auto *screen = qobject_cast<BaseViewController *>(focus->parentWidget()); screen;
             screen = qobject_cast<BaseViewController *>(screen->parentWidget())) {
            QWidget *overlay = screen->progressContainer();
            if (!overlay->isHidden() && focus != overlay && !overlay->isAncestorOf(focus))
                return false;
        }
        return true;
    };
    const auto type = [window](const QString &text) {
        for (const QChar c : text)
            QTest::keyClick(window, c.toLatin1());
    };
    const auto focusedName = [] {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    };
    const auto tabTo = [&](const QString &name, Qt::KeyboardModifiers modifiers) {
        for (int presses = 0; presses < 12 && focusedName() != name; ++presses) {
            QTest::keyClick(window, Qt::Key_Tab, modifiers);
            if (!focusSeen())
                return false;
        }
        return focusedName() == name;
    };

    // The start screen: to "Sign In" (past "Sign Up" and back), and press it.
    QVERIFY(tabTo(QStringLiteral("signUpButton"), Qt::NoModifier));
    QVERIFY(tabTo(QStringLiteral("signInButton"), Qt::ShiftModifier));
    QTest::keyClick(window, Qt::Key_Space);
    QTRY_VERIFY(presented<AuthViewController>() && presented<AuthViewController>()->isVisible());
    AuthViewController *auth = presented<AuthViewController>();

    // The form opens with the focus in the e-mail field.
    QTRY_COMPARE(focusedName(), QStringLiteral("emailTextField"));
    type(email);
    QVERIFY(tabTo(QStringLiteral("passwordTextField"), Qt::NoModifier));
    type(QStringLiteral("secret-k1"));
    QCOMPARE(auth->findChild<QLineEdit *>(QStringLiteral("emailTextField"))->text(), email);
    QTest::keyClick(window, Qt::Key_Return);
    QVERIFY(focusSeen());
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);
    QCOMPARE(stored(Keys::tempEmail), email);

    // On the main screen the switch is a Tab away.
    auto *main = qobject_cast<MainViewController *>(root());
    QTRY_VERIFY(main->isVisible() && main->progressContainer()->isHidden());
    QVERIFY(tabTo(QStringLiteral("mainButton"), Qt::NoModifier));
}

QTEST_MAIN(tst_AuthFlows)
#include "tst_authflows.moc"
