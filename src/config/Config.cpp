#include "Config.h"
#include "AppLogging.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <functional>
#include <optional>

extern const char orvexBuiltInConfigJson[];

Q_LOGGING_CATEGORY(lcApp, "orvex", QtWarningMsg)

namespace Orvex {

namespace {

struct Member
{
    const char *name;
    QString Config::*text = nullptr;
    QStringList Config::*list = nullptr;
    // Answers an empty string when the value is acceptable, else the reason.
    std::function<QString(const QString &)> check;
};

bool matches(const QString &text, const char *pattern)
{
    const QRegularExpression re(QRegularExpression::anchoredPattern(QString::fromLatin1(pattern)));
    return re.match(text).hasMatch();
}

QString notEmpty(const QString &v)
{
    return v.isEmpty() ? QStringLiteral("must not be empty") : QString();
}

QString httpsOrigin(const QString &v)
{
    const QUrl url(v, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty())
        return QStringLiteral("must be an absolute https address");
    if (!url.path().isEmpty() || url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty())
        return QStringLiteral("must be an origin without path, query or trailing slash");
    return {};
}

QString absoluteUrl(const QString &v, bool httpsOnly)
{
    const QUrl url(v, QUrl::StrictMode);
    const bool schemeOk = url.scheme() == QLatin1String("https")
                          || (!httpsOnly && url.scheme() == QLatin1String("http"));
    if (!url.isValid() || !schemeOk || url.host().isEmpty())
        return httpsOnly ? QStringLiteral("must be an absolute https address")
                         : QStringLiteral("must be an absolute http(s) address");
    return {};
}

QString signingKey(const QString &v)
{
    if (v.isEmpty())
        return {};
    const QByteArray pem = v.toUtf8();
    BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    EVP_PKEY *key = bio ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr;
    const int type = key ? EVP_PKEY_get_base_id(key) : EVP_PKEY_NONE;
    const int bits = key ? EVP_PKEY_get_bits(key) : 0;
    EVP_PKEY_free(key);
    BIO_free(bio);
    if (type == EVP_PKEY_ED25519 || (type == EVP_PKEY_RSA && bits >= Config::minRsaSigningKeyBits))
        return {};
    if (type == EVP_PKEY_RSA)
        return QStringLiteral("is an RSA key of %1 bits; it must have at least %2")
            .arg(bits)
            .arg(Config::minRsaSigningKeyBits);
    return QStringLiteral("must be empty or a PEM public key (Ed25519, or RSA of at least %1 bits)")
        .arg(Config::minRsaSigningKeyBits);
}

// A name or path from the file as it may appear inside the one-line message:
// line breaks and other control characters are shown as \uXXXX escapes, so a
// hostile file can neither split the message nor send terminal controls.
QString printable(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0) || u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

const std::vector<Member> &members()
{
    static const std::vector<Member> all = {
        {"apiBaseURL", &Config::apiBaseURL, nullptr, httpsOrigin},
        {"apiIdentifier", &Config::apiIdentifier, nullptr,
         [](const QString &v) {
             return matches(v, "[a-z0-9]{32}") ? QString()
                                               : QStringLiteral("must be 32 lower-case letters and digits");
         }},
        {"serviceCheckValue", &Config::serviceCheckValue, nullptr,
         [](const QString &v) {
             return matches(v, "[\\x21-\\x7e]{8}") ? QString()
                                                   : QStringLiteral("must be 8 printable characters");
         }},
        {"signUpCheckValue", &Config::signUpCheckValue, nullptr,
         [](const QString &v) {
             return matches(v, "[A-Z0-9]{6}") ? QString()
                                              : QStringLiteral("must be 6 upper-case letters and digits");
         }},
        {"helpDeskTicketURL", &Config::helpDeskTicketURL, nullptr,
         [](const QString &v) { return absoluteUrl(v, true); }},
        {"helpDeskAuthorization", &Config::helpDeskAuthorization, nullptr,
         [](const QString &v) {
             return matches(v, "Basic [A-Za-z0-9+/]{42}[A-Za-z0-9+/=]{2}")
                        ? QString()
                        : QStringLiteral("must be \"Basic \" followed by 44 Base64 characters");
         }},
        {"vpnGatewayHost", &Config::vpnGatewayHost, nullptr, notEmpty},
        {"vpnDomain", &Config::vpnDomain, nullptr, notEmpty},
        {"pkcs12Passphrase", &Config::pkcs12Passphrase, nullptr,
         [](const QString &v) {
             return matches(v, "[\\x20-\\x7e]{6}") ? QString() : QStringLiteral("must be 6 ASCII characters");
         }},
        {"passwordResetURL", &Config::passwordResetURL, nullptr,
         [](const QString &v) { return absoluteUrl(v, false); }},
        {"supportURL", &Config::supportURL, nullptr, [](const QString &v) { return absoluteUrl(v, false); }},
        {"privacyPolicyURL", &Config::privacyPolicyURL, nullptr,
         [](const QString &v) { return absoluteUrl(v, false); }},
        {"productNotice", &Config::productNotice, nullptr, {}},
        {"caCertificates", nullptr, &Config::caCertificates,
         [](const QString &path) {
             QFile file(path);
             if (!file.open(QIODevice::ReadOnly))
                 return QStringLiteral("cannot read \"%1\"").arg(printable(path));
             return QString();
         }},
        {"vpnBackend", &Config::vpnBackend, nullptr,
         [](const QString &v) {
             return matches(v, "auto|networkmanager|vici")
                        ? QString()
                        : QStringLiteral("must be \"auto\", \"networkmanager\" or \"vici\"");
         }},
        {"viciSocket", &Config::viciSocket, nullptr, notEmpty},
        {"updateHosts", nullptr, &Config::updateHosts, httpsOrigin},
        {"updateSigningKey", &Config::updateSigningKey, nullptr, signingKey},
        // charon runs it as root through a shell: nothing in the path may
        // mean anything to the shell, nor lead out of the folder named.
        {"viciUpdownScript", &Config::viciUpdownScript, nullptr,
         [](const QString &v) {
             return v.isEmpty()
                            || (matches(v, "/[A-Za-z0-9/._+-]{1,4000}")
                                && !v.split(u'/').contains(QLatin1String("..")))
                        ? QString()
                        : QStringLiteral("must be empty or an absolute path of letters, digits and / . _ + - "
                                         "without a \"..\" component");
         }},
        {"viciNetworkNamespace", &Config::viciNetworkNamespace, nullptr,
         [](const QString &v) {
             return v.isEmpty() || matches(v, "/[A-Za-z0-9._/-]{1,200}")
                        ? QString()
                        : QStringLiteral("must be empty or an absolute path");
         }},
        {"viciResolverFile", &Config::viciResolverFile, nullptr,
         [](const QString &v) {
             return v.isEmpty() || (v.startsWith(u'/') && !v.contains(u'\n'))
                        ? QString()
                        : QStringLiteral("must be empty or an absolute path");
         }},
    };
    return all;
}

// Applies the members of `json` to `config`. `requireAll` is set for the built-in
// defaults, which must name every member.
Outcome<> apply(Config &config, const QByteArray &json, const QString &source, bool requireAll)
{
    auto fail = [&](const QString &member, const QString &reason) {
        return Outcome<>::failure(member.isEmpty()
                                      ? QStringLiteral("configuration error in %1: %2").arg(source, reason)
                                      : QStringLiteral("configuration error in %1: member \"%2\" %3")
                                            .arg(source, printable(member), reason));
    };

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail({}, QStringLiteral("not valid JSON (%1 at offset %2)")
                            .arg(parseError.errorString())
                            .arg(parseError.offset));
    if (!doc.isObject())
        return fail({}, QStringLiteral("the document must be a JSON object"));
    const QJsonObject object = doc.object();

    for (auto it = object.begin(); it != object.end(); ++it) {
        const auto known = std::find_if(members().begin(), members().end(),
                                        [&](const Member &m) { return it.key() == QLatin1String(m.name); });
        if (known == members().end())
            return fail(it.key(), QStringLiteral("is not a known member"));
    }

    for (const Member &m : members()) {
        const QString name = QString::fromLatin1(m.name);
        const auto it = object.constFind(name);
        if (it == object.constEnd()) {
            if (requireAll)
                return fail(name, QStringLiteral("is missing"));
            continue;
        }
        if (m.text) {
            if (!it->isString())
                return fail(name, QStringLiteral("must be a string"));
            const QString value = it->toString();
            if (m.check) {
                const QString reason = m.check(value);
                if (!reason.isEmpty())
                    return fail(name, reason);
            }
            config.*m.text = value;
        } else {
            if (!it->isArray())
                return fail(name, QStringLiteral("must be an array of strings"));
            QStringList values;
            for (const QJsonArray items = it->toArray(); const auto &item : items) {
                if (!item.isString())
                    return fail(name, QStringLiteral("must be an array of strings"));
                const QString reason = m.check ? m.check(item.toString()) : QString();
                if (!reason.isEmpty())
                    return fail(name, reason);
                values.append(item.toString());
            }
            config.*m.list = values;
        }
    }
    return Outcome<>::success();
}

} // namespace

QByteArray Config::builtInJson()
{
    return QByteArray(orvexBuiltInConfigJson);
}

Outcome<Config> Config::parse(const QByteArray &overrideJson, const QString &overrideName)
{
    Config config;
    Outcome<> applied = apply(config, builtInJson(), QStringLiteral("the built-in defaults"), true);
    if (applied.isSuccess() && !overrideJson.isEmpty())
        applied = apply(config, overrideJson, overrideName, false);
    if (!applied.isSuccess())
        return Outcome<Config>::failure(applied.error());
    return Outcome<Config>::success(std::move(config));
}

Config Config::loadOrExit()
{
    QByteArray overrideJson;
    QString overrideName;
    const QString path = qEnvironmentVariable("ORVEX_CONFIG");
    if (!path.isEmpty()) {
        overrideName = path;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            qCCritical(lcApp, "configuration error: cannot read ORVEX_CONFIG file %s", qPrintable(path));
            std::exit(2);
        }
        overrideJson = file.readAll();
        if (overrideJson.trimmed().isEmpty()) {
            qCCritical(lcApp, "configuration error in %s: the file is empty", qPrintable(path));
            std::exit(2);
        }
    }
    const Outcome<Config> config = parse(overrideJson, overrideName);
    if (!config.isSuccess()) {
        qCCritical(lcApp, "%s", qPrintable(config.error()));
        std::exit(2);
    }
    return config.value();
}

} // namespace Orvex
