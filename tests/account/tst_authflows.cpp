// The account screens in a real (offscreen) main window against the real
// orvex-devservice over loopback HTTPS; the SMS code is read back from the
// service's outbox.

#include "Capture.h"
#include "DevServiceProcess.h"

#include "ui/AppStoryboard.h"
#include "account/AuthHandler.h"
#include "account/AuthViewController.h"
#include "account/ConfirmationCodeViewController.h"
#include "session/DefaultsKeys.h"
#include "account/DeviceRegistration.h"
#include "account/MobileViewController.h"
#include "session/Session.h"
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
#include "home/MainViewController.h"

#include <QDesktopServices>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "TestSession.h"
#include <QUrlQuery>

using namespace Qt::StringLiterals;

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

namespace {

// A safety net so a broken service fails a test instead of hanging it; no
// test asserts on how long anything takes.
constexpr int patience = 30000;

const QString machineId = u"5f0c6a55d6a84e6f9a6a1f1d3c2b7e90"_s;

QString parameter(const QUrl &url, const char *name)
{
    return QUrlQuery(url).queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
}

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

    void formsBeforeAnythingIsSent();
    void signIn();
    void rejectedStoredPasswordShowsTheServiceErrorOverTheForm();
    void signInWhoseScreenIsGoneStoresAndStops();
    void wholeSignUpComparesTheCodeExactly();
    void phoneNumberIsCheckedBeforeAnyCode();
    void confirmingTheCode_data();
    void confirmingTheCode();

private:
    ViewController *root() const { return m_window->contentViewController(); }
    AlertController *alert() const { return presented<AlertController>(); }
    QString alertMessage() const { return alert() ? alert()->message() : QString(); }
    bool waitIdle() const
    {
        return QTest::qWaitFor([this] { return networkIsIdle(m_session->network); }, patience);
    }
    QString newEmail()
    {
        return u"member%1.%2@example.com"_s.arg(++m_accounts).arg(QCoreApplication::applicationPid());
    }

    void openWindow()
    {
        m_window = std::make_unique<WindowController>(m_session->context);
        m_window->windowDidLoad();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    template<typename T>
    T *presented() const
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

    bool dismissAlert()
    {
        AlertController *shown = alert();
        if (!shown)
            return false;
        shown->buttonAction();
        return alert() == nullptr;
    }

    AuthViewController *openAuth(bool signUp)
    {
        auto *button = root()->findChild<QPushButton *>(signUp ? u"signUpButton"_s : u"signInButton"_s);
        if (!button)
            return nullptr;
        QTest::mouseClick(button, Qt::LeftButton);
        return presented<AuthViewController>();
    }

    void submit(AuthViewController *auth, const QString &name, const QString &email, const QString &password)
    {
        auth->findChild<QLineEdit *>(u"nameTextField"_s)->setText(name);
        auth->findChild<QLineEdit *>(u"emailTextField"_s)->setText(email);
        auth->findChild<QLineEdit *>(u"passwordTextField"_s)->setText(password);
        QTest::mouseClick(auth->findChild<QPushButton *>(u"actionButton"_s), Qt::LeftButton);
    }

    template<typename Screen>
    Screen *showOverStart()
    {
        Navigator::show(m_window.get(), instantiate<Screen>(m_session->context, AppStoryboard::Auth),
                        NavigationDirection::toLeft);
        return presented<Screen>();
    }

    void typeAndPress(QWidget *screen, const QString &field, const QString &text, const QString &button)
    {
        auto *edit = screen->findChild<QLineEdit *>(field);
        edit->clear();
        QTest::keyClicks(edit, text);
        QTest::mouseClick(screen->findChild<QPushButton *>(button), Qt::LeftButton);
    }

    QList<QUrl> sent(const QString &path) const
    {
        QList<QUrl> found;
        for (const QUrl &url : m_sent) {
            if (url.path() == path)
                found.append(url);
        }
        return found;
    }

    bool createAccount(const QString &email, const QString &password, const QString &phone)
    {
        Capture<UserResponse> created;
        m_session->network.addUser(u"Ann Example"_s, email, password, phone, created.completion());
        return created.wait(patience) && created.result->isSuccess();
    }

    std::optional<UserModel> fetchUser(const QString &email, const std::optional<QString> &password)
    {
        Capture<UserResponse> found;
        m_session->network.getUser(email, password, found.completion());
        if (!found.wait(patience) || !found.result->isSuccess())
            return std::nullopt;
        return found.result->value().user;
    }

    QStringList outbox(const QString &number)
    {
        const HttpAnswer answer = m_https->get(u"/dev/sms"_s, {{u"to"_s, number}});
        QStringList messages;
        for (const QJsonValue &sms : QJsonDocument::fromJson(answer.body).array())
            messages.append(sms.toObject().value("message"_L1).toString());
        return messages;
    }

    std::optional<QString> stored(QLatin1String key) const { return m_session->defaults.string(key); }

    std::optional<TestSession> m_session; // each case's own: signed out, nothing saved
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
    const QByteArray nowhere = "unix:path=" + m_dir.filePath(u"no-bus"_s).toLocal8Bit();
    qputenv("DBUS_SESSION_BUS_ADDRESS", nowhere);
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", nowhere);

    m_service = std::make_unique<DevServiceProcess>(m_dir.filePath(u"service"_s));
    QVERIFY2(m_service->start({u"--dev-routes"_s}), qPrintable(m_service->errors()));

    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(machineId); });
    // The phone screen preselects the country of the user's locale.
    QLocale::setDefault(QLocale(u"fr_FR"_s));

    m_https = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
}

