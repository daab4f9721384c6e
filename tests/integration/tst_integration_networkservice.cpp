// The client's NetworkService against the real orvex-devservice over loopback
// HTTPS: the answers only the service gives (accounts, SMS, certificates,
// usage) decoded as the client expects them. Sign-in, updates and tickets
// against the service are covered through their screens; transport failures
// against a scripted server.

#include "DevServiceProcess.h"
#include "ServiceAnswers.h"

#include "api/NetworkService.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/pkcs12.h>
#include <openssl/x509.h>

using Orvex::Error;
using Orvex::NetworkService;
using Orvex::Result;

namespace {

template<typename T>
using Call = std::function<void(Orvex::Completion<T>)>;

// Runs one operation and waits for its completion, counting how often it runs.
template<typename T>
std::optional<Result<T>> await(const Call<T> &call, int *completions = nullptr)
{
    std::optional<Result<T>> result;
    int count = 0;
    call([&](const Result<T> &r) {
        ++count;
        result = r;
    });
    if (!QTest::qWaitFor([&] { return result.has_value(); }, 60000))
        return std::nullopt;
    if (completions)
        *completions = count;
    return result;
}

// Empty when the operation ended as expected: in success without `expected`,
// else in that error.
template<typename T>
QString mismatch(const std::optional<Result<T>> &result, std::optional<Error::Code> expected = std::nullopt)
{
    if (!result)
        return QStringLiteral("no completion");
    if (result->isSuccess())
        return expected ? QStringLiteral("success instead of an error") : QString();
    if (expected && result->error().code() == *expected)
        return {};
    return QStringLiteral("error %1: %2")
        .arg(int(result->error().code()))
        .arg(result->error().localizedDescription());
}

// The name in the certificate of a PKCS#12 archive opened with `passphrase`;
// empty when it does not open or holds no key.
QString archiveSubject(const QByteArray &archive, const QString &passphrase)
{
    const auto *data = reinterpret_cast<const unsigned char *>(archive.constData());
    PKCS12 *p12 = d2i_PKCS12(nullptr, &data, archive.size());
    if (!p12)
        return {};
    EVP_PKEY *key = nullptr;
    X509 *certificate = nullptr;
    const bool opened = PKCS12_parse(p12, passphrase.toUtf8().constData(), &key, &certificate, nullptr) == 1;
    PKCS12_free(p12);
    char name[256] = {};
    if (opened && key && certificate)
        X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name);
    const QString subject = QString::fromUtf8(name);
    EVP_PKEY_free(key);
    X509_free(certificate);
    return subject;
}

} // namespace

class NetworkServiceIntegrationTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void signUp();
    void phone();
    void certificate();
    void usage();

private:
    void fault(const QByteArray &spec);
    QString registerDevice(const QString &email, const QString &password);

    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_devClient;
    NetworkService *m_network = nullptr;
};

void NetworkServiceIntegrationTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_dir.path() + QStringLiteral("/service"));
    QVERIFY2(m_service->start(QStringLiteral("--dev-routes --seed-demo --latest-version 2.0.0").split(u' ')),
             qPrintable(m_service->errors()));
    m_devClient = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());

    // The client's configuration, as a developer's ORVEX_CONFIG file points it
    // at the service.
    const QJsonObject overrides{
        {QStringLiteral("apiBaseURL"), m_service->origin()},
        {QStringLiteral("caCertificates"), QJsonArray{m_service->caCertificate()}},
    };
    const QByteArray json = QJsonDocument(overrides).toJson();
    const QString path = m_dir.path() + QStringLiteral("/orvex-config.json");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(json) == json.size());
    file.close();
    QString error;
    const auto config = Orvex::Config::parse(json, path, &error);
    QVERIFY2(config, qPrintable(error));
    Orvex::Config::setCurrent(*config);
    m_network = &NetworkService::shared();
}

void NetworkServiceIntegrationTest::init()
{
    QCOMPARE(m_devClient->send("DELETE", m_devClient->url(QStringLiteral("/dev/faults"))).status, 200);
}

void NetworkServiceIntegrationTest::fault(const QByteArray &spec)
{
    QCOMPARE(m_devClient->post(QStringLiteral("/dev/faults"), spec).status, 200);
}

