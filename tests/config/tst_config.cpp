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
    // A real key, but RSA of 2048 bits is too short to sign packages with.
    QTest::newRow("update signing key, RSA 2048")
        << QByteArray(R"({"updateSigningKey": "-----BEGIN PUBLIC KEY-----\n)"
                      R"(MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAsU/RvQ7++Zq+TkX1+meY\n)"
                      R"(SrKeLck15AIimzrOZfzZ3G2XEbwydlKo3M8lI8LZPgpx4LJhtwIeIYQ1iFL7nKs8\n)"
                      R"(v0qeULj3HRosGlG++A0hPB4kM7c/kPiYm5TlqxU31lq4Kvw64jiFxdvU3A+mfVAw\n)"
                      R"(L7pLh7X2W4awiwAXYk0u+i6VFoXu5VGIu05r9+zjI/MK35IyTDk5vdUZLs3iAC1t\n)"
                      R"(tBb9eGJ1Cn50v+b+LgNLXnNULlKZbD7z4ZhCBneWpu9F6U1F6cyQjaBqzBHmkeZi\n)"
                      R"(pr5omQeBIy9ue/tgn9E1Y+bfT+aIQbbrxXAFmEJ/Q6WyYE3BqrKVNJyh3SCRo2zi\n)"
                      R"(9wIDAQAB\n)"
                      R"(-----END PUBLIC KEY-----\n"})")
        << u"\"updateSigningKey\" is an RSA key of 2048 bits"_s;
    QTest::newRow("update signing key, RSA 3072")
        << QByteArray(R"({"updateSigningKey": "-----BEGIN PUBLIC KEY-----\n)"
                      R"(MIIBojANBgkqhkiG9w0BAQEFAAOCAY8AMIIBigKCAYEAud10/CVtEqhbcM1319AP\n)"
                      R"(Za6QF9QoXwgLzHFx3Sk4tFdbYSSNhiISoks7ijfIhbHSNOtDJIGsTarmINShAz/O\n)"
                      R"(eo4wBSGkg4NVCkuvPUKCKCNptMOxGN6iSiBzQmrlkl3MbBqJXc+6rT7RTPkN7Hbo\n)"
                      R"(akyjEi3abd1c2JshkBIRenP8qwkVJcoJv0mPKnBYqq56W1oHnYbhfTlvku2IoKst\n)"
                      R"(kqIZBtZR9rveU4SWibUpNdcaLvetvegSQMQ27ldUa/3/e1NKhXaJVM8lHuUzAgZj\n)"
                      R"(INEnoO6G5uwVdwP8j78shqhTJ6HQ+Cv3qMkZKqX8pUe6o0YFWQWmNl2vAsJXixAO\n)"
                      R"(A1JCfnArdbeGsVW7wNET6B9pkNGrSnRMdm9tODCvh6/FgzeCV9WNsRY9jbhfpNCw\n)"
                      R"(ikqB/W6Tp59QMAmj03Yo1ZOxoLfKE4kOyI53uLFJy88zPZdZL7oGm8ZbEf5haEvK\n)"
                      R"(WcTgspyqEMmzjKmLYORN5ikfl9zZaI+J7BFxgcdc/X8LAgMBAAE=\n)"
                      R"(-----END PUBLIC KEY-----\n"})")
        << QString();
    QTest::newRow("relative updown script")
        << QByteArray(R"({"viciUpdownScript": "tunnel-updown"})") << u"\"viciUpdownScript\""_s;
    // charon hands the path to a shell, as root.
    QTest::newRow("updown script with a command in it")
        << QByteArray(R"({"viciUpdownScript": "/usr/lib/x;touch /etc/y"})") << u"\"viciUpdownScript\""_s;
    QTest::newRow("updown script with a substitution")
        << QByteArray(R"j({"viciUpdownScript": "/usr/lib/$(id)"})j") << u"\"viciUpdownScript\""_s;
    QTest::newRow("updown script with a space")
        << QByteArray(R"({"viciUpdownScript": "/opt/my vpn/updown"})") << u"\"viciUpdownScript\""_s;
    QTest::newRow("updown script out of its folder")
        << QByteArray(R"({"viciUpdownScript": "/usr/libexec/orvex/../../../tmp/up"})")
        << u"\"viciUpdownScript\""_s;
    QTest::newRow("updown script in a parent")
        << QByteArray(R"({"viciUpdownScript": "/usr/.."})") << u"\"viciUpdownScript\""_s;
    QTest::newRow("updown script of every allowed character")
        << QByteArray(R"({"viciUpdownScript": "/opt/Orvex-2/lib..x/tunnel_up+down.sh"})") << QString();
    QTest::newRow("plain unknown member")
        << QByteArray(R"({"apiBaseUrl": "https://x"})") << u"\"apiBaseUrl\""_s;
}

void tst_Config::refusalIsOneLine()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, named);
    const auto config = Config::parse(json, u"override.json"_s);
    const QString error = config.error();
    if (named.isEmpty()) {
        QVERIFY2(config.isSuccess(), qPrintable(error));
        if (json.contains("4443"))
            QCOMPARE(config.value().apiBaseURL, u"https://127.0.0.1:4443"_s);
        return;
    }
    QVERIFY(!config.isSuccess());
    QVERIFY2(error.contains(named), qPrintable(error));
    for (const QChar c : error)
        QVERIFY2(c.unicode() >= 0x20 && c.unicode() != 0x7f && c.unicode() != 0x2028, qPrintable(error));
}

QTEST_GUILESS_MAIN(tst_Config)
#include "tst_config.moc"
