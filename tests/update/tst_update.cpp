// The update check at launch and from the menu, the offer window and the
// package download, in a real (offscreen) main window against orvex-devservice.

#include "Capture.h"
#include "DevServiceProcess.h"
#include "ProgramRun.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "TestHttpServer.h"

#include "ui/AppStoryboard.h"
#include "api/Utility.h"
#include "ui/AlertController.h"
#include "settings/InfoViewController.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "controls/Button.h"
#include "controls/View.h"
#include "update/DebianVersion.h"
#include "update/UpdateHandler.h"
#include "update/UpdateMessageViewController.h"
#include "update/UpdateViewController.h"
#include "update/UpdatingService.h"
#include "TestSession.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

QByteArray updateAnswer(bool error, const QString &name, const QString &version = u"2.4.0"_s)
{
    const QJsonObject status{{u"version"_s, version}, {u"command"_s, u"checkupdates"_s},
                             {u"opf"_s, u"0"_s},      {u"error"_s, error},
                             {u"name"_s, name},       {u"softwareversion"_s, version}};
    return QJsonDocument(QJsonObject{{u"status"_s, status}}).toJson(QJsonDocument::Compact);
}

// A fresh key pair from the openssl command line: the private key into
// `privatePath`, the public key returned as PEM. `algorithm` is "ED25519" or
// "RSA" (of the 3072 bits the configuration asks for at least).
QByteArray makeKeyPair(const char *algorithm, const QString &privatePath)
{
    QStringList generate{u"genpkey"_s, u"-algorithm"_s, QString::fromLatin1(algorithm), u"-out"_s,
                         privatePath};
    if (qstrcmp(algorithm, "RSA") == 0)
        generate << u"-pkeyopt"_s << u"rsa_keygen_bits:3072"_s;
    if (runProgram(u"openssl"_s, generate, 60000).exitCode != 0)
        return {};
    const ProgramRun exported = runProgram(u"openssl"_s, {u"pkey"_s, u"-in"_s, privatePath, u"-pubout"_s},
                                           60000);
    return exported.exitCode == 0 ? exported.out.toUtf8() : QByteArray();
}

// Sends a redirect to `location` (absolute, or a path on the same origin).
TestHttpServer::Handler redirectTo(const QByteArray &location)
{
    return [location](const TestHttpRequest &, QTcpSocket *socket) {
        socket->write("HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n");
    };
}

// Announces `declared` bytes (none: the body runs until the connection
// closes), sends `sent` of them and then nothing more, keeping the connection.
TestHttpServer::Handler endless(qint64 declared, qint64 sent)
{
    return [declared, sent](const TestHttpRequest &, QTcpSocket *socket) {
        QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
        if (declared > 0)
            head += "Content-Length: " + QByteArray::number(declared) + "\r\n";
        socket->write(head + "\r\n" + QByteArray(sent, 'x'));
    };
}

QStringList downloadedFiles()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation))
        .entryList(QDir::Files | QDir::Hidden | QDir::System);
}

} // namespace

class tst_Update : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void openFile(const QUrl &url) { m_opened << url; }

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(u"file"_s); }
    void init();
    void cleanup();
    void currentVersionShowsTheMessageOnlyFromTheMenu();
    void answersThatOfferNothingShowNothing_data();
    void answersThatOfferNothingShowNothing();
    void downloadSavesThePackageUnderItsVersionAndOpensIt();
    void fileNameStaysInDownloads_data();
    void fileNameStaysInDownloads();
    void versionsAreOrderedLikeThePackageManager_data();
    void versionsAreOrderedLikeThePackageManager();
    void downloadsComeOnlyFromTrustedOrigins_data();
    void downloadsComeOnlyFromTrustedOrigins();
    void downloadsAreKeptOnlyWhenSoundAndSigned_data();
    void downloadsAreKeptOnlyWhenSoundAndSigned();

