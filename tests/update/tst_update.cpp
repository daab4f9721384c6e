// The update check at launch and from the menu, the offer window and the
// package download, in a real (offscreen) main window against orvex-devservice.

#include "DevServiceProcess.h"
#include "StderrCapture.h"
#include "TestHttpServer.h"

#include "ui/AppStoryboard.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "ui/AlertController.h"
#include "app/InfoViewController.h"
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
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>

using namespace Orvex;

namespace {

bool networkIsIdle()
{
    return NetworkService::shared().findChildren<QNetworkReply *>().isEmpty();
}

QByteArray updateAnswer(bool error, const QString &name, const QString &version = QStringLiteral("2.4.0"))
{
    const QJsonObject status{{QStringLiteral("version"), version},
                             {QStringLiteral("command"), QStringLiteral("checkupdates")},
                             {QStringLiteral("opf"), QStringLiteral("0")},
                             {QStringLiteral("error"), error},
                             {QStringLiteral("name"), name},
                             {QStringLiteral("softwareversion"), version}};
    return QJsonDocument(QJsonObject{{QStringLiteral("status"), status}}).toJson(QJsonDocument::Compact);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A fresh key pair as PEM: the private key into `privatePath`, the public key
// returned. `algorithm` is "ED25519" or "RSA".
QByteArray makeKeyPair(const char *algorithm, const QString &privatePath)
{
    EVP_PKEY *key = std::string_view(algorithm) == "RSA"
                        ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(2048))
                        : EVP_PKEY_Q_keygen(nullptr, nullptr, algorithm);
    if (!key)
        return {};
    BIO *privateBio = BIO_new(BIO_s_mem());
    BIO *publicBio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(privateBio, key, nullptr, nullptr, 0, nullptr, nullptr);
    PEM_write_bio_PUBKEY(publicBio, key);
    auto take = [](BIO *bio) {
        char *data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        QByteArray bytes(data, size);
        BIO_free(bio);
        return bytes;
    };
    const QByteArray privatePem = take(privateBio);
    const QByteArray publicPem = take(publicBio);
    EVP_PKEY_free(key);
    QFile out(privatePath);
    if (!out.open(QIODevice::WriteOnly) || out.write(privatePem) != privatePem.size())
        return {};
    return publicPem;
}

// Every file in the Downloads folder, hidden ones too.
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
    // Stands in for the desktop's handler of local files.
    void openFile(const QUrl &url) { m_opened << url; }

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void currentVersionShowsTheMessageOnlyFromTheMenu();
    void offerIsShownAtLaunchAndFromTheMenu();
    void answersThatOfferNothingShowNothing_data();
    void answersThatOfferNothingShowNothing();
    void downloadSavesThePackageUnderItsVersionAndOpensIt();
    void downloadFinishesAfterTheWindowIsGone();
    void downloadAnsweredWithAnErrorStatusFails();
    void fileNameStaysInDownloads_data();
    void fileNameStaysInDownloads();
    void versionsAreOrderedLikeThePackageManager_data();
    void versionsAreOrderedLikeThePackageManager();
    void offersOfNoNewerVersionAreNotShown_data();
    void offersOfNoNewerVersionAreNotShown();
    void downloadsComeOnlyFromTrustedOrigins_data();
    void downloadsComeOnlyFromTrustedOrigins();
    void signedPackagesAreKeptOnlyWithAValidSignature_data();
    void signedPackagesAreKeptOnlyWithAValidSignature();

private:
    TestSession m_session;
    QList<ViewController *> shown() const { return m_window->contentViewController()->presentedViewControllers(); }
    void useService(const QString &origin);
    bool checkAndSettle(bool isLaunch);
    UpdateViewController *offerFrom(const QString &origin);

    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_current;
    std::unique_ptr<DevServiceProcess> m_newer;
    std::unique_ptr<DevServiceProcess> m_signedEd25519;
    std::unique_ptr<DevServiceProcess> m_signedRsa;
    QByteArray m_ed25519Public;
    QByteArray m_rsaPublic;
    TestCertificate m_cert;
    std::unique_ptr<TestHttpServer> m_scripted;
    std::unique_ptr<WindowController> m_window;
    QList<QUrl> m_opened;
};

