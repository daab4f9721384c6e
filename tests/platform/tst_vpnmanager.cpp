#include "FakeVPNBackend.h"
#include "TestFiles.h"

#include "platform/SecureFile.h"
#include "platform/VPNManager.h"
#include "platform/vici/ViciConnection.h"
#include "platform/vici/ViciVPNBackend.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Orvex;
using namespace Qt::StringLiterals;

class tst_VPNManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_dir.emplace();
        m_path = m_dir->filePath(u"orvex/vpn-configuration.json"_s);
    }
    void savedConfigurationSurvivesANewProcess();
    void damagedFilesFailTheLoad_data();
    void damagedFilesFailTheLoad();
    void saveErrors();
    void connectionStartsOnlyASavedEnabledConfiguration();
    void connectionMessageForCharon();
    void withoutCharonTheStatusIsInvalid();

private:
    using Error = Outcome<>;
    Error await(VPNManager &manager, void (VPNManager::*start)(VPNManager::Completion));
    Error load(VPNManager &manager) { return await(manager, &VPNManager::loadFromPreferences); }
    Error save(VPNManager &manager) { return await(manager, &VPNManager::saveToPreferences); }
    static VPNProtocolIKEv2 sampleProtocol();

    std::optional<QTemporaryDir> m_dir;
    QString m_path;
};

// The outcome of a load or save; never completed inside the call.
tst_VPNManager::Error tst_VPNManager::await(VPNManager &manager,
                                            void (VPNManager::*start)(VPNManager::Completion))
{
    std::optional<Error> result;
    (manager.*start)([&](const Error &outcome) { result = outcome; });
    [&] { QVERIFY(!result); }();
    [&] { QTRY_VERIFY(result); }();
    return result.value_or(Error::failure(u"no answer"_s));
}

VPNProtocolIKEv2 tst_VPNManager::sampleProtocol()
{
    using P = VPNProtocolIKEv2;
    P protocol;
    protocol.serverAddress = u"vpn.orvex.example"_s;
    protocol.remoteIdentifier = u"vpn.orvex.example"_s;
    protocol.localIdentifier = u"0123abcd.clients.orvex.example"_s;
    protocol.identityReference = QByteArray::fromHex("00112233445566778899aabbccddeeff00112233");
    protocol.authenticationMethod = P::AuthenticationMethod::Certificate;
    protocol.deadPeerDetectionRate = P::DeadPeerDetectionRate::Medium;
    protocol.disableRedirect = true;
    protocol.ikeSecurityAssociationParameters = {P::EncryptionAlgorithm::AES128, P::IntegrityAlgorithm::SHA96,
                                                 P::DiffieHellmanGroup::Group14, 1440};
    protocol.childSecurityAssociationParameters = {P::EncryptionAlgorithm::AES256GCM,
                                                   P::IntegrityAlgorithm::SHA384,
                                                   P::DiffieHellmanGroup::Group19, 60};
    return protocol;
}