void tst_AuthFlows::init()
{
    m_session.emplace();
    Config &config = m_session->config;
    config.apiBaseURL = m_service->origin();
    config.caCertificates = {m_service->caCertificate()};
    config.passwordResetURL = u"http://reset.orvex.example:8443/somewhere"_s;
    config.vpnBackend = u"vici"_s;
    config.viciSocket = m_dir.filePath(u"no-charon.vici"_s);
    // A Turn ON blocks traffic: never in the machine's own namespace.
    config.viciNetworkNamespace = m_dir.filePath(u"no-netns"_s);

    auto *manager = m_session->network.findChild<QNetworkAccessManager *>();
    QVERIFY(manager);
    // The flows' requests: once the main screen is there, what is sent is its
    // own business (it looks the account up again, fetches usage, ...).
    connect(manager, &QNetworkAccessManager::finished, this, [this](QNetworkReply *reply) {
        if (!presented<MainViewController>())
            m_sent.append(reply->url());
    });
    SecureRandom::setSourceForTesting({});
    m_sent.clear();
}

void tst_AuthFlows::cleanup()
{
    QVERIFY(waitIdle());
    m_window.reset();
    // What the test posted, and the deletions it left, run out now.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Both forms before anything reaches the service: what each mode shows, the
// input refused here, and the reset page; then a sign-up with a taken e-mail.
void tst_AuthFlows::formsBeforeAnythingIsSent()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, u"secret-5"_s, u"+33612340005"_s));
    m_sent.clear();
    PageCatcher pages;
    QDesktopServices::setUrlHandler(u"https"_s, &pages, "open");
    QDesktopServices::setUrlHandler(u"http"_s, &pages, "open");
    openWindow();
    AuthViewController *auth = openAuth(false);
    QVERIFY(auth);
    QVERIFY(auth->findChild<QWidget *>(u"nameStackView"_s)->isHidden());

    const QList<std::pair<QString, QString>> refused = {
        {u"ann@example.com"_s, u"abcd"_s},   // four characters
        {u"ann @example.com"_s, u"abcde"_s}, // a space
    };
    for (const auto &[email, password] : refused) {
        submit(auth, {}, email, password);
        // Shown on the next turn of the event loop, never at once.
        QVERIFY(!alert());
        QTRY_COMPARE(alertMessage(), u"Please, enter valid data"_s);
        QVERIFY(auth->progressContainer()->isHidden());
        QVERIFY(networkIsIdle(m_session->network));
        QVERIFY(dismissAlert());
    }

    QTest::mouseClick(auth->findChild<QPushButton *>(u"forgotPasswordButton"_s), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(u"https"_s);
    QDesktopServices::unsetUrlHandler(u"http"_s);
    QCOMPARE(pages.opened, QList<QUrl>{QUrl(u"https://reset.orvex.example:8443/forgotpassword"_s)});

    QTest::mouseClick(auth->findChild<QAbstractButton *>(u"backButton"_s), Qt::LeftButton);
    QVERIFY(!presented<AuthViewController>());
    AuthViewController *signUp = openAuth(true);
    QVERIFY(signUp && signUp != auth);
    QVERIFY(!signUp->findChild<QWidget *>(u"nameStackView"_s)->isHidden());
    QVERIFY(signUp->findChild<QWidget *>(u"forgotPasswordButton"_s)->isHidden());
    QCOMPARE(signUp->findChild<Button *>(u"actionButton"_s)->title(), u"Sign Up"_s);
    QVERIFY(m_sent.isEmpty());
    QVERIFY(!m_session->session.isSignedIn());

    submit(signUp, QString(), email, u"another-1"_s); // an empty name passes
    QTRY_COMPARE_WITH_TIMEOUT(alertMessage(), u"User with given email already exists"_s, patience);
    QCOMPARE(sent(u"/checkUserAccount.json"_s).size(), 1);
    QVERIFY(signUp->progressContainer()->isHidden());
    QCOMPARE(stored(Keys::tempEmail), std::nullopt);
    QCOMPARE(m_session->session.password(), std::nullopt);
    QCOMPARE(stored(Keys::name), std::nullopt);
    QVERIFY(!presented<MobileViewController>());
}