void tst_Update::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_current = std::make_unique<DevServiceProcess>(m_dir.filePath(QStringLiteral("current")));
    QVERIFY2(m_current->start(), "orvex-devservice did not start");
    m_newer = std::make_unique<DevServiceProcess>(m_dir.filePath(QStringLiteral("newer")));
    QVERIFY2(m_newer->start({QStringLiteral("--latest-version"), QStringLiteral("2.4.0")}),
             "orvex-devservice did not start");
    m_ed25519Public = makeKeyPair("ED25519", m_dir.filePath(QStringLiteral("ed25519.pem")));
    m_rsaPublic = makeKeyPair("RSA", m_dir.filePath(QStringLiteral("rsa.pem")));
    QVERIFY(!m_ed25519Public.isEmpty() && !m_rsaPublic.isEmpty());
    m_signedEd25519 = std::make_unique<DevServiceProcess>(m_dir.filePath(QStringLiteral("signed-ed25519")));
    QVERIFY2(m_signedEd25519->start({QStringLiteral("--latest-version"), QStringLiteral("2.4.0"),
                                     QStringLiteral("--update-signing-key"), m_dir.filePath(QStringLiteral("ed25519.pem"))}),
             "orvex-devservice did not start");
    m_signedRsa = std::make_unique<DevServiceProcess>(m_dir.filePath(QStringLiteral("signed-rsa")));
    QVERIFY2(m_signedRsa->start({QStringLiteral("--latest-version"), QStringLiteral("2.4.0"),
                                 QStringLiteral("--update-signing-key"), m_dir.filePath(QStringLiteral("rsa.pem"))}),
             "orvex-devservice did not start");
    QVERIFY(m_cert.make());
    m_scripted = std::make_unique<TestHttpServer>(&m_cert);
    QVERIFY(m_scripted->port() != 0);

    Config config = *Config::parse({}, {}, nullptr);
    config.caCertificates = {m_current->caCertificate(), m_newer->caCertificate(),
                             m_signedEd25519->caCertificate(), m_signedRsa->caCertificate(), m_cert.certPath};
    Config::setCurrent(config);
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openFile");
}

void tst_Update::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    if (m_current)
        QVERIFY(m_current->stop());
    if (m_newer)
        QVERIFY(m_newer->stop());
    if (m_signedEd25519)
        QVERIFY(m_signedEd25519->stop());
    if (m_signedRsa)
        QVERIFY(m_signedRsa->stop());
}

void tst_Update::init()
{
    m_opened.clear();
    m_scripted->requests.clear();
    QDir(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)).removeRecursively();
    m_window = std::make_unique<WindowController>();
    m_window->setContentViewController(instantiate<InfoViewController>(AppStoryboard::Settings));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_Update::cleanup()
{
    QTRY_VERIFY_WITH_TIMEOUT(networkIsIdle(), 60000);
    m_window.reset();
    QTest::qWait(20);
}

void tst_Update::useService(const QString &origin)
{
    Config config = Config::current();
    config.apiBaseURL = origin;
    config.updateHosts.clear();
    config.updateSigningKey.clear();
    Config::setCurrent(config);
}

bool tst_Update::checkAndSettle(bool isLaunch)
{
    UpdatingService::check(NetworkService::shared(), isLaunch);
    if (networkIsIdle())
        return false; // the check never asked
    if (!QTest::qWaitFor(networkIsIdle, 60000))
        return false;
    QTest::qWait(50);
    return true;
}

UpdateViewController *tst_Update::offerFrom(const QString &origin)
{
    useService(origin);
    if (!checkAndSettle(false) || shown().size() != 1)
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
    QCOMPARE(message->messageLabel()->text(), QStringLiteral("You already have the latest software"));
    QVERIFY(message->modalWindow()->height() >= message->minimumSizeHint().height());

    // Its button closes it.
    QTest::mouseClick(message->okButton(), Qt::LeftButton);
    QVERIFY(shown().isEmpty());
}