QString NetworkServiceIntegrationTest::registerDevice(const QString &email, const QString &password)
{
    const QString udid = udidFor(email);
    await<Orvex::UserResponse>([&](auto done) {
        m_network->addUser(QStringLiteral("Device Owner"), email, password, QStringLiteral("+33612345678"),
                           done);
    });
    const auto added = await<Orvex::Empty>([&](auto done) { m_network->addDevice(udid, email, done); });
    return added && added->isSuccess() ? udid : QString();
}

void NetworkServiceIntegrationTest::signUp()
{
    const QString email = QStringLiteral("new+user@example.org");
    const QString password = QStringLiteral("Rv8#kQ2+ but mine");

    // checkUser succeeds while the address is free.
    int completions = 0;
    auto free = await<Orvex::Empty>([&](auto done) { m_network->checkUser(email, done); }, &completions);
    QCOMPARE(mismatch(free), QString());
    QCOMPARE(completions, 1);

    const auto signUp = [&] {
        return await<Orvex::UserResponse>([&](auto done) {
            m_network->addUser(QStringLiteral("New User"), email, password, QStringLiteral("+33612345678"),
                               done);
        });
    };
    auto created = signUp();
    QCOMPARE(mismatch(created), QString());
    QCOMPARE(created->value().user.email, std::optional<QString>(email));
    QCOMPARE(created->value().user.name, std::optional<QString>(QStringLiteral("New User")));

    // A second sign-up for the same address is refused by the service.
    created = signUp();
    QCOMPARE(mismatch(created, Error::Code::unknown), QString());

    free = await<Orvex::Empty>([&](auto done) { m_network->checkUser(email, done); });
    QCOMPARE(mismatch(free, Error::Code::userAlreadyExists), QString());

    const QString udid = udidFor(QStringLiteral("machine@") + email);
    auto device = await<Orvex::Empty>([&](auto done) { m_network->addDevice(udid, email, done); });
    QCOMPARE(mismatch(device), QString());
    device = await<Orvex::Empty>(
        [&](auto done) { m_network->addDevice(udid, QStringLiteral("ghost@example.org"), done); });
    QCOMPARE(mismatch(device, Error::Code::userNotExists), QString());

    // The account as sign-up reads it back: without a password.
    const auto user = await<Orvex::UserResponse>(
        [&](auto done) { m_network->getUser(email, std::nullopt, done); });
    QCOMPARE(mismatch(user), QString());
    QVERIFY(user->value().user.devices.has_value());
    QCOMPARE(user->value().user.devices->size(), 1);
    QCOMPARE(user->value().user.devices->first().udid, std::optional<QString>(udid));
    QCOMPARE(user->value().user.devices->first().apn, std::optional<QString>(QStringLiteral("desktop")));
}

void NetworkServiceIntegrationTest::phone()
{
    const QString number = QStringLiteral("+33612345678");
    const auto verifyMobile = [&](const QString &mobile) {
        return await<Orvex::MobileApiResponse::Verify>(
            [&](auto done) { m_network->verifyMobile(mobile, done); });
    };
    auto verify = verifyMobile(number);
    QCOMPARE(mismatch(verify), QString());
    QCOMPARE(verify->value().status, QStringLiteral("200"));
    verify = verifyMobile(QStringLiteral("+33112345678"));
    QCOMPARE(mismatch(verify), QString());
    QVERIFY(verify->value().status != QStringLiteral("200"));

    const auto code = await<QString>([&](auto done) { m_network->getVerificationCode(done); });
    QCOMPARE(mismatch(code), QString());
    QVERIFY(!code->value().isEmpty());

    const auto sendSms = [&] {
        return await<Orvex::MobileApiResponse::SMS>(
            [&](auto done) { m_network->sendSms(number, QStringLiteral("0815"), code->value(), done); });
    };
    const auto sms = sendSms();
    QCOMPARE(mismatch(sms), QString());
    QVERIFY(!sms->value().orvexcloud.sms.sid.isEmpty());
    const QJsonDocument outbox = QJsonDocument::fromJson(
        m_devClient->get(QStringLiteral("/dev/sms"), {{QStringLiteral("to"), number}}).body);
    QCOMPARE(outbox.array().at(0).toObject().value(QStringLiteral("message")).toString(),
             QStringLiteral("0815"));

    // The verification value is good for one SMS.
    QCOMPARE(mismatch(sendSms(), Error::Code::unknown), QString());

    fault(R"({"path":"/iOS/lookup.php","fault":"truncate"})");
    QCOMPARE(mismatch(verifyMobile(number), Error::Code::generic), QString());
}