void tst_VPNManager::savedConfigurationSurvivesANewProcess()
{
    auto *backend = new FakeVPNBackend;
    VPNManager manager(std::unique_ptr<VPNBackend>(backend), m_path);
    // Nothing saved yet: an empty configuration.
    QCOMPARE(load(manager), Error::success());
    QVERIFY(!manager.protocolConfiguration() && !manager.isEnabled());
    QCOMPARE(backend->calls, QStringList{u"attach"_s});
    manager.setProtocolConfiguration(sampleProtocol());
    manager.setEnabled(true);
    manager.setOnDemandRules({{VPNOnDemandRule::Action::Connect, VPNOnDemandRule::InterfaceType::Any},
                              {VPNOnDemandRule::Action::Connect, VPNOnDemandRule::InterfaceType::WiFi}});
    manager.setOnDemandEnabled(true);
    QCOMPARE(save(manager), Error::success());
    QCOMPARE(backend->applied.size(), 1);
    QCOMPARE(backend->applied.front(), manager.savedPreferences());
    QCOMPARE(SecureFile::mode(m_path), std::optional<unsigned>(0600));
    // Saving it again leaves the file alone (no new file, no flush); a file
    // someone else changed meanwhile is written anew.
    const QByteArray written = SecureFile::read(m_path).value().value_or("");
    const auto before = inodeOf(m_path);
    QCOMPARE(save(manager), Error::success());
    QCOMPARE(inodeOf(m_path), before);
    QCOMPARE(backend->applied.size(), 2);
    // Saved and applied counts only for a backend that starts on what it
    // was given, and only while the working copy and the file stay as saved.
    QVERIFY(!manager.isSavedAndApplied());
    backend->startsOnLastApplied = true;
    QVERIFY(manager.isSavedAndApplied());
    manager.setOnDemandEnabled(false);
    QVERIFY(!manager.isSavedAndApplied());
    manager.setOnDemandEnabled(true);
    QVERIFY(manager.isSavedAndApplied());
    QVERIFY(SecureFile::writeAtomically(m_path, "{}"));
    QVERIFY(!manager.isSavedAndApplied());
    QCOMPARE(save(manager), Error::success());
    QCOMPARE(SecureFile::read(m_path).value().value_or(""), written);

    VPNManager other(std::make_unique<FakeVPNBackend>(), m_path);
    QCOMPARE(load(other), Error::success());
    QCOMPARE(other.protocolConfiguration(), std::optional<VPNProtocolIKEv2>(sampleProtocol()));
    QVERIFY(other.isEnabled());
    QVERIFY(other.isOnDemandEnabled());
    QCOMPARE(other.onDemandRules().size(), 2);
    QCOMPARE(other.onDemandRules().at(1).interfaceTypeMatch, VPNOnDemandRule::InterfaceType::WiFi);
    QVERIFY(other.savedPreferences().wantsTunnelKeptUp());

    // Edits stay in the working copy until saved; a load throws them away.
    other.setOnDemandEnabled(false);
    QVERIFY(other.savedPreferences().onDemandEnabled);
    QCOMPARE(load(other), Error::success());
    QVERIFY(other.isOnDemandEnabled());
}

void tst_VPNManager::damagedFilesFailTheLoad_data()
{
    QTest::addColumn<QByteArray>("contents");
    VPNPreferences good;
    good.protocolConfiguration = sampleProtocol();
    good.enabled = true;
    const QByteArray json = good.toJson();
    QTest::newRow("not json") << QByteArray("enabled=1");
    QTest::newRow("array") << QByteArray("[]");
    QTest::newRow("enabled as text") << QByteArray(json).replace("\"enabled\": true", "\"enabled\": \"yes\"");
    QTest::newRow("unknown rule") << QByteArray(json).replace(
        "\"onDemandRules\": [\n    ]", "\"onDemandRules\": [{\"action\": 2, \"interfaceTypeMatch\": 0}]");
    QTest::newRow("encryption out of range")
        << QByteArray(json).replace("\"encryptionAlgorithm\": 3", "\"encryptionAlgorithm\": 9");
    QTest::newRow("group 13 does not exist")
        << QByteArray(json).replace("\"diffieHellmanGroup\": 14", "\"diffieHellmanGroup\": 13");
    QTest::newRow("lifetime as fraction")
        << QByteArray(json).replace("\"lifetimeMinutes\": 1440", "\"lifetimeMinutes\": 1.5");
    QTest::newRow("reference not hex") << QByteArray(json).replace("00112233", "zz112233");
}

void tst_VPNManager::damagedFilesFailTheLoad()
{
    QFETCH(QByteArray, contents);
    QVERIFY(SecureFile::makePrivateDirectory(QFileInfo(m_path).absolutePath()).isSuccess());
    QVERIFY(SecureFile::writeAtomically(m_path, contents));
    auto *backend = new FakeVPNBackend;
    VPNManager manager(std::unique_ptr<VPNBackend>(backend), m_path);
    manager.setEnabled(true);
    QVERIFY(!load(manager).isSuccess());
    QVERIFY(manager.isEnabled()); // working copy untouched
    QVERIFY(backend->calls.isEmpty());
}

void tst_VPNManager::saveErrors()
{
    auto *backend = new FakeVPNBackend;
    VPNManager manager(std::unique_ptr<VPNBackend>(backend), m_path);
    manager.setEnabled(true);
    QVERIFY(!save(manager).isSuccess()); // nothing to run
    QVERIFY(!QFile::exists(m_path));
    QVERIFY(backend->applied.isEmpty());

    manager.setProtocolConfiguration(sampleProtocol());
    backend->applyError = u"connection: refused"_s;
    QCOMPARE(save(manager).error(), u"connection: refused"_s);

    // A folder where the file should go: the write fails, the daemon is not told.
    VPNManager blocked(std::make_unique<FakeVPNBackend>(), m_dir->path());
    blocked.setProtocolConfiguration(sampleProtocol());
    QVERIFY(!save(blocked).isSuccess());
}