void tst_Update::offerIsShownAtLaunchAndFromTheMenu()
{
    useService(m_newer->origin());
    QVERIFY(checkAndSettle(true));
    QCOMPARE(shown().size(), 1);
    auto *offer = qobject_cast<UpdateViewController *>(shown().constFirst());
    QVERIFY(offer);
    QCOMPARE(offer->modalWindow()->windowTitle(), QString());
    QVERIFY(offer->handler()->updateResponse.has_value());
    QCOMPARE(offer->handler()->updateResponse->status.version, QStringLiteral("2.4.0"));
    QVERIFY(offer->versionLabel()->text().contains(QStringLiteral("2.4.0")));
    QVERIFY(offer->versionLabel()->text().contains(Utility::applicationVersion()));
    QVERIFY(offer->downloadButton()->isEnabled());
    offer->dismiss();
    QVERIFY(shown().isEmpty());

    QVERIFY(checkAndSettle(false));
    QCOMPARE(shown().size(), 1);
    QVERIFY(qobject_cast<UpdateViewController *>(shown().constFirst()));
}

void tst_Update::answersThatOfferNothingShowNothing_data()
{
    QTest::addColumn<QByteArray>("answer");
    const QString origin = QStringLiteral("https://127.0.0.1:%1").arg(m_scripted->port());
    QTest::newRow("error true, usable address")
        << updateAnswer(true, origin + QStringLiteral("/pkg/orvex-2.4.0.deb"));
    QTest::newRow("error true, no address") << updateAnswer(true, QStringLiteral("nothing"));
    QTest::newRow("not an address") << updateAnswer(false, QStringLiteral("orvex 2.4.0"));
    QTest::newRow("empty address") << updateAnswer(false, QString());
    QTest::newRow("relative path") << updateAnswer(false, QStringLiteral("/downloads/orvex-2.4.0.deb"));
    QTest::newRow("plain http") << updateAnswer(false, QStringLiteral("http://127.0.0.1:%1/pkg/orvex-2.4.0.deb")
                                                           .arg(m_scripted->port()));
    QTest::newRow("no host") << updateAnswer(false, QStringLiteral("https:///orvex-2.4.0.deb"));
    QTest::newRow("same server, another host name")
        << updateAnswer(false, QStringLiteral("https://localhost:%1/pkg/orvex-2.4.0.deb").arg(m_scripted->port()));
    QTest::newRow("same host, another port")
        << updateAnswer(false, QStringLiteral("https://127.0.0.1:%1/pkg/orvex-2.4.0.deb").arg(m_scripted->port() + 1));
    QTest::newRow("undecodable") << QByteArray(R"({"status":{"version":"2.4.0","error":false}})");
}

void tst_Update::answersThatOfferNothingShowNothing()
{
    QFETCH(QByteArray, answer);
    m_scripted->route("/v3/ov/checkupdates/", TestHttpServer::answer(200, answer));
    useService(m_scripted->origin(true));
    for (bool isLaunch : {true, false}) {
        QVERIFY(checkAndSettle(isLaunch));
        QVERIFY(shown().isEmpty());
    }
    QCOMPARE(m_scripted->requests.size(), 2);
    // The check sent this build's version.
    QVERIFY(m_scripted->requests.constFirst().query().contains(
        "version=" + Utility::applicationVersion().toLatin1()));
}

