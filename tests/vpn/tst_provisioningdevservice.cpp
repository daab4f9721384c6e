// Certificate provisioning against the real orvex-devservice over loopback
// HTTPS (issuing three-day certificates): the archive it issues becomes the
// device's identity, replacing the one before, and the tunnel is asked to
// connect; its refusals reach the caller.

#include "account/DefaultsKeys.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "vpn/CertificateProvisioner.h"
#include "vpn/KeychainService.h"

#include "DevServiceProcess.h"
#include "TestPkcs12.h"
#include "TestSession.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/x509.h>

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

namespace {

QString machineId = QStringLiteral("5f1c0a9e7d3b4c2a8e6f0b1d2c3a4e5f");

QString commonName(const QByteArray &der)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(der.constData());
    X509 *cert = d2i_X509(nullptr, &bytes, long(der.size()));
    if (!cert)
        return {};
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof name);
    X509_free(cert);
    return QString::fromUtf8(name);
}

struct Outcome
{
    QList<Error> errors;
    int connects = 0;
};

} // namespace

class tst_ProvisioningDevService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void issuedArchiveIsStoredImportedAndConnected();
    void refusalIsReportedAndNothingStored_data();
    void refusalIsReportedAndNothingStored();

private:
    // Runs the sequence until the caller has heard from it and no request is
    // left in flight; false when that never happens.
    bool provision(Outcome &outcome);

    TestSession m_session;
    QTemporaryDir m_data;
    std::unique_ptr<DevServiceProcess> m_service;
};

void tst_ProvisioningDevService::initTestCase()
{
    QVERIFY(m_data.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_data.path());
    QVERIFY2(m_service->start({QStringLiteral("--seed-demo"), QStringLiteral("--cert-days"), QStringLiteral("3")}), "orvex-devservice did not start");
    QVERIFY(!m_service->demoPassword().isEmpty());

    Config config = *Config::parse({}, {}, nullptr);
    config.apiBaseURL = m_service->origin();
    config.caCertificates = {m_service->caCertificate()};
    Config::setCurrent(config);
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(machineId); });

    // The machine is one of the demo account's devices, as sign-in leaves it.
    std::optional<Result<Empty>> added;
    NetworkService::shared().addDevice(Utility::udid(m_service->demoEmail()), m_service->demoEmail(),
                                       [&added](const Result<Empty> &r) { added = r; });
    QTRY_VERIFY_WITH_TIMEOUT(added.has_value(), 60000);
    QVERIFY(added->isSuccess());
}

void tst_ProvisioningDevService::cleanupTestCase()
{
    if (m_service)
        QVERIFY(m_service->stop());
}

void tst_ProvisioningDevService::init()
{
    m_session.session.logout();
    QFile::remove(UserDefaults::standardFilePath());
    QDir(IdentityStore::standardDirectory()).removeRecursively();
    machineId = QStringLiteral("5f1c0a9e7d3b4c2a8e6f0b1d2c3a4e5f");
    m_session.session.setCredentials(m_service->demoEmail(), m_service->demoPassword());
}

bool tst_ProvisioningDevService::provision(Outcome &outcome)
{
    QObject owner;
    CertificateProvisioner::fetchCertificate(
        &owner,
        NetworkService::shared(),
        m_session.session,
        [&outcome](const Error &error) { outcome.errors.append(error); },
        [&outcome] { ++outcome.connects; });
    return QTest::qWaitFor([&] { return outcome.connects + outcome.errors.size() > 0; }, 60000)
           && QTest::qWaitFor(
               [] { return NetworkService::shared().findChildren<QNetworkReply *>().isEmpty(); },
               60000);
}

void tst_ProvisioningDevService::issuedArchiveIsStoredImportedAndConnected()
{
    Outcome first;
    QVERIFY(provision(first));
    QVERIFY(first.errors.isEmpty());
    QCOMPARE(first.connects, 1);

    IdentityStore &store = IdentityStore::standard();
    const std::optional<QByteArray> reference = m_session.session.identityReference();
    QVERIFY(reference);
    QCOMPARE(store.references(), QList<QByteArray>{*reference});
    const auto material = store.resolve(*reference);
    QVERIFY(material);
    // The first item is the device's own certificate, not the CA's behind it.
    QCOMPARE(commonName(material->certificateDer),
             Utility::udid(m_service->demoEmail()) + u'.' + Config::current().vpnDomain);
    QCOMPARE(material->keyType, QStringLiteral("rsa"));
    QVERIFY(!KeychainService::isPrivateKeyShared(store, reference));
    // --cert-days 3: due for renewal already.
    const auto validity = store.validity(*reference);
    QVERIFY(validity);
    QCOMPARE(validity->notBefore.secsTo(validity->notAfter), qint64(3 * 86400 + 3600));
    QVERIFY(KeychainService::needsRenewal(store, *reference, QDateTime::currentDateTimeUtc()));
    // The archive itself is kept nowhere.
    QVERIFY(!UserDefaults(UserDefaults::standardFilePath()).contains(Keys::certificate));

    // A second run replaces the identity; the old one is gone.
    Outcome second;
    QVERIFY(provision(second));
    QCOMPARE(second.connects, 1);
    const std::optional<QByteArray> newReference = m_session.session.identityReference();
    QVERIFY(newReference && *newReference != *reference);
    QCOMPARE(store.references(), QList<QByteArray>{*newReference});
}

void tst_ProvisioningDevService::refusalIsReportedAndNothingStored_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("expected"); // Error::Code
    QTest::newRow("wrong password") << QStringLiteral("password") << int(Error::Code::invalidPassword);
    QTest::newRow("no such account") << QStringLiteral("email") << int(Error::Code::userNotExists);
    QTest::newRow("machine not registered") << QStringLiteral("machine") << int(Error::Code::unknownDevice);
}

void tst_ProvisioningDevService::refusalIsReportedAndNothingStored()
{
    QFETCH(QString, change);
    QFETCH(int, expected);
    if (change == QLatin1String("password"))
        m_session.session.setCredentials(m_service->demoEmail(), m_service->demoPassword() + u'x');
    else if (change == QLatin1String("email"))
        UserDefaults::standard().setString(Keys::tempEmail, QStringLiteral("nobody@orvex.example"));
    else
        machineId = QStringLiteral("another-machine");
    const TestPkcs12::Credential before = TestPkcs12::makeCredential("before", false, 30);
    const auto kept = IdentityStore::standard().importSingleIdentity(
        TestPkcs12::makeIdentityArchive(before, Config::current().pkcs12Passphrase),
        Config::current().pkcs12Passphrase);
    QVERIFY(kept && m_session.session.replaceIdentity(kept->reference));

    Outcome outcome;
    QVERIFY(provision(outcome));
    QCOMPARE(outcome.errors.size(), 1);
    QCOMPARE(int(outcome.errors.first().code()), expected);
    QCOMPARE(outcome.connects, 0);
    QCOMPARE(m_session.session.identityReference(), before.sha1());
    QCOMPARE(IdentityStore::standard().references(), QList<QByteArray>{before.sha1()});
}

QTEST_GUILESS_MAIN(tst_ProvisioningDevService)
#include "tst_provisioningdevservice.moc"