private:
    TestSession m_session;
    QList<ViewController *> shown() const
    {
        return m_window->contentViewController()->presentedViewControllers();
    }
    void useService(const QString &origin);
    QByteArray fetch(const QString &address);
    bool checkAndSettle(bool isLaunch);
    UpdateViewController *offerFrom(const QString &origin, bool isLaunch = false);

    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_current;
    std::unique_ptr<DevServiceProcess> m_newer;
    std::unique_ptr<DevServiceProcess> m_signedEd25519;
    std::unique_ptr<DevServiceProcess> m_signedRsa;
    QByteArray m_ed25519Public;
    QByteArray m_rsaPublic;
    // What the Ed25519-signed service publishes for 2.4.0, served again by
    // the scripted server.
    QByteArray m_package;
    QByteArray m_signature;
    std::unique_ptr<TestHttpServer> m_scripted;
    std::unique_ptr<WindowController> m_window;
    QList<QUrl> m_opened;
};

void tst_Update::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_current = std::make_unique<DevServiceProcess>(m_dir.filePath(u"current"_s));
    QVERIFY(m_current->start());
    m_newer = std::make_unique<DevServiceProcess>(m_dir.filePath(u"newer"_s));
    QVERIFY(m_newer->start({u"--latest-version"_s, u"2.4.0"_s}));
    m_ed25519Public = makeKeyPair("ED25519", m_dir.filePath(u"ed25519.pem"_s));
    m_rsaPublic = makeKeyPair("RSA", m_dir.filePath(u"rsa.pem"_s));
    QVERIFY(!m_ed25519Public.isEmpty() && !m_rsaPublic.isEmpty());
    m_signedEd25519 = std::make_unique<DevServiceProcess>(m_dir.filePath(u"signed-ed25519"_s));
    QVERIFY(m_signedEd25519->start(
        {u"--latest-version"_s, u"2.4.0"_s, u"--update-signing-key"_s, m_dir.filePath(u"ed25519.pem"_s)}));
    m_signedRsa = std::make_unique<DevServiceProcess>(m_dir.filePath(u"signed-rsa"_s));
    QVERIFY(m_signedRsa->start(
        {u"--latest-version"_s, u"2.4.0"_s, u"--update-signing-key"_s, m_dir.filePath(u"rsa.pem"_s)}));
    m_scripted = std::make_unique<TestHttpServer>();
    QVERIFY(m_scripted->port() != 0);

    Config &config = m_session.config;
    config.caCertificates = {m_current->caCertificate(), m_newer->caCertificate(),
                             m_signedEd25519->caCertificate(), m_signedRsa->caCertificate(),
                             m_scripted->certificatePath()};
    QDesktopServices::setUrlHandler(u"file"_s, this, "openFile");

    const QString published = m_signedEd25519->origin() + u"/downloads/orvex-2.4.0.deb"_s;
    m_package = fetch(published);
    m_signature = fetch(published + u".sig"_s);
    QVERIFY(m_package.startsWith("!<arch>\n") && !m_signature.isEmpty());
}

QByteArray tst_Update::fetch(const QString &address)
{
    const QString path = m_dir.filePath(u"fetched"_s);
    Capture<Empty> fetched;
    m_session.network.download(QUrl(address), path, {qint64(1024) * 1024, {}}, fetched.completion());
    if (!fetched.wait() || !fetched.result->isSuccess())
        return {};
    return readFile(path);
}