void tst_Update::downloadSavesThePackageUnderItsVersionAndOpensIt()
{
    UpdateViewController *offer = offerFrom(m_newer->origin());
    QVERIFY(offer);
    const QString expected = QDir(QStandardPaths::writableLocation(QStandardPaths::DownloadLocation))
                                 .filePath(QStringLiteral("Orvex Cloud 2.4.0.deb"));
    QCOMPARE(UpdateHandler::destinationPath(offer->handler()->updateResponse), expected);

    StderrCapture captured(m_dir.filePath(QStringLiteral("stderr")));
    QTest::mouseClick(offer->downloadButton(), Qt::LeftButton);
    QVERIFY(offer->progressContainer()->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 1, 60000);
    QCOMPARE(m_opened.constFirst(), QUrl::fromLocalFile(expected));
    QVERIFY(!offer->progressContainer()->isVisible());

    // What was saved is exactly what the service serves for that address.
    HttpsClient client(m_newer->origin(), m_newer->caCertificate());
    const HttpAnswer direct = client.send("GET", QUrl(offer->handler()->updateResponse->status.name));
    QCOMPARE(direct.status, 200);
    const QByteArray saved = readFile(expected);
    QVERIFY(saved.startsWith("!<arch>\n"));
    QCOMPARE(saved, direct.body);

    // The window stays while the installer starts; no alert.
    QTest::qWait(50);
    QCOMPARE(shown().size(), 1);
    QCOMPARE(shown().constFirst(), offer);

    // A second download replaces the file rather than piling up copies.
    QTest::mouseClick(offer->downloadButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 2, 60000);
    QCOMPARE(QDir(QFileInfo(expected).absolutePath()).entryList(QDir::Files),
             QStringList{QStringLiteral("Orvex Cloud 2.4.0.deb")});
    // Without a signing key, said once per run however many downloads.
    QCOMPARE(captured.text().count("update packages are trusted on TLS alone"), 1);
}

void tst_Update::downloadFinishesAfterTheWindowIsGone()
{
    UpdateViewController *offer = offerFrom(m_newer->origin());
    QVERIFY(offer);
    const QString expected = UpdateHandler::destinationPath(offer->handler()->updateResponse);
    offer->downloadButtonAction();
    offer->dismiss();
    QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 1, 60000);
    QCOMPARE(m_opened.constFirst(), QUrl::fromLocalFile(expected));
    QVERIFY(readFile(expected).startsWith("!<arch>\n"));
    QTest::qWait(50);
    QVERIFY(shown().isEmpty()); // and nothing is reported
}

void tst_Update::downloadAnsweredWithAnErrorStatusFails()
{
    const QString origin = m_scripted->origin(true);
    m_scripted->route("/v3/ov/checkupdates/",
                      TestHttpServer::answer(200, updateAnswer(false, origin + QStringLiteral("/pkg/orvex-2.4.0.deb"))));
    m_scripted->route("/pkg/orvex-2.4.0.deb",
                      TestHttpServer::answer(404, "<html><body>Not Found</body></html>", "text/html"));
    UpdateViewController *offer = offerFrom(origin);
    QVERIFY(offer);
    // A package saved earlier under that name is not lost to the failure.
    const QString destination = UpdateHandler::destinationPath(offer->handler()->updateResponse);
    QVERIFY(QDir().mkpath(QFileInfo(destination).absolutePath()));
    QFile earlier(destination);
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier package");
    earlier.close();

    offer->downloadButtonAction();
    QTRY_VERIFY_WITH_TIMEOUT(shown().size() == 2, 60000);
    auto *alert = qobject_cast<AlertController *>(shown().constLast());
    QVERIFY(alert);
    QVERIFY2(alert->message().contains(QStringLiteral("404")), qPrintable(alert->message()));
    QVERIFY(!offer->progressContainer()->isVisible());
    QVERIFY(m_opened.isEmpty());
    QCOMPARE(readFile(destination), QByteArray("earlier package"));
    QCOMPARE(QDir(QFileInfo(destination).absolutePath()).entryList(QDir::Files).size(), 1);
}

void tst_Update::fileNameStaysInDownloads_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << QStringLiteral("2.1.0") << QStringLiteral("Orvex Cloud 2.1.0.deb");
    QTest::newRow("verbatim text") << QStringLiteral("2.1.0 beta (rc 1)") << QStringLiteral("Orvex Cloud 2.1.0 beta (rc 1).deb");
    QTest::newRow("parent folders") << QStringLiteral("../../.config/autostart/x")
                                    << QStringLiteral("Orvex Cloud ..-..-.config-autostart-x.deb");
    QTest::newRow("control character") << QStringLiteral("2.1\n0") << QStringLiteral("Orvex Cloud 2.1-0.deb");
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
    QCOMPARE(UpdateHandler::fileName(std::nullopt), QStringLiteral("Orvex Cloud new.deb"));
}

