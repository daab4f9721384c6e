#include "SupportURLRouter.h"

#include "config/Config.h"

#include <QJsonDocument>

namespace Orvex {

SupportURLRouter SupportURLRouter::requestSupport(const QJsonObject &document)
{
    return SupportURLRouter(Case::requestSupport, document);
}

QUrl SupportURLRouter::url(const Config &config) const
{
    return QUrl(config.helpDeskTicketURL);
}

QNetworkRequest SupportURLRouter::asURLRequest(const Config &config) const
{
    QNetworkRequest request(url(config));
    request.setRawHeader("Authorization", config.helpDeskAuthorization.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    return request;
}

QByteArray SupportURLRouter::httpBody() const
{
    return QJsonDocument(m_document).toJson(QJsonDocument::Compact);
}

} // namespace Orvex