void NetworkServiceIntegrationTest::certificate()
{
    const QString email = QStringLiteral("cert-owner@example.org");
    const QString password = QStringLiteral("cert pass");
    const QString udid = registerDevice(email, password);
    QVERIFY(!udid.isEmpty());

    const auto getToken = [&] {
        return await<Orvex::VPNApiResponse::Token>([&](auto done) { m_network->getToken(done); });
    };
    const auto getCert = [&](const QString &pass, const QString &device, const QString &token) {
        return await<QByteArray>([&](auto done) { m_network->getCert(pass, device, email, token, done); });
    };
    auto token = getToken();
    QCOMPARE(mismatch(token), QString());
    const auto archive = getCert(password, udid, token->value().token.name);
    QCOMPARE(mismatch(archive), QString());
    const Orvex::Config &config = Orvex::Config::current();
    QCOMPARE(archiveSubject(archive->value(), config.pkcs12Passphrase),
             udid + QLatin1Char('.') + config.vpnDomain);
    // The key store takes it as the one identity it holds: the device's own
    // certificate first (not the CA's behind it), with its RSA key.
    Orvex::IdentityStore store(m_dir.filePath(QStringLiteral("identities")));
    const auto identity = store.importSingleIdentity(archive->value(), config.pkcs12Passphrase);
    QVERIFY(identity);
    QCOMPARE(store.resolve(identity->reference)->keyType, QStringLiteral("rsa"));

    // The token was spent by that request.
    QCOMPARE(mismatch(getCert(password, udid, token->value().token.name), Error::Code::unknown), QString());
    QCOMPARE(mismatch(getCert(QStringLiteral("wrong"), udid, getToken()->value().token.name),
                      Error::Code::invalidPassword),
             QString());
    QCOMPARE(mismatch(getCert(password, udidFor(QStringLiteral("unregistered")),
                              getToken()->value().token.name),
                      Error::Code::unknownDevice),
             QString());

    fault(R"({"path":"/portableapi/portable.php","api":"gen_token","fault":"nobody"})");
    QCOMPARE(mismatch(getToken(), Error::Code::emptyResponse), QString());
}

void NetworkServiceIntegrationTest::usage()
{
    const QString udid = registerDevice(QStringLiteral("usage-owner@example.org"), QStringLiteral("pw"));
    QVERIFY(!udid.isEmpty());
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray traffic = QJsonDocument(QJsonObject{{QStringLiteral("udid"), udid},
                                                         {QStringLiteral("time"), now.toSecsSinceEpoch()},
                                                         {QStringLiteral("in"), 3000000},
                                                         {QStringLiteral("out"), 145728}})
                                   .toJson(QJsonDocument::Compact);
    QCOMPARE(m_devClient->post(QStringLiteral("/dev/usage"), traffic).status, 200);

    auto model = await<Orvex::DeviceUsageModel>(
        [&](auto done) { m_network->getDeviceUsage(udid, now, done); });
    QCOMPARE(mismatch(model), QString());
    const Orvex::Usage &usage = model->value().device_usage;
    QCOMPARE(usage.info.MonthlyUsage.numericValue(), 3145728.0);
    QCOMPARE(usage.info.device.text(), udid);
    QVERIFY(usage.traffic.has_value());
    QCOMPARE(usage.traffic->size(), 24);
    QVERIFY(usage.summary.has_value());
    QCOMPARE(usage.summary->size(), now.date().day());
    double days = 0;
    for (const Orvex::DaylySummary &day : *usage.summary)
        days += day.usage.numericValue();
    QCOMPARE(days, 3145728.0);

    model = await<Orvex::DeviceUsageModel>(
        [&](auto done) { m_network->getDeviceUsage(udidFor(QStringLiteral("no such machine")), now, done); });
    QCOMPARE(mismatch(model, Error::Code::unknownDevice), QString());
}

QTEST_GUILESS_MAIN(NetworkServiceIntegrationTest)
#include "tst_integration_networkservice.moc"