// A machine already registered is the journey's second sign-in. Here one
// without devices: the service finds the account whatever the case; the udid
// is made from the e-mail of its record, the request names the e-mail as typed.
void tst_AuthFlows::signIn()
{
    const QString email = newEmail();
    const QString typed = email.toUpper();
    QVERIFY(createAccount(email, u"secret-1"_s, u"+33612340001"_s));
    m_session->defaults.setString(Keys::phone, u"+1 old number"_s);

    openWindow();
    m_sent.clear();
    AuthViewController *auth = openAuth(false);
    QVERIFY(auth);
    submit(auth, {}, typed, u"secret-1"_s);
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);

    const QList<QUrl> lookups = sent(u"/getuser.json"_s);
    QCOMPARE(lookups.size(), 1);
    QCOMPARE(parameter(lookups.first(), "check"), u"secret-1"_s);
    const QList<QUrl> registrations = sent(u"/adddevice.json"_s);
    QCOMPARE(registrations.size(), 1);
    QCOMPARE(parameter(registrations.first(), "udid"), Utility::udid(email));
    QVERIFY(Utility::udid(email) != Utility::udid(typed));
    QCOMPARE(parameter(registrations.first(), "user"), typed);
    QCOMPARE(stored(Keys::tempEmail), typed);
    QCOMPARE(m_session->session.password(), u"secret-1"_s);
    QCOMPARE(stored(Keys::phone), u"+33612340001"_s);
    // The password went to the secret store, never into the settings.
    QTRY_COMPARE(m_session->secrets.secrets.value(u"password"_s), u"secret-1"_s);
    QVERIFY(!UserDefaults(m_session->files.defaults).contains(u"password"_s));
    const std::optional<UserModel> account = fetchUser(email, u"secret-1"_s);
    QVERIFY(account);
    QVERIFY(DeviceRegistration::holdsDevice(*account, Utility::udid(email)));
}