void tst_Update::versionsAreOrderedLikeThePackageManager_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order"); // -1 older, 0 same, 1 newer, 2 not comparable
    QTest::newRow("numbers, not text") << QStringLiteral("1.0.10") << QStringLiteral("1.0.9") << 1;
    QTest::newRow("release candidate before the release") << QStringLiteral("1.0.1~rc1") << QStringLiteral("1.0.1") << -1;
    QTest::newRow("release candidates in order") << QStringLiteral("1.0.1~rc2") << QStringLiteral("1.0.1~rc10") << -1;
    QTest::newRow("epoch wins") << QStringLiteral("1:0.9") << QStringLiteral("2.0") << 1;
    QTest::newRow("no epoch is epoch 0") << QStringLiteral("0:2.4.0") << QStringLiteral("2.4.0") << 0;
    QTest::newRow("leading zeros") << QStringLiteral("01.002") << QStringLiteral("1.2") << 0;
    QTest::newRow("shorter is older") << QStringLiteral("1.0") << QStringLiteral("1.0.0") << -1;
    QTest::newRow("letters after the end") << QStringLiteral("1.0a") << QStringLiteral("1.0") << 1;
    QTest::newRow("plus after letters") << QStringLiteral("1.0+b1") << QStringLiteral("1.0a") << 1;
    QTest::newRow("revision") << QStringLiteral("2.4.0-2") << QStringLiteral("2.4.0-10") << -1;
    QTest::newRow("hyphen in upstream") << QStringLiteral("2.4-1-3") << QStringLiteral("2.4-1-2") << 1;
    QTest::newRow("words") << QStringLiteral("latest") << QStringLiteral("1.0") << 2;
    QTest::newRow("space") << QStringLiteral("2.1.0 beta") << QStringLiteral("1.0") << 2;
    QTest::newRow("empty") << QString() << QStringLiteral("1.0") << 2;
    QTest::newRow("empty epoch") << QStringLiteral(":1.0") << QStringLiteral("1.0") << 2;
    QTest::newRow("colon without epoch") << QStringLiteral("1.0") << QStringLiteral("1:") << 2;
    QTest::newRow("markup") << QStringLiteral("9<b>") << QStringLiteral("1.0") << 2;
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

void tst_Update::offersOfNoNewerVersionAreNotShown_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("the running version") << Utility::applicationVersion();
    QTest::newRow("a candidate of the running version") << Utility::applicationVersion() + QStringLiteral("~rc1");
    QTest::newRow("an older version") << QStringLiteral("0.9.12");
    QTest::newRow("not a version") << QStringLiteral("newest");
}

void tst_Update::offersOfNoNewerVersionAreNotShown()
{
    QFETCH(QString, version);
    const QString origin = m_scripted->origin(true);
    m_scripted->route("/v3/ov/checkupdates/",
                      TestHttpServer::answer(200, updateAnswer(false, origin + QStringLiteral("/pkg/orvex.deb"), version)));
    useService(origin);
    // At launch nothing; from the menu the same message as "already up to date".
    QVERIFY(checkAndSettle(true));
    QVERIFY(shown().isEmpty());
    QVERIFY(checkAndSettle(false));
    QCOMPARE(shown().size(), 1);
    QVERIFY(qobject_cast<UpdateMessageViewController *>(shown().constFirst()));
}

