// The configuration loader's rules and messages: whatever the override file
// holds, a refusal is one line that names the offending member.

#include "config/Config.h"

#include <QTest>

using namespace Qt::StringLiterals;

using namespace Orvex;

class tst_Config : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void refusalIsOneLine_data();
    void refusalIsOneLine();
};

void tst_Config::refusalIsOneLine_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("named"); // empty: accepted

    QTest::newRow("empty object") << QByteArray("{}") << QString();
    QTest::newRow("origin with port")
        << QByteArray(R"({"apiBaseURL":"https://127.0.0.1:4443"})") << QString();
    QTest::newRow("http base") << QByteArray(R"({"apiBaseURL":"http://x.io"})") << u"\"apiBaseURL\""_s;
    QTest::newRow("trailing slash") << QByteArray(R"({"apiBaseURL":"https://x.io/"})") << u"\"apiBaseURL\""_s;
    QTest::newRow("relative base") << QByteArray(R"({"apiBaseURL":"x.io"})") << u"\"apiBaseURL\""_s;
    QTest::newRow("wrong type") << QByteArray(R"({"vpnDomain":5})") << u"\"vpnDomain\""_s;
    QTest::newRow("list of numbers") << QByteArray(R"({"caCertificates":[1]})") << u"\"caCertificates\""_s;
    QTest::newRow("missing CA file") << QByteArray(R"({"caCertificates":["/nonexistent/ca.pem"]})")
                                     << u"\"caCertificates\""_s;
    QTest::newRow("bad backend") << QByteArray(R"({"vpnBackend":"wireguard"})") << u"\"vpnBackend\""_s;
    QTest::newRow("short identifier") << QByteArray(R"({"apiIdentifier":"abc"})") << u"\"apiIdentifier\""_s;

    // Qt's reader takes raw control characters inside names; found by fuzzing.
    QTest::newRow("raw line break in an unknown member")
        << QByteArray("{\"caCertificate\n\x01\": 1}") << u"caCertificate\\u000a\\u0001"_s;
    QTest::newRow("escaped line break in an unknown member")
        << QByteArray(R"({"a\r\nb": 1})") << u"a\\u000d\\u000ab"_s;
    QTest::newRow("terminal escape in an unknown member")
        << QByteArray(R"({"\u001b[2Jx": 1})") << u"\\u001b[2Jx"_s;
    QTest::newRow("line separator in an unknown member") << QByteArray("{\"a\xe2\x80\xa8"
                                                                       "b\": 1}")
                                                         << u"a\\u2028b"_s;
    QTest::newRow("unreadable certificate path with a line break")
        << QByteArray(R"({"caCertificates": ["/nonexistent/a\nb.pem"]})") << u"/nonexistent/a\\u000ab.pem"_s;
    QTest::newRow("update host with a path")
        << QByteArray(R"({"updateHosts": ["https://cdn.orvex.example/pkg"]})") << u"\"updateHosts\""_s;
    QTest::newRow("update host over plain http")
        << QByteArray(R"({"updateHosts": ["http://cdn.orvex.example"]})") << u"\"updateHosts\""_s;
    QTest::newRow("update signing key that is no key")
        << QByteArray(R"({"updateSigningKey": "ssh-ed25519 AAAA"})") << u"\"updateSigningKey\""_s;
    // A P-256 key is a fine key, but not one that signs our packages.
    QTest::newRow("update signing key of another kind")
        << QByteArray(R"({"updateSigningKey": "-----BEGIN PUBLIC KEY-----\n)"
                      R"(MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEYpUuKp5fvfgYM7dw8ulb05blIHrB\n)"
                      R"(tvjWlkOfaYLsmlE5QZZ5eMQ3H1bjuERPIBIQ2caXk3fceEMigYvdB53ycQ==\n)"
                      R"(-----END PUBLIC KEY-----\n"})")
        << u"\"updateSigningKey\""_s;
    QTest::newRow("relative updown script")
        << QByteArray(R"({"viciUpdownScript": "tunnel-updown"})") << u"\"viciUpdownScript\""_s;
    QTest::newRow("plain unknown member")
        << QByteArray(R"({"apiBaseUrl": "https://x"})") << u"\"apiBaseUrl\""_s;
}

void tst_Config::refusalIsOneLine()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, named);
    QString error;
    const auto config = Config::parse(json, u"override.json"_s, &error);
    if (named.isEmpty()) {
        QVERIFY2(config, qPrintable(error));
        if (json.contains("4443"))
            QCOMPARE(config->apiBaseURL, u"https://127.0.0.1:4443"_s);
        return;
    }
    QVERIFY(!config);
    QVERIFY2(error.contains(named), qPrintable(error));
    for (const QChar c : error)
        QVERIFY2(c.unicode() >= 0x20 && c.unicode() != 0x7f && c.unicode() != 0x2028, qPrintable(error));
}

QTEST_GUILESS_MAIN(tst_Config)
#include "tst_config.moc"