void tst_Update::init()
{
    m_opened.clear();
    m_scripted->requests.clear();
    QDir(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)).removeRecursively();
    m_window = std::make_unique<WindowController>(m_session.context);
    m_window->setContentViewController(
        instantiate<InfoViewController>(m_session.context, AppStoryboard::Settings));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_Update::cleanup()
{
    QTRY_VERIFY_WITH_TIMEOUT(networkIsIdle(m_session.network), 60000);
    m_window.reset();
    // What the test posted, and the deletions it left, run out now.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_Update::useService(const QString &origin)
{
    Config &config = m_session.config;
    config.apiBaseURL = origin;
    config.updateHosts.clear();
    config.updateSigningKey.clear();
}

bool tst_Update::checkAndSettle(bool isLaunch)
{
    UpdatingService::check(*m_window, isLaunch);
    if (networkIsIdle(m_session.network))
        return false; // the check never asked
    // The answer is handled (an offer or a message presented, or nothing)
    // before its reply goes.
    return QTest::qWaitFor([this] { return networkIsIdle(m_session.network); }, 60000);
}

UpdateViewController *tst_Update::offerFrom(const QString &origin, bool isLaunch)
{
    useService(origin);
    if (!checkAndSettle(isLaunch) || shown().size() != 1)
        return nullptr;
    auto *offer = qobject_cast<UpdateViewController *>(shown().constFirst());
    if (offer && !QTest::qWaitForWindowExposed(offer->modalWindow()))
        return nullptr;
    return offer;
}

void tst_Update::currentVersionShowsTheMessageOnlyFromTheMenu()
{
    useService(m_current->origin());
    QVERIFY(checkAndSettle(true));
    QVERIFY(shown().isEmpty());

    QVERIFY(checkAndSettle(false));
    QCOMPARE(shown().size(), 1);
    auto *message = qobject_cast<UpdateMessageViewController *>(shown().constFirst());
    QVERIFY(message);
    QVERIFY(message->isPresentedAsModalWindow());
    QCOMPARE(message->modalWindow()->windowTitle(), QString());
    QCOMPARE(message->messageLabel()->text(), u"You already have the latest software"_s);
    QVERIFY(message->modalWindow()->height() >= message->minimumSizeHint().height());

    QTest::mouseClick(message->okButton(), Qt::LeftButton);
    QVERIFY(shown().isEmpty());
}

void tst_Update::answersThatOfferNothingShowNothing_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("upToDate"); // from the menu: "already up to date", else nothing
    const QString package = m_scripted->origin(true) + u"/pkg/orvex-2.4.0.deb"_s;
    QTest::newRow("error true, usable address") << updateAnswer(true, package) << false;
    QTest::newRow("relative path") << updateAnswer(false, u"/downloads/orvex-2.4.0.deb"_s) << false;
    QTest::newRow("undecodable") << QByteArray(R"({"status":{"version":"2.4.0","error":false}})") << false;
    // The service may be wrong about what is current.
    const QString running = Utility::applicationVersion();
    QTest::newRow("the running version") << updateAnswer(false, package, running) << true;
    QTest::newRow("a candidate of the running version")
        << updateAnswer(false, package, running + u"~rc1"_s) << true;
    QTest::newRow("not a version") << updateAnswer(false, package, u"newest"_s) << true;
}

void tst_Update::answersThatOfferNothingShowNothing()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, upToDate);
    m_scripted->route("/v3/ov/checkupdates/", TestHttpServer::answer(200, answer));
    useService(m_scripted->origin(true));
    QVERIFY(checkAndSettle(true));
    QVERIFY(shown().isEmpty());
    QVERIFY(checkAndSettle(false));
    QCOMPARE(shown().size(), upToDate ? 1 : 0);
    QVERIFY(!upToDate || qobject_cast<UpdateMessageViewController *>(shown().constFirst()));
    QCOMPARE(m_scripted->requests.size(), 2);
    // The check sent this build's version.
    QVERIFY(m_scripted->requests.constFirst().query().contains("version="
                                                               + Utility::applicationVersion().toLatin1()));
}