void tst_VPNManager::connectionStartsOnlyASavedEnabledConfiguration()
{
    auto *backend = new FakeVPNBackend;
    VPNManager manager(std::unique_ptr<VPNBackend>(backend), m_path);
    QVERIFY(!manager.connection()->startVPNTunnel().error().isEmpty());

    manager.setProtocolConfiguration(sampleProtocol());
    QCOMPARE(save(manager), Error::success());
    QVERIFY(!manager.connection()->startVPNTunnel().isSuccess()); // saved, but not enabled
    manager.setEnabled(true);
    QVERIFY(!manager.connection()->startVPNTunnel().isSuccess()); // enabled only in the working copy
    QCOMPARE(save(manager), Error::success());
    QVERIFY(manager.connection()->startVPNTunnel().isSuccess());
    manager.connection()->stopVPNTunnel();
    QCOMPARE(backend->calls.mid(backend->calls.size() - 2), QStringList({u"start"_s, u"stop"_s}));
}

// That charon accepts the message and the tunnel carries everything is the
// end-to-end test's; here the parts that vary with the configuration.
void tst_VPNManager::connectionMessageForCharon()
{
    VPNProtocolIKEv2 protocol = sampleProtocol();
    const QByteArray der("\x30\x82\x01\x00", 4);
    const ViciMessage message = ViciConnection::message(u"orvex"_s, protocol, der);
    const ViciMessage *conn = message.subSection("orvex");
    QVERIFY(conn);
    QCOMPARE(conn->list("proposals"), QList<QByteArray>{"aes128-sha1-modp2048"});
    QCOMPARE(conn->value("dpd_delay"), "600s");
    QCOMPARE(conn->subSection("local")->value("id"), "0123abcd.clients.orvex.example");
    QCOMPARE(conn->subSection("local")->list("certs"), QList<QByteArray>{der});
    const ViciMessage *child = conn->subSection("children")->subSection("orvex");
    QVERIFY(!child->contains("updown"));
    QCOMPARE(child->list("esp_proposals"), QList<QByteArray>{"aes256gcm16-ecp256"});
    QCOMPARE(child->value("rekey_time"), "60m");
    QCOMPARE(child->value("start_action"), "none");

    // Without an identity nothing is presented, and an empty local id is left out.
    protocol.localIdentifier.clear();
    protocol.deadPeerDetectionRate = VPNProtocolIKEv2::DeadPeerDetectionRate::High;
    const ViciMessage bare = ViciConnection::message(u"x"_s, protocol, {},
                                                     u"/usr/libexec/orvex/tunnel-updown"_s);
    QVERIFY(!bare.subSection("x")->subSection("local")->contains("certs"));
    QVERIFY(!bare.subSection("x")->subSection("local")->contains("id"));
    QCOMPARE(bare.subSection("x")->value("dpd_delay"), "60s");
    QCOMPARE(bare.subSection("x")->subSection("children")->subSection("x")->value("updown"),
             "/usr/libexec/orvex/tunnel-updown");
}

void tst_VPNManager::withoutCharonTheStatusIsInvalid()
{
    ViciVPNBackend::Options options;
    options.socketPath = m_dir->filePath(u"no-charon.vici"_s);
    options.reconnectDelayMs = 60000;
    VPNManager manager(std::make_unique<ViciVPNBackend>(options), m_path);
    QCOMPARE(load(manager), Error::success());
    QCOMPARE(manager.connection()->status(), VPNStatus::Invalid);
    manager.setProtocolConfiguration(sampleProtocol());
    manager.setEnabled(true);
    QVERIFY(!save(manager).isSuccess()); // written to disk, but nobody to run it
    QVERIFY(QFile::exists(m_path));
    QVERIFY(!manager.connection()->startVPNTunnel().error().isEmpty());
    QCOMPARE(manager.connection()->status(), VPNStatus::Invalid);
}

QTEST_GUILESS_MAIN(tst_VPNManager)
#include "tst_vpnmanager.moc"
