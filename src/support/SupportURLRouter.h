#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QUrl>

namespace Orvex {

struct Config;

// The one request that goes to the help desk instead of the service: a new
// ticket, posted as JSON with the help desk's own credential.
class SupportURLRouter
{
public:
    enum class Case { requestSupport };

    static SupportURLRouter requestSupport(const QJsonObject &document);

    Case kind() const { return m_case; }
    QJsonObject document() const { return m_document; }

    QByteArray method() const { return QByteArrayLiteral("POST"); }
    // The ticket endpoint `config` names; no query.
    QUrl url(const Config &config) const;
    // The URL, the "Authorization" header from `config` and the JSON content
    // type.
    QNetworkRequest asURLRequest(const Config &config) const;
    // The document as compact JSON.
    QByteArray httpBody() const;

private:
    SupportURLRouter(Case c, QJsonObject document)
        : m_case(c)
        , m_document(std::move(document))
    {}

    Case m_case;
    QJsonObject m_document;
};

} // namespace Orvex