void tst_Update::downloadsComeOnlyFromTrustedOrigins_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("the API's origin") << QStringLiteral("https://api.orvex.example/pkg/a.deb") << true;
    QTest::newRow("host name case") << QStringLiteral("https://API.Orvex.Example/pkg/a.deb") << true;
    QTest::newRow("explicit default port") << QStringLiteral("https://api.orvex.example:443/a.deb") << true;
    QTest::newRow("the API's host, another port") << QStringLiteral("https://api.orvex.example:8443/a.deb") << false;
    QTest::newRow("a listed host") << QStringLiteral("https://cdn.orvex.example:8443/a.deb") << true;
    QTest::newRow("a listed host, default port") << QStringLiteral("https://cdn.orvex.example/a.deb") << false;
    QTest::newRow("another host") << QStringLiteral("https://orvex.example.evil.test/a.deb") << false;
    QTest::newRow("suffix of the API host") << QStringLiteral("https://evilapi.orvex.example/a.deb") << false;
    QTest::newRow("user info") << QStringLiteral("https://x@api.orvex.example/a.deb") << false;
    QTest::newRow("plain http on the API host") << QStringLiteral("http://api.orvex.example/a.deb") << false;
}

void tst_Update::downloadsComeOnlyFromTrustedOrigins()
{
    QFETCH(QString, address);
    QFETCH(bool, trusted);
    const Config saved = Config::current();
    std::optional<Config> config = Config::parse(
        R"({"apiBaseURL": "https://api.orvex.example", "updateHosts": ["https://cdn.orvex.example:8443"]})",
        QStringLiteral("test"), nullptr);
    QVERIFY(config);
    Config::setCurrent(*config);
    CheckUpdateStatus status;
    status.version = QStringLiteral("2.4.0");
    status.name = address;
    const bool accepted = UpdatingService::downloadURL(status).has_value();
    Config::setCurrent(saved);
    QCOMPARE(accepted, trusted);
}

void tst_Update::signedPackagesAreKeptOnlyWithAValidSignature_data()
{
    QTest::addColumn<QString>("service");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("refusal"); // empty: kept
    QTest::newRow("Ed25519, good") << QStringLiteral("ed25519") << QStringLiteral("ed25519") << QString();
    QTest::newRow("RSA-PSS, good") << QStringLiteral("rsa") << QStringLiteral("rsa") << QString();
    QTest::newRow("signed by another key") << QStringLiteral("rsa") << QStringLiteral("ed25519")
                                           << QStringLiteral("is not signed by the Orvex Cloud update key");
    QTest::newRow("another key of the same kind") << QStringLiteral("ed25519") << QStringLiteral("ed25519-other")
                                                  << QStringLiteral("is not signed by the Orvex Cloud update key");
    QTest::newRow("no signature published") << QStringLiteral("unsigned") << QStringLiteral("ed25519")
                                            << QStringLiteral("its signature could not be fetched");
}

void tst_Update::signedPackagesAreKeptOnlyWithAValidSignature()
{
    QFETCH(QString, service);
    QFETCH(QString, key);
    QFETCH(QString, refusal);
    DevServiceProcess *server = service == QLatin1String("ed25519") ? m_signedEd25519.get()
                                : service == QLatin1String("rsa")   ? m_signedRsa.get()
                                                                    : m_newer.get();
    QByteArray publicKey = key == QLatin1String("rsa") ? m_rsaPublic : m_ed25519Public;
    if (key == QLatin1String("ed25519-other"))
        publicKey = makeKeyPair("ED25519", m_dir.filePath(QStringLiteral("other.pem")));

    UpdateViewController *offer = offerFrom(server->origin());
    QVERIFY(offer);
    Config config = Config::current();
    config.updateSigningKey = QString::fromLatin1(publicKey);
    Config::setCurrent(config);
    const QString expected = UpdateHandler::destinationPath(offer->handler()->updateResponse);

    offer->downloadButtonAction();
    if (refusal.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(m_opened.size(), 1, 60000);
        QCOMPARE(m_opened.constFirst(), QUrl::fromLocalFile(expected));
        QVERIFY(readFile(expected).startsWith("!<arch>\n"));
        QCOMPARE(downloadedFiles(), QStringList{QStringLiteral("Orvex Cloud 2.4.0.deb")});
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