// The offer at launch (the menu's, in the other cases).
void tst_Update::downloadSavesThePackageUnderItsVersionAndOpensIt()
{
    UpdateViewController *offer = offerFrom(m_newer->origin(), true);
    QVERIFY(offer);
    QCOMPARE(offer->modalWindow()->windowTitle(), QString());
    QVERIFY(offer->versionLabel()->text().contains(u"2.4.0"_s));
    QVERIFY(offer->versionLabel()->text().contains(Utility::applicationVersion()));
    const QString expected = QDir(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation))
                                 .filePath(u"Orvex Cloud 2.4.0.deb"_s);
    QCOMPARE(UpdateHandler::destinationPath(offer->handler()->updateResponse), expected);

    StderrCapture captured(m_dir.filePath(u"stderr"_s));
    QTest::mouseClick(offer->downloadButton(), Qt::LeftButton);
    QVERIFY(offer->progressContainer()->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 1, 60000);
    QCOMPARE(m_opened.constFirst(), QUrl::fromLocalFile(expected));
    QVERIFY(!offer->progressContainer()->isVisible());

    QVERIFY(readFile(expected).startsWith("!<arch>\n"));

    // The window stays while the installer starts; no alert (one would be
    // posted with the opening, and shown on the next turn).
    QCoreApplication::processEvents();
    QCOMPARE(shown().size(), 1);
    QCOMPARE(shown().constFirst(), offer);

    // A second download replaces the file rather than piling up copies.
    QTest::mouseClick(offer->downloadButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 2, 60000);
    QCOMPARE(downloadedFiles(), QStringList{u"Orvex Cloud 2.4.0.deb"_s});
    // Without a signing key, said once per run however many downloads.
    QCOMPARE(captured.text().count("update packages are trusted on TLS alone"), 1);

    // The window closed at once: the download finishes all the same, and
    // nothing is reported.
    QVERIFY(QFile::remove(expected));
    offer->downloadButtonAction();
    offer->dismiss();
    QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 3, 60000);
    QCOMPARE(m_opened.constLast(), QUrl::fromLocalFile(expected));
    QVERIFY(readFile(expected).startsWith("!<arch>\n"));
    QCoreApplication::processEvents();
    QVERIFY(shown().isEmpty());
}

void tst_Update::fileNameStaysInDownloads_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("name");
    QTest::newRow("verbatim text") << u"2.1.0 beta (rc 1)"_s << u"Orvex Cloud 2.1.0 beta (rc 1).deb"_s;
    QTest::newRow("parent folders") << u"../../.config/autostart/x"_s
                                    << u"Orvex Cloud ..-..-.config-autostart-x.deb"_s;
    QTest::newRow("control character") << u"2.1\n0"_s << u"Orvex Cloud 2.1-0.deb"_s;
}

void tst_Update::fileNameStaysInDownloads()
{
    QFETCH(QString, version);
    QFETCH(QString, name);
    CheckForUpdatesResponse response;
    response.status.version = version;
    QCOMPARE(UpdateHandler::fileName(response), name);
    const QString path = UpdateHandler::destinationPath(response);
    QCOMPARE(QFileInfo(path).absolutePath(),
             QFileInfo(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)).absoluteFilePath());
    QCOMPARE(UpdateHandler::fileName(std::nullopt), u"Orvex Cloud new.deb"_s);
}

void tst_Update::versionsAreOrderedLikeThePackageManager_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order"); // -1 older, 0 same, 1 newer, 2 not comparable
    QTest::newRow("numbers, not text") << u"1.0.10"_s << u"1.0.9"_s << 1;
    QTest::newRow("release candidate before the release") << u"1.0.1~rc1"_s << u"1.0.1"_s << -1;
    QTest::newRow("release candidates in order") << u"1.0.1~rc2"_s << u"1.0.1~rc10"_s << -1;
    QTest::newRow("epoch wins") << u"1:0.9"_s << u"2.0"_s << 1;
    QTest::newRow("no epoch is epoch 0") << u"0:2.4.0"_s << u"2.4.0"_s << 0;
    QTest::newRow("leading zeros") << u"01.002"_s << u"1.2"_s << 0;
    QTest::newRow("shorter is older") << u"1.0"_s << u"1.0.0"_s << -1;
    QTest::newRow("letters after the end") << u"1.0a"_s << u"1.0"_s << 1;
    QTest::newRow("plus after letters") << u"1.0+b1"_s << u"1.0a"_s << 1;
    QTest::newRow("revision") << u"2.4.0-2"_s << u"2.4.0-10"_s << -1;
    QTest::newRow("hyphen in upstream") << u"2.4-1-3"_s << u"2.4-1-2"_s << 1;
    QTest::newRow("words") << u"latest"_s << u"1.0"_s << 2;
    QTest::newRow("empty") << QString() << u"1.0"_s << 2;
    QTest::newRow("empty epoch") << u":1.0"_s << u"1.0"_s << 2;
    QTest::newRow("colon without epoch") << u"1.0"_s << u"1:"_s << 2;
    QTest::newRow("markup") << u"9<b>"_s << u"1.0"_s << 2;
}

