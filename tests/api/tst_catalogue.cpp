// Error texts in translation, the JSON scalar rule and machine identity.

#include "api/Utility.h"
#include "api/Error.h"
#include "api/MetadataType.h"
#include "platform/SystemInfo.h"
#include "api/CheckForUpdatesResponse.h"
#include "api/DeviceUsageModel.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <QTranslator>

using namespace Orvex;

class tst_Catalogue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void translationTableReplacesTextsItHas();
    void metadataTypeDecodesInOrder_data();
    void metadataTypeDecodesInOrder();
    void usageAndUpdateRecordsAreStrict();
    void udidFollowsTheDigestRule();
};

void tst_Catalogue::translationTableReplacesTextsItHas()
{
    QTranslator german;
    QVERIFY(german.load(QStringLiteral(":/i18n/orvex_de.qm")));
    QCoreApplication::installTranslator(&german);
    QCOMPARE(Error(Error::Code::unknownDevice).localizedDescription(),
             QStringLiteral("Das Gerät ist nicht bekannt"));
    QCOMPARE(Error(Error::Code::invalidPassword).localizedDescription(),
             QStringLiteral("E-Mail-Adresse oder Passwort falsch"));
    QCoreApplication::removeTranslator(&german);
    QCOMPARE(Error(Error::Code::unknownDevice).localizedDescription(),
             QStringLiteral("Device does not exists"));
    // A transport failure's own text is shown as it is.
    QCOMPARE(Error::generic(QStringLiteral("Connection refused")).localizedDescription(),
             QStringLiteral("Connection refused"));
}

void tst_Catalogue::metadataTypeDecodesInOrder_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("kind"); // -1: fails
    QTest::newRow("string 7") << QByteArray(R"(["7"])") << int(MetadataType::Kind::String);
    QTest::newRow("int 7") << QByteArray("[7]") << int(MetadataType::Kind::Int);
    QTest::newRow("negative int") << QByteArray("[-9007199254740993]") << int(MetadataType::Kind::Int);
    QTest::newRow("7.5") << QByteArray("[7.5]") << int(MetadataType::Kind::Double);
    QTest::newRow("1e30") << QByteArray("[1e30]") << int(MetadataType::Kind::Double);
    QTest::newRow("2^64") << QByteArray("[18446744073709551616]") << int(MetadataType::Kind::Double);
    QTest::newRow("null") << QByteArray("[null]") << -1;
    QTest::newRow("true") << QByteArray("[true]") << -1;
    QTest::newRow("object") << QByteArray(R"([{"a":1}])") << -1;
    QTest::newRow("array") << QByteArray("[[1]]") << -1;
}

void tst_Catalogue::metadataTypeDecodesInOrder()
{
    QFETCH(QByteArray, json);
    QFETCH(int, kind);
    const auto value = MetadataType::decode(QJsonDocument::fromJson(json).array().at(0));
    QCOMPARE(value.has_value(), kind >= 0);
    if (value)
        QCOMPARE(int(value->kind()), kind);
    if (json == "[7]")
        QCOMPARE(value->intValue(), 7);
    if (json == "[7.5]")
        QCOMPARE(value->doubleValue(), 7.5);
}

void tst_Catalogue::usageAndUpdateRecordsAreStrict()
{
    auto usage = [](const char *json) {
        return DeviceUsageModel::decode(QJsonDocument::fromJson(json).object());
    };
    const char *info
        = R"("info":{"Day":"6","Month":12,"Year":2026,"Timezone":1.5,"MonthlyUsage":"123","device":"d"})";
    QVERIFY(usage((QByteArray(R"({"device_usage":{)") + info + "}}").constData()));
    const auto full = usage(
        (QByteArray(R"({"device_usage":{)") + info
         + R"(,"summary":[{"average":1,"date":"2026-12-01","usage":"5"}],"traffic":null}})")
            .constData());
    QVERIFY(full && full->device_usage.summary && !full->device_usage.traffic);
    // A required figure missing, or a Boolean figure, fails the whole answer.
    QVERIFY(!usage(R"({"device_usage":{"info":{"Day":1,"Month":1,"Year":1,"Timezone":0,"device":"d"}}})"));
    QVERIFY(!usage((QByteArray(R"({"device_usage":{)") + info
                    + R"(,"summary":[{"average":true,"date":"2026-12-01","usage":1}]}})")
                       .constData()));

    auto update = [](const char *json) {
        return CheckForUpdatesResponse::decode(QJsonDocument::fromJson(json).object());
    };
    QVERIFY(update(
        R"({"status":{"version":"2.0","command":"c","opf":"o","error":false,"name":"https:\/\/x\/p","softwareversion":"2"}})"));
    QVERIFY(!update(
        R"({"status":{"version":"2.0","command":"c","opf":"o","error":false,"softwareversion":"2"}})"));
    QVERIFY(!update(
        R"({"status":{"version":2,"command":"c","opf":"o","error":false,"name":"n","softwareversion":"2"}})"));
}

// The machine id and the address as typed make the udid (the certificate
// request's Deviceudid in tst_certificateprovisioner); without an id:
void tst_Catalogue::udidFollowsTheDigestRule()
{
    SystemInfo::setMachineIdSourceForTesting([] { return QString(); });
    QCOMPARE(Utility::udid(QStringLiteral("me@x.io")), QStringLiteral("b3e2c14535e5cd42ae6c22f1badc6ad6"));

    SystemInfo::setMachineIdSourceForTesting([] { return std::nullopt; });
    QCOMPARE(Utility::udid(QStringLiteral("me@x.io")), QString());
    QCOMPARE(Utility::udid(QStringLiteral("other@x.io")), QString());

    SystemInfo::setMachineIdSourceForTesting({});
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$"))
                .match(Utility::applicationVersion())
                .hasMatch());
}

QTEST_GUILESS_MAIN(tst_Catalogue)
#include "tst_catalogue.moc"