void tst_AuthFlows::rejectedStoredPasswordShowsTheServiceErrorOverTheForm()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, u"right-pass"_s, u"+33612340003"_s));
    m_session->session.setCredentials(email, u"wrong-pass"_s);

    openWindow(); // signed in: the first screen signs in by itself
    auto *auth = qobject_cast<AuthViewController *>(root());
    QVERIFY(auth);
    QCOMPARE(auth->currentAuth, AuthType::autoSignIn);
    QTRY_COMPARE_WITH_TIMEOUT(alertMessage(), u"Wrong email or password"_s, patience);
    QVERIFY(auth->progressContainer()->isHidden());
    QCOMPARE(auth->findChild<QLineEdit *>(u"emailTextField"_s)->text(), email);
    QCOMPARE(auth->findChild<QLineEdit *>(u"passwordTextField"_s)->text(), u"wrong-pass"_s);
    QCOMPARE(m_session->session.password(), u"wrong-pass"_s);
    QCOMPARE(stored(Keys::phone), std::nullopt);
    QVERIFY(sent(u"/adddevice.json"_s).isEmpty());

    // Pressing the button again tries the same values once more.
    QVERIFY(dismissAlert());
    m_sent.clear();
    QTest::mouseClick(auth->findChild<QPushButton *>(u"actionButton"_s), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(alertMessage(), u"Wrong email or password"_s, patience);
    QCOMPARE(sent(u"/getuser.json"_s).size(), 1);
    QCOMPARE(parameter(sent(u"/getuser.json"_s).first(), "check"), u"wrong-pass"_s);

    // The form is the window's first screen: back leads to the start screen.
    QVERIFY(dismissAlert());
    QTest::mouseClick(auth->findChild<QAbstractButton *>(u"backButton"_s), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(root()->identifier(), u"StartViewController"_s, patience);
}

void tst_AuthFlows::signInWhoseScreenIsGoneStoresAndStops()
{
    const QString email = newEmail();
    QVERIFY(createAccount(email, u"secret-4"_s, u"+33612340004"_s));
    openWindow();
    m_sent.clear();

    bool reported = false;
    auto *handler = new AuthHandler(m_session->session, m_session->network);
    handler->resultHandler = [&reported](const std::optional<Error> &) { reported = true; };
    handler->authenticate(AuthData{AuthType::signIn, {}, email, u"secret-4"_s});
    delete handler; // the screen went away while the request was out
    QVERIFY(waitIdle());

    QCOMPARE(sent(u"/getuser.json"_s).size(), 1);
    QCOMPARE(stored(Keys::tempEmail), email);
    QCOMPARE(m_session->session.password(), u"secret-4"_s);
    QCOMPARE(stored(Keys::phone), u"+33612340004"_s);
    QVERIFY(sent(u"/adddevice.json"_s).isEmpty());
    QVERIFY(!reported);
    QVERIFY(!qobject_cast<MainViewController *>(root()));
}

// The whole sign-up through the screens, the code read from the service's
// outbox; wrong codes are refused without a request.
void tst_AuthFlows::wholeSignUpComparesTheCodeExactly()
{
    SecureRandom::setSourceForTesting([](quint32 bound) { return bound > 42 ? 42u : 0u; });
    const QString email = newEmail();
    const QString password = u"pass word+1&2"_s;
    openWindow();
    AuthViewController *auth = openAuth(true);
    QVERIFY(auth);
    submit(auth, u"Zoë Martin"_s, email, password);

    QTRY_VERIFY_WITH_TIMEOUT(presented<MobileViewController>(), patience);
    MobileViewController *mobile = presented<MobileViewController>();
    QVERIFY(auth->progressContainer()->isHidden());
    QCOMPARE(stored(Keys::name), u"Zoë Martin"_s);
    QCOMPARE(stored(Keys::tempEmail), email);
    QCOMPARE(m_session->session.password(), password);

    typeAndPress(mobile, u"mobileTextField"_s, u"612345678"_s, u"sendButton"_s);
    QTRY_VERIFY_WITH_TIMEOUT(presented<ConfirmationCodeViewController>(), patience);
    auto *confirmation = presented<ConfirmationCodeViewController>();
    const QString number = u"+33612345678"_s;
    QCOMPARE(parameter(sent(u"/iOS/lookup.php"_s).constFirst(), "Number"), number);
    QCOMPARE(stored(Keys::phone), number);
    QCOMPARE(outbox(number), QStringList{u"0042"_s});
    QCOMPARE(stored(Keys::smsCode), u"0042"_s);
    QVERIFY(mobile->progressContainer()->isHidden());

    m_sent.clear();
    for (const QString &wrong : {u"42"_s, u"0042 "_s, u"0043"_s}) {
        typeAndPress(confirmation, u"codeTextField"_s, wrong, u"confirmButton"_s);
        QTRY_COMPARE(alertMessage(), u"Wrong confirmation code"_s);
        QVERIFY(confirmation->progressContainer()->isHidden());
        QVERIFY(dismissAlert());
    }
    // An empty code is refused before anything else.
    typeAndPress(confirmation, u"codeTextField"_s, QString(), u"confirmButton"_s);
    QTRY_COMPARE(alertMessage(), u"Please, fill in all fields"_s);
    QVERIFY(dismissAlert());
    QVERIFY(m_sent.isEmpty());
    QCOMPARE(stored(Keys::smsCode), u"0042"_s);

    typeAndPress(confirmation, u"codeTextField"_s, u"0042"_s, u"confirmButton"_s);
    // The account and the machine's registration are the journey's.
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);
    // A confirmed code is not kept.
    QCOMPARE(stored(Keys::smsCode), std::nullopt);

    const std::optional<UserModel> account = fetchUser(email, password);
    QVERIFY(account);
    QCOMPARE(account->name, u"Zoë Martin"_s);
    QCOMPARE(account->phoneNumber, number);
}