void tst_Update::versionsAreOrderedLikeThePackageManager()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    const std::optional<int> forward = DebianVersion::compare(a, b);
    const std::optional<int> backward = DebianVersion::compare(b, a);
    if (order == 2) {
        QVERIFY(!forward && !backward);
        return;
    }
    QVERIFY(forward && backward);
    QCOMPARE(*forward < 0 ? -1 : *forward > 0 ? 1 : 0, order);
    QCOMPARE(*backward < 0 ? -1 : *backward > 0 ? 1 : 0, -order);
}

void tst_Update::downloadsComeOnlyFromTrustedOrigins_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("the API's origin") << u"https://api.orvex.example/pkg/a.deb"_s << true;
    QTest::newRow("host name case") << u"https://API.Orvex.Example/pkg/a.deb"_s << true;
    QTest::newRow("explicit default port") << u"https://api.orvex.example:443/a.deb"_s << true;
    QTest::newRow("the API's host, another port") << u"https://api.orvex.example:8443/a.deb"_s << false;
    QTest::newRow("a listed host") << u"https://cdn.orvex.example:8443/a.deb"_s << true;
    QTest::newRow("a listed host, default port") << u"https://cdn.orvex.example/a.deb"_s << false;
    QTest::newRow("another host") << u"https://orvex.example.evil.test/a.deb"_s << false;
    QTest::newRow("suffix of the API host") << u"https://evilapi.orvex.example/a.deb"_s << false;
    QTest::newRow("user info") << u"https://x@api.orvex.example/a.deb"_s << false;
    QTest::newRow("plain http on the API host") << u"http://api.orvex.example/a.deb"_s << false;
}

void tst_Update::downloadsComeOnlyFromTrustedOrigins()
{
    QFETCH(QString, address);
    QFETCH(bool, trusted);
    const Outcome<Config> config = Config::parse(
        R"({"apiBaseURL": "https://api.orvex.example", "updateHosts": ["https://cdn.orvex.example:8443"]})",
        u"test"_s);
    QVERIFY(config.isSuccess());
    CheckUpdateStatus status;
    status.version = u"2.4.0"_s;
    status.name = address;
    QCOMPARE(UpdatingService::downloadURL(status, config.value()).has_value(), trusted);
}

void tst_Update::downloadsAreKeptOnlyWhenSoundAndSigned_data()
{
    // A dev service ("ed25519", "rsa", "unsigned"), or the scripted server
    // serving the Ed25519 service's 2.4.0 package and signature as the row says.
    QTest::addColumn<QString>("service");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("refusal"); // empty: kept
    QTest::newRow("Ed25519, good") << u"ed25519"_s << u"ed25519"_s << QString();
    QTest::newRow("RSA-PSS, good") << u"rsa"_s << u"rsa"_s << QString();
    QTest::newRow("another key of the same kind")
        << u"ed25519"_s << u"ed25519-other"_s << u"is not signed by the Orvex Cloud update key"_s;
    QTest::newRow("no signature published")
        << u"unsigned"_s << u"ed25519"_s << u"its signature could not be fetched"_s;
    // That nothing of the answer lands on disk is tst_networkservice's.
    QTest::newRow("error status, no key") << u"404"_s << QString() << u"404"_s;
    // Signed, but what it says of itself is not what the service offered.
    QTest::newRow("an older signed package offered as newer")
        << u"offered as 9.9.9"_s << u"ed25519"_s << u"is version 2.4.0, not the 9.9.9 offered"_s;
    QTest::newRow("redirected on the same origin") << u"redirect home"_s << u"ed25519"_s << QString();
    QTest::newRow("package redirected to another host")
        << u"redirect away"_s << QString() << u"redirected the download to https://localhost:"_s;
    QTest::newRow("signature redirected to another host")
        << u"signature away"_s << u"ed25519"_s << u"redirected the download to https://localhost:"_s;
    QTest::newRow("signature that never ends") << u"signature endless"_s << u"ed25519"_s
                                               << u"signature could not be fetched: The download is larger"
                                                  " than 64 KB"_s;
    QTest::newRow("package announcing more than the most")
        << u"package huge"_s << QString() << u"The download is larger than 512 MB"_s;
}

void tst_Update::downloadsAreKeptOnlyWhenSoundAndSigned()
{
    QFETCH(QString, service);
    QFETCH(QString, key);
    QFETCH(QString, refusal);
    QString origin = m_scripted->origin(true);
    if (service == "ed25519"_L1 || service == "rsa"_L1 || service == "unsigned"_L1) {
        origin = (service == "ed25519"_L1 ? m_signedEd25519
                  : service == "rsa"_L1   ? m_signedRsa
                                          : m_newer)
                     ->origin();
    } else {
        const QString version = service == "offered as 9.9.9"_L1 ? u"9.9.9"_s : u"2.4.0"_s;
        const QByteArray path = "/pkg/orvex-" + version.toLatin1() + ".deb";
        const QByteArray elsewhere = "https://localhost:" + QByteArray::number(m_scripted->port());
        m_scripted->route("/v3/ov/checkupdates/",
                          TestHttpServer::answer(200,
                                                 updateAnswer(false, origin + QLatin1String(path), version)));
        m_scripted->route(path,
                          TestHttpServer::answer(200, m_package, "application/vnd.debian.binary-package"));
        m_scripted->route(path + ".sig", TestHttpServer::answer(200, m_signature, "application/octet-stream"));
        m_scripted->route("/moved.deb", TestHttpServer::answer(200, m_package, "application/octet-stream"));
        m_scripted->route("/moved.sig", TestHttpServer::answer(200, m_signature, "application/octet-stream"));
        if (service == "404"_L1)
            m_scripted->route(path, TestHttpServer::answer(404, "<html><body>Not Found</body></html>",
                                                           "text/html"));
        else if (service == "redirect home"_L1)
            m_scripted->route(path, redirectTo("/moved.deb"));
        else if (service == "redirect away"_L1)
            m_scripted->route(path, redirectTo(elsewhere + "/moved.deb"));
        else if (service == "signature away"_L1)
            m_scripted->route(path + ".sig", redirectTo(elsewhere + "/moved.sig"));
        else if (service == "signature endless"_L1)
            m_scripted->route(path + ".sig", endless(0, 100 * 1024));
        else if (service == "package huge"_L1)
            m_scripted->route(path, endless(qint64(600) * 1024 * 1024, 1000));
    }
    QByteArray publicKey = key == "rsa"_L1 ? m_rsaPublic : m_ed25519Public;
    if (key == "ed25519-other"_L1)
        publicKey = makeKeyPair("ED25519", m_dir.filePath(u"other.pem"_s));

    UpdateViewController *offer = offerFrom(origin);
    QVERIFY(offer);
    // The offer's handler reads the session's configuration.
    m_session.config.updateSigningKey = key.isEmpty() ? QString() : QString::fromLatin1(publicKey);
    const QString expected = UpdateHandler::destinationPath(offer->handler()->updateResponse);

    offer->downloadButtonAction();
    if (refusal.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 1, 60000);
        QCOMPARE(m_opened.constFirst(), QUrl::fromLocalFile(expected));
        QVERIFY(readFile(expected).startsWith("!<arch>\n"));
        QCOMPARE(downloadedFiles(), QStringList{u"Orvex Cloud 2.4.0.deb"_s});
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(shown().size() == 2, 60000);
    auto *alert = qobject_cast<AlertController *>(shown().constLast());
    QVERIFY(alert);
    QVERIFY2(alert->message().contains(refusal), qPrintable(alert->message()));
    QVERIFY(!offer->progressContainer()->isVisible());
    QVERIFY(m_opened.isEmpty());
    QCOMPARE(downloadedFiles(), QStringList());
}

QTEST_MAIN(tst_Update)
#include "tst_update.moc"