void tst_AuthFlows::phoneNumberIsCheckedBeforeAnyCode()
{
    openWindow();
    m_session->session.setCredentials(newEmail(), u"secret-8"_s); // as the sign-up form leaves it
    MobileViewController *mobile = showOverStart<MobileViewController>();
    QVERIFY(mobile);

    // Eight digits with a country code: refused here, nothing sent.
    typeAndPress(mobile, u"mobileTextField"_s, u"61234567"_s, u"sendButton"_s);
    QVERIFY(!alert());
    QTRY_COMPARE(alertMessage(), u"Invalid mobile number"_s);
    QVERIFY(networkIsIdle(m_session->network));
    QVERIFY(m_sent.isEmpty());
    QVERIFY(dismissAlert());

    // A fixed line is a number, but no mobile one: the service's status is not 200.
    typeAndPress(mobile, u"mobileTextField"_s, u"123456789"_s, u"sendButton"_s);
    QTRY_COMPARE_WITH_TIMEOUT(alertMessage(), u"Invalid mobile number"_s, patience);
    QCOMPARE(sent(u"/iOS/lookup.php"_s).size(), 1);
    QVERIFY(sent(u"/iOS/getverification.php"_s).isEmpty());
    QVERIFY(mobile->progressContainer()->isHidden());
    QCOMPARE(stored(Keys::smsCode), std::nullopt);
    QVERIFY(outbox(u"+33123456789"_s).isEmpty());
    QVERIFY(dismissAlert());

    // Back returns to what was under the phone screen.
    QTest::mouseClick(mobile->findChild<QAbstractButton *>(u"backButton"_s), Qt::LeftButton);
    QVERIFY(!presented<MobileViewController>());

    // Leaving the code screen forgets the code.
    m_session->defaults.setString(Keys::smsCode, u"5678"_s);
    m_sent.clear();
    QPointer<ConfirmationCodeViewController> confirmation = showOverStart<ConfirmationCodeViewController>();
    QVERIFY(confirmation);
    QTest::mouseClick(confirmation->findChild<QAbstractButton *>(u"backButton"_s), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!confirmation, patience);
    QCOMPARE(stored(Keys::smsCode), std::nullopt);
    QVERIFY(m_sent.isEmpty());
}

void tst_AuthFlows::confirmingTheCode_data()
{
    QTest::addColumn<bool>("known");
    QTest::addColumn<QString>("name");
    // The account is there already: looked up without the password (the
    // service's fixed check value), not created again.
    QTest::newRow("known account") << true << u"Ann Example"_s;
    // No name was stored by the form: the account is created as "Unknown".
    QTest::newRow("new account without a name") << false << u"Unknown"_s;
}

void tst_AuthFlows::confirmingTheCode()
{
    QFETCH(bool, known);
    QFETCH(QString, name);
    const QString email = newEmail();
    if (known)
        QVERIFY(createAccount(email, u"secret-9"_s, u"+33612340009"_s));
    openWindow();
    m_session->session.setCredentials(email, u"secret-9"_s);
    m_session->defaults.setString(Keys::phone, u"+33612340009"_s);
    m_session->defaults.setString(Keys::smsCode, u"1234"_s);
    m_sent.clear();

    auto *confirmation = showOverStart<ConfirmationCodeViewController>();
    QVERIFY(confirmation);
    typeAndPress(confirmation, u"codeTextField"_s, u"1234"_s, u"confirmButton"_s);
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), patience);
    const QList<QUrl> created = sent(u"/adduser.json"_s);
    QCOMPARE(created.size(), known ? 0 : 1);
    if (known) {
        const QList<QUrl> lookups = sent(u"/getuser.json"_s);
        QCOMPARE(lookups.size(), 1);
        QCOMPARE(parameter(lookups.first(), "check"), m_session->config.serviceCheckValue);
    } else {
        QCOMPARE(parameter(created.first(), "name"), u"Unknown"_s);
    }
    QCOMPARE(sent(u"/adddevice.json"_s).size(), 1);
    const std::optional<UserModel> account = fetchUser(email, u"secret-9"_s);
    QVERIFY(account);
    QCOMPARE(account->name, name);
    QCOMPARE(account->phoneNumber, u"+33612340009"_s);
}

QTEST_MAIN(tst_AuthFlows)
#include "tst_authflows.moc"
